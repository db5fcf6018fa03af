#include "SimilaritySearchKit/MMapStore.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "SimilaritySearchKit/Console.h"
#include "core/FileUtil.h"
#include "core/Utf8.h"

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
// than the file holds. With `dropped`, a string that is not UTF-8 marks its
// record in `bad` instead of failing.
Status readStrings(std::string_view data, uint64_t offset, uint64_t count, std::vector<std::string>& out, bool ids,
                   std::vector<DroppedRecord>* dropped, std::vector<bool>& bad) {
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
    pos += len;
    if (!isValidUTF8(s)) {
      const char* reason = ids ? "Invalid UTF-8 in ID" : "Invalid UTF-8 in text";
      if (!dropped) return MMapStoreError::makeCorruptedData(reason);
      if (bad.size() <= i) bad.resize(i + 1);
      if (!bad[i]) dropped->push_back({i, MMapStoreError::makeCorruptedData(reason).description()});
      bad[i] = true;
      out.emplace_back();
      continue;
    }
    out.emplace_back(s);
  }
  return okStatus();
}

// Why element `i` of the metadata array is not a string map; empty when it is.
std::string metadataElementProblem(const nlohmann::json& object, std::size_t i) {
  if (!object.is_object()) {
    return "Failed to decode metadata: element " + std::to_string(i) + " is " + std::string(object.type_name()) +
           ", expected an object";
  }
  for (const auto& [key, value] : object.items()) {
    if (!value.is_string()) {
      return "Failed to decode metadata: value of \"" + key + "\" in element " + std::to_string(i) + " is " +
             std::string(value.type_name()) + ", expected a string";
    }
  }
  return {};
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
  return firstInvalidUtf8Offset(s) == std::string_view::npos;
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
  for (std::size_t i = 0; i < items.size(); ++i) {
    const IndexItem& item = items[i];
    if (!isValidUTF8(item.id))
      return MMapStoreError::makeWriteError("Invalid UTF-8 in ID of item " + std::to_string(i));
    if (!isValidUTF8(item.text)) {
      return MMapStoreError::makeWriteError("Invalid UTF-8 in text of item " + std::to_string(i) + " ('" +
                                            toValidUtf8(item.id) + "')");
    }
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

namespace {

// decode and decodeSalvaging: without `dropped` the first bad record fails the load.
Result<SalvagedItems> decodeImage(std::string_view data, std::vector<DroppedRecord>* dropped) {
  PALLIX_ASSIGN_OR_RETURN(MMapHeader header, MMapStore::decodeHeader(data));
  SalvagedItems out;
  const uint64_t n = header.count;
  if (n == 0) return out;
  const uint64_t dim = header.dimension;
  const uint64_t size = data.size();
  constexpr uint64_t kHeaderSize = MMapStore::kHeaderSize;
  // 48 + N*D*4 must fit in the file; checked without overflowing.
  if (dim != 0 && n > (size - kHeaderSize) / 4 / dim)
    return MMapStoreError::makeCorruptedData("File too small for embeddings");
  std::vector<bool> bad;
  std::vector<std::string> ids;
  PALLIX_RETURN_IF_ERROR(readStrings(data, header.idsOffset, n, ids, /*ids=*/true, dropped, bad));
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());

  const uint64_t mo = header.metadataOffset;
  if (mo > size || size - mo < 4) return MMapStoreError::makeCorruptedData("Metadata section too small");
  const uint32_t jsonLength = readU32(bytes + mo);
  if (size - mo - 4 < jsonLength) return MMapStoreError::makeCorruptedData("Metadata extends beyond file");
  std::vector<std::map<std::string, std::string>> metadata;
  try {
    const std::string_view json = data.substr(mo + 4, jsonLength);
    nlohmann::json parsed;
    if (dropped && !isValidUTF8(json)) {
      // Bytes that are not UTF-8 can only sit inside strings of a section that
      // is otherwise sound; read them as U+FFFD rather than lose every record.
      const std::string repaired = toValidUtf8(json);
      parsed = nlohmann::json::parse(repaired.begin(), repaired.end());
    } else {
      parsed = nlohmann::json::parse(json.begin(), json.end());
    }
    if (!parsed.is_array()) {
      return MMapStoreError::makeCorruptedData("Failed to decode metadata: expected an array, found " +
                                               std::string(parsed.type_name()));
    }
    if (dropped && parsed.size() != n) {
      return MMapStoreError::makeCorruptedData("Metadata count mismatch: expected " + std::to_string(n) + ", got " +
                                               std::to_string(parsed.size()));
    }
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      const std::string problem = metadataElementProblem(parsed[i], i);
      if (problem.empty()) continue;
      if (!dropped) return MMapStoreError::makeCorruptedData(problem);
      if (bad.size() <= i) bad.resize(i + 1);
      if (!bad[i]) dropped->push_back({i, MMapStoreError::makeCorruptedData(problem).description()});
      bad[i] = true;
    }
    if (parsed.size() != n) {
      return MMapStoreError::makeCorruptedData("Metadata count mismatch: expected " + std::to_string(n) + ", got " +
                                               std::to_string(parsed.size()));
    }
    metadata.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (i < bad.size() && bad[i]) continue;
      for (auto& [key, value] : parsed[i].items()) metadata[i].emplace(key, value.get<std::string>());
    }
  } catch (const std::exception& e) {
    return MMapStoreError::makeCorruptedData(std::string("Failed to decode metadata: ") + e.what());
  }
  std::vector<std::string> texts;
  PALLIX_RETURN_IF_ERROR(readStrings(data, header.textOffset, n, texts, /*ids=*/false, dropped, bad));
  if (dropped) {
    std::sort(dropped->begin(), dropped->end(),
              [](const DroppedRecord& a, const DroppedRecord& b) { return a.index < b.index; });
  }
  out.items.reserve(n - (dropped ? dropped->size() : 0));
  for (uint64_t i = 0; i < n; ++i) {
    if (i < bad.size() && bad[i]) continue;
    IndexItem& item = out.items.emplace_back();
    item.id = std::move(ids[i]);
    item.text = std::move(texts[i]);
    item.metadata = std::move(metadata[i]);
    item.embedding.resize(dim);
    copyFloatsIn(item.embedding.data(), bytes + kHeaderSize + i * dim * 4, dim);
  }
  return out;
}

}  // namespace

Result<std::vector<IndexItem>> MMapStore::decode(std::string_view data) {
  PALLIX_ASSIGN_OR_RETURN(SalvagedItems decoded, decodeImage(data, nullptr));
  return std::move(decoded.items);
}

Result<SalvagedItems> MMapStore::decodeSalvaging(std::string_view data) {
  std::vector<DroppedRecord> dropped;
  PALLIX_ASSIGN_OR_RETURN(SalvagedItems decoded, decodeImage(data, &dropped));
  decoded.dropped = std::move(dropped);
  return decoded;
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
