// FileChunkMetadata: the string map stored with every file chunk, and the
// search answers of the file embedding store.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace pallix {

struct FileChunkMetadata {
  static constexpr const char* kFilePathKey = "filePath";
  // Present when the path is not UTF-8: its bytes in hexadecimal.
  static constexpr const char* kFilePathBytesKey = "filePathBytes";

  std::string filePath;  // absolute, the file's own bytes (which need not be UTF-8)
  std::string fileName;
  std::string fileExtension;
  std::string fileCategory;  // "code", "document", ..., "application", "other"
  int64_t chunkIndex = 0;
  int64_t totalChunks = 0;
  int64_t startOffset = 0;  // character offsets into the extracted text
  int64_t endOffset = 0;
  double modifiedDate = 0;  // seconds since 1970
  std::string chunkText;

  // Keys "filePath", "fileName", "fileExtension", "fileCategory",
  // "chunkIndex", "totalChunks", "startOffset", "endOffset", "modifiedDate",
  // "chunkText"; numbers in decimal. Every value is UTF-8: a path that is
  // not is stored with U+FFFD under "filePath" and exactly under
  // "filePathBytes"; other texts get U+FFFD for what is not UTF-8.
  std::map<std::string, std::string> toMap() const;
  // nullopt when a key is missing or a number does not parse.
  static std::optional<FileChunkMetadata> fromMap(const std::map<std::string, std::string>& map);

  friend bool operator==(const FileChunkMetadata&, const FileChunkMetadata&) = default;
};

// The real path a chunk's metadata names (decoded from "filePathBytes" when
// present), or nullopt without one.
std::optional<std::string> filePathFromMetadata(const std::map<std::string, std::string>& map);

struct FileChunkSearchResult {
  std::string chunkID;
  float similarity = 0;
  FileChunkMetadata metadata;
};

// The shortest decimal form that reads back as the same double ("1700000000.25").
std::string formatSecondsSince1970(double seconds);

}  // namespace pallix
