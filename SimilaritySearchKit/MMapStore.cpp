#include "SimilaritySearchKit/MMapStore.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "SimilaritySearchKit/Console.h"
#include "core/FileUtil.h"

namespace pallix {
namespace {

constexpr char kMagic[4] = {'S', 'K', 'S', 'T'};
constexpr uint32_t kVersion = 1;

uint32_t readU32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint64_t readU64(const unsigned char* p) {
  return uint64_t(readU32(p)) | (uint64_t(readU32(p + 4)) << 32);
}

void putU32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = char((v >> (8 * i)) & 0xff);
}
void putU64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = char((v >> (8 * i)) & 0xff);
}

void copyFloatsOut(char* dst, const float* src, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    if (n > 0) std::memcpy(dst, src, n * sizeof(float));
  } else {
    for (std::size_t i = 0; i < n; ++i) putU32(dst + 4 * i, std::bit_cast<uint32_t>(src[i]));
  }
}

void copyFloatsIn(float* dst, const unsigned char* src, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    if (n > 0) std::memcpy(dst, src, n * sizeof(float));
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = std::bit_cast<float>(readU32(src + 4 * i));
  }
}

// Reads `count` length-prefixed UTF-8 strings starting at `offset`. The
// output grows as strings are read, so a lying count cannot allocate more
// than the file holds.
Status readStrings(std::string_view data, uint64_t offset, uint64_t count, std::vector<std::string>& out, bool ids) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const uint64_t size = data.size();
  uint64_t pos = offset;
  out.clear();
  out.reserve(std::min<uint64_t>(count, size / 4));
  for (uint64_t i = 0; i < count; ++i) {
    if (pos > size || size - pos < 4) {
      return MMapStoreError::makeCorruptedData(ids ? "Unexpected end of IDs section"
                                                   : "Unexpected end of text section");
    }
    const uint32_t len = readU32(bytes + pos);
    pos += 4;
    if (size - pos < len) {
      return MMapStoreError::makeCorruptedData(ids ? "ID string extends beyond file"
                                                   : "Text string extends beyond file");
    }
    std::string_view s = data.substr(pos, len);
    if (!isValidUTF8(s))
      return MMapStoreError::makeCorruptedData(ids ? "Invalid UTF-8 in ID" : "Invalid UTF-8 in text");
    out.emplace_back(s);
    pos += len;
  }
  return okStatus();
}

}  // namespace

Error MMapStoreError::makeUnsupportedVersion(uint32_t version) {
  return Error(kDomain, unsupportedVersion, "Unsupported file version: " + std::to_string(version));
}
Error MMapStoreError::makeDimensionMismatch(uint64_t expected, uint64_t got) {
  return Error(kDomain, dimensionMismatch,
               "Embedding dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(got));
}
Error MMapStoreError::makeCorruptedData(const std::string& message) {
  return Error(kDomain, corruptedData, "Corrupted data: " + message);
}
Error MMapStoreError::makeWriteError(const std::string& message) {
  return Error(kDomain, writeError, "Write error: " + message);
}
Error MMapStoreError::makeInvalidMagic() {
  return Error(kDomain, invalidMagic, "Invalid file format: not a valid MMapStore file");
}
Error MMapStoreError::makeFileTooSmall() {
  return Error(kDomain, fileTooSmall, "File is too small to contain valid data");
}

bool isValidUTF8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    i += len;
  }
  return true;
}

Result<std::string> MMapStore::encode(const std::vector<IndexItem>& items) {
  std::string out(kHeaderSize, '\0');
  std::memcpy(out.data(), kMagic, 4);
  putU32(out.data() + 4, kVersion);
  if (items.empty()) {
    putU64(out.data() + 20, kHeaderSize);
    putU64(out.data() + 28, kHeaderSize);
    putU64(out.data() + 36, kHeaderSize);
    return out;
  }
  const std::size_t dim = items[0].embedding.size();
  for (const auto& item : items) {
    if (item.embedding.size() != dim) return MMapStoreError::makeDimensionMismatch(dim, item.embedding.size());
  }
  if (dim > std::numeric_limits<uint32_t>::max()) return MMapStoreError::makeWriteError("Dimension exceeds 32 bits");

  constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
  uint64_t idsSize = 0, textSize = 0;
  for (const auto& item : items) {
    if (item.id.size() > kMax32) return MMapStoreError::makeWriteError("Identifier longer than 4 GiB");
    if (item.text.size() > kMax32) return MMapStoreError::makeWriteError("Text longer than 4 GiB");
    idsSize += 4 + item.id.size();
    textSize += 4 + item.text.size();
  }
  std::string metadataJSON;
  try {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : items) array.push_back(item.metadata);
    // Metadata that is not UTF-8 is stored with U+FFFD in place of the bad bytes.
    metadataJSON = array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return MMapStoreError::makeWriteError(std::string("Cannot encode metadata: ") + e.what());
  }
  if (metadataJSON.size() > kMax32) return MMapStoreError::makeWriteError("Metadata longer than 4 GiB");

  const uint64_t floatsSize = uint64_t(items.size()) * dim * 4;
  const uint64_t idsOffset = kHeaderSize + floatsSize;
  const uint64_t metadataOffset = idsOffset + idsSize;
  const uint64_t textOffset = metadataOffset + 4 + metadataJSON.size();
  out.resize(textOffset + textSize);
  putU64(out.data() + 8, items.size());
  putU32(out.data() + 16, uint32_t(dim));
  putU64(out.data() + 20, idsOffset);
  putU64(out.data() + 28, metadataOffset);
  putU64(out.data() + 36, textOffset);

  char* p = out.data() + kHeaderSize;
  for (const auto& item : items) {
    copyFloatsOut(p, item.embedding.data(), dim);
    p += dim * 4;
  }
  for (const auto& item : items) {
    putU32(p, uint32_t(item.id.size()));
    std::memcpy(p + 4, item.id.data(), item.id.size());
    p += 4 + item.id.size();
  }
  putU32(p, uint32_t(metadataJSON.size()));
  std::memcpy(p + 4, metadataJSON.data(), metadataJSON.size());
  p += 4 + metadataJSON.size();
  for (const auto& item : items) {
    putU32(p, uint32_t(item.text.size()));
    std::memcpy(p + 4, item.text.data(), item.text.size());
    p += 4 + item.text.size();
  }
  return out;
}

Result<MMapHeader> MMapStore::decodeHeader(std::string_view data) {
  if (data.size() < kHeaderSize) return MMapStoreError::makeFileTooSmall();
  if (std::memcmp(data.data(), kMagic, 4) != 0) return MMapStoreError::makeInvalidMagic();
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  MMapHeader header;
  header.version = readU32(bytes + 4);
  if (header.version != kVersion) return MMapStoreError::makeUnsupportedVersion(header.version);
  header.count = readU64(bytes + 8);
  header.dimension = readU32(bytes + 16);
  header.idsOffset = readU64(bytes + 20);
  header.metadataOffset = readU64(bytes + 28);
  header.textOffset = readU64(bytes + 36);
  return header;
}

Result<std::vector<IndexItem>> MMapStore::decode(std::string_view data) {
  PALLIX_ASSIGN_OR_RETURN(MMapHeader header, decodeHeader(data));
  std::vector<IndexItem> items;
  const uint64_t n = header.count;
  if (n == 0) return items;
  const uint64_t dim = header.dimension;
  const uint64_t size = data.size();
  // 48 + N*D*4 must fit in the file; checked without overflowing.
  if (dim != 0 && n > (size - kHeaderSize) / 4 / dim)
    return MMapStoreError::makeCorruptedData("File too small for embeddings");
  std::vector<std::string> ids;
  PALLIX_RETURN_IF_ERROR(readStrings(data, header.idsOffset, n, ids, /*ids=*/true));
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());

  const uint64_t mo = header.metadataOffset;
  if (mo > size || size - mo < 4) return MMapStoreError::makeCorruptedData("Metadata section too small");
  const uint32_t jsonLength = readU32(bytes + mo);
  if (size - mo - 4 < jsonLength) return MMapStoreError::makeCorruptedData("Metadata extends beyond file");
  try {
    const std::string_view json = data.substr(mo + 4, jsonLength);
    nlohmann::json parsed = nlohmann::json::parse(json.begin(), json.end());
    if (!parsed.is_array()) {
      return MMapStoreError::makeCorruptedData("Failed to decode metadata: expected an array, found " +
                                               std::string(parsed.type_name()));
    }
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      const auto& object = parsed[i];
      if (!object.is_object()) {
        return MMapStoreError::makeCorruptedData("Failed to decode metadata: element " + std::to_string(i) + " is " +
                                                 std::string(object.type_name()) + ", expected an object");
      }
      for (const auto& [key, value] : object.items()) {
        if (!value.is_string()) {
          return MMapStoreError::makeCorruptedData("Failed to decode metadata: value of \"" + key + "\" in element " +
                                                   std::to_string(i) + " is " + std::string(value.type_name()) +
                                                   ", expected a string");
        }
      }
    }
    if (parsed.size() != n) {
      return MMapStoreError::makeCorruptedData("Metadata count mismatch: expected " + std::to_string(n) + ", got " +
                                               std::to_string(parsed.size()));
    }
    items.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      for (auto& [key, value] : parsed[i].items()) items[i].metadata.emplace(key, value.get<std::string>());
    }
  } catch (const std::exception& e) {
    return MMapStoreError::makeCorruptedData(std::string("Failed to decode metadata: ") + e.what());
  }
  std::vector<std::string> texts;
  PALLIX_RETURN_IF_ERROR(readStrings(data, header.textOffset, n, texts, /*ids=*/false));
  for (uint64_t i = 0; i < n; ++i) {
    items[i].id = std::move(ids[i]);
    items[i].text = std::move(texts[i]);
    items[i].embedding.resize(dim);
    copyFloatsIn(items[i].embedding.data(), bytes + kHeaderSize + i * dim * 4, dim);
  }
  return items;
}

Result<std::string> MMapStore::saveIndex(const std::vector<IndexItem>& items, const std::string& directory,
                                         const std::string& name) {
  const std::string path = (std::filesystem::path(directory) / (name + ".mmap")).string();
  PALLIX_ASSIGN_OR_RETURN(std::string image, encode(items));
  Status written = writeFileAtomically(path, image);
  if (!written.ok()) return MMapStoreError::makeWriteError(written.error().description());
  return path;
}

Result<std::vector<IndexItem>> MMapStore::loadIndex(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(std::string data, readFileToString(path));
  return decode(data);
}

std::vector<std::string> MMapStore::listIndexes(const std::string& directory) {
  std::vector<std::string> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  if (ec) {
    simkit::printLine("Error listing indexes: " + ec.message());
    return out;
  }
  for (const auto& entry : it) {
    if (entry.path().extension() == ".mmap") out.push_back(entry.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace pallix
