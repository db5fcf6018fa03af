#include "app/semantic/ItemImage.h"

#include <bit>
#include <cstring>
#include <optional>

#include "SimilaritySearchKit/MMapStore.h"
#include "core/Strings.h"

namespace pallix {
namespace {

uint32_t readU32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian hosts only, as the stores' files
}

// isValidUTF8 with a word-at-a-time pass over ASCII, which is most of the text.
bool isValidUTF8Fast(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  return isValidUTF8(s.substr(i));  // starts on a character boundary: only ASCII came before
}

// A cursor over the metadata JSON; every method returns false on input it
// does not expect, sending the caller to the general decoder.
class MetadataScanner {
 public:
  explicit MetadataScanner(std::string_view json) : s_(json) {}

  bool array(std::vector<IndexItem>& items) {
    if (!expect('[')) return false;
    skipSpace();
    if (peek() == ']') return ++i_, atEnd();
    for (std::size_t k = 0;; ++k) {
      if (k >= items.size() || !object(items[k].metadata)) return false;
      skipSpace();
      if (peek() == ',') {
        ++i_;
        continue;
      }
      if (!expect(']')) return false;
      return k + 1 == items.size() && atEnd();
    }
  }

 private:
  bool object(std::map<std::string, std::string>& out) {
    if (!expect('{')) return false;
    skipSpace();
    if (peek() == '}') return ++i_, true;
    std::string key, value;
    while (true) {
      skipSpace();
      if (!string(key) || !expect(':')) return false;
      skipSpace();
      if (!string(value)) return false;
      out.insert_or_assign(std::move(key), std::move(value));
      key.clear();
      value.clear();
      skipSpace();
      if (peek() == ',') {
        ++i_;
        continue;
      }
      return expect('}');
    }
  }

  bool string(std::string& out) {
    if (peek() != '"') return false;
    ++i_;
    while (i_ < s_.size()) {
      // Copy the run up to the next quote or backslash at once.
      std::size_t run = i_;
      while (run < s_.size() && s_[run] != '"' && s_[run] != '\\' && static_cast<unsigned char>(s_[run]) >= 0x20) ++run;
      out.append(s_.data() + i_, run - i_);
      i_ = run;
      if (i_ >= s_.size()) return false;
      const char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') return false;  // a raw control character
      if (i_ >= s_.size()) return false;
      switch (s_[i_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto unit = hex4();
          if (!unit) return false;
          char32_t point = *unit;
          if (point >= 0xD800 && point <= 0xDBFF) {
            if (i_ + 2 > s_.size() || s_[i_] != '\\' || s_[i_ + 1] != 'u') return false;
            i_ += 2;
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
            point = 0x10000 + ((point - 0xD800) << 10) + (*low - 0xDC00);
          } else if (point >= 0xDC00 && point <= 0xDFFF) {
            return false;
          }
          appendUtf8(out, point);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::optional<char32_t> hex4() {
    if (i_ + 4 > s_.size()) return std::nullopt;
    char32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= char32_t(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= char32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= char32_t(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return v;
  }

  bool expect(char c) {
    skipSpace();
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  void skipSpace() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool atEnd() {
    skipSpace();
    return i_ == s_.size();
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Reads N length-prefixed valid UTF-8 strings from `offset`.
bool readStrings(std::string_view data, uint64_t offset, uint64_t n, std::vector<IndexItem>& items, bool ids) {
  if (offset > data.size()) return false;
  std::size_t at = std::size_t(offset);
  for (uint64_t k = 0; k < n; ++k) {
    if (data.size() - at < 4) return false;
    const uint32_t length = readU32(data.data() + at);
    at += 4;
    if (data.size() - at < length) return false;
    std::string_view s = data.substr(at, length);
    if (!isValidUTF8Fast(s)) return false;
    (ids ? items[k].id : items[k].text).assign(s);
    at += length;
  }
  return true;
}

std::optional<std::vector<IndexItem>> fastDecode(std::string_view data) {
  if constexpr (std::endian::native != std::endian::little) return std::nullopt;
  auto header = MMapStore::decodeHeader(data);
  if (!header.ok() || header->count == 0) return std::nullopt;
  const uint64_t n = header->count, dim = header->dimension;
  if (dim != 0 && n > (data.size() - MMapStore::kHeaderSize) / 4 / dim) return std::nullopt;
  if (n > data.size()) return std::nullopt;  // every item needs bytes of its own
  std::vector<IndexItem> items(n);
  if (!readStrings(data, header->idsOffset, n, items, true)) return std::nullopt;
  const uint64_t mo = header->metadataOffset;
  if (mo > data.size() || data.size() - mo < 4) return std::nullopt;
  const uint32_t jsonLength = readU32(data.data() + mo);
  if (data.size() - mo - 4 < jsonLength) return std::nullopt;
  const std::string_view json = data.substr(mo + 4, jsonLength);
  if (!isValidUTF8Fast(json)) return std::nullopt;  // the JSON parser refuses such text
  MetadataScanner scanner(json);
  if (!scanner.array(items)) return std::nullopt;
  if (!readStrings(data, header->textOffset, n, items, false)) return std::nullopt;
  const char* floats = data.data() + MMapStore::kHeaderSize;
  for (uint64_t k = 0; k < n; ++k) {
    items[k].embedding.resize(dim);
    std::memcpy(items[k].embedding.data(), floats + k * dim * 4, dim * 4);
  }
  return items;
}

}  // namespace

Result<SalvagedItems> decodeItemImage(std::string_view image) {
  if (auto items = fastDecode(image)) return SalvagedItems{std::move(*items), {}};
  return MMapStore::decodeSalvaging(image);
}

}  // namespace pallix
