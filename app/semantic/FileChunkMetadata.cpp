#include "app/semantic/FileChunkMetadata.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix {
namespace {

std::optional<int64_t> parseInteger(const std::string& text) {
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(const std::string& text) {
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> filePathFromMetadata(const std::map<std::string, std::string>& map) {
  if (auto bytes = map.find(FileChunkMetadata::kFilePathBytesKey); bytes != map.end()) {
    if (auto decoded = fromHex(bytes->second); decoded && !decoded->empty()) return decoded;
  }
  auto path = map.find(FileChunkMetadata::kFilePathKey);
  if (path == map.end() || path->second.empty()) return std::nullopt;
  return path->second;
}

std::string formatSecondsSince1970(double seconds) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds);
  if (error != std::errc()) return "0";
  return std::string(buffer, end);
}

std::map<std::string, std::string> FileChunkMetadata::toMap() const {
  std::map<std::string, std::string> map = {{kFilePathKey, toValidUtf8(filePath)},
                                            {"fileName", toValidUtf8(fileName)},
                                            {"fileExtension", toValidUtf8(fileExtension)},
                                            {"fileCategory", toValidUtf8(fileCategory)},
                                            {"chunkIndex", std::to_string(chunkIndex)},
                                            {"totalChunks", std::to_string(totalChunks)},
                                            {"startOffset", std::to_string(startOffset)},
                                            {"endOffset", std::to_string(endOffset)},
                                            {"modifiedDate", formatSecondsSince1970(modifiedDate)},
                                            {"chunkText", toValidUtf8(chunkText)}};
  if (map[kFilePathKey] != filePath) map[kFilePathBytesKey] = toHex(filePath);
  return map;
}

std::optional<FileChunkMetadata> FileChunkMetadata::fromMap(const std::map<std::string, std::string>& map) {
  auto get = [&](const char* key) -> const std::string* {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  };
  FileChunkMetadata m;
  auto path = filePathFromMetadata(map);
  if (!path) return std::nullopt;
  m.filePath = std::move(*path);
  for (auto [key, field] : {std::pair{"fileName", &m.fileName}, std::pair{"fileExtension", &m.fileExtension},
                            std::pair{"fileCategory", &m.fileCategory}, std::pair{"chunkText", &m.chunkText}}) {
    const std::string* value = get(key);
    if (!value) return std::nullopt;
    *field = *value;
  }
  for (auto [key, field] : {std::pair{"chunkIndex", &m.chunkIndex}, std::pair{"totalChunks", &m.totalChunks},
                            std::pair{"startOffset", &m.startOffset}, std::pair{"endOffset", &m.endOffset}}) {
    const std::string* value = get(key);
    auto number = value ? parseInteger(*value) : std::nullopt;
    if (!number) return std::nullopt;
    *field = *number;
  }
  const std::string* date = get("modifiedDate");
  auto seconds = date ? parseDouble(*date) : std::nullopt;
  if (!seconds) return std::nullopt;
  m.modifiedDate = *seconds;
  return m;
}

}  // namespace pallix
