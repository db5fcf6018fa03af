// FileChunking: how the file chunk indexer turns files into chunks.
//
//   * collectFiles walks the semantic folders (hidden entries, node_modules,
//     __pycache__, whatever the exclusion filter rejects, files above the
//     size limit and links leading out of the folders are skipped);
//   * readTextFile reads a file whole as UTF-8 text (anything else, binary
//     files and PDFs included, is refused);
//   * chunkText cuts text into windows of 400 characters that overlap by 80,
//     cutting after the window's last newline, else after its last ". ",
//     when that cut lies more than 80 characters after the window's start,
//     else at the window's end; so every character lands in a chunk;
//   * makeFileChunks prefixes each chunk with its header line
//     "[name | kind | folder | size | MMM d, yyyy | Chunk i/n]" and attaches
//     the chunk metadata.
// Characters are Unicode code points; offsets count them.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/search/FileExclusionFilter.h"
#include "app/semantic/EmbeddingStore.h"
#include "app/semantic/FileChunkMetadata.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

class DirectoryOpener;  // app/search/CatalogScanner.h

inline constexpr std::size_t kMaxContentChars = 400;
inline constexpr std::size_t kChunkOverlap = 80;
inline constexpr int64_t kMaxFileSize = 10 * 1024 * 1024;

struct TextChunk {
  std::string text;
  int64_t startOffset = 0;  // characters
  int64_t endOffset = 0;

  friend bool operator==(const TextChunk&, const TextChunk&) = default;
};

std::vector<TextChunk> chunkText(std::string_view text, std::size_t window = kMaxContentChars,
                                 std::size_t overlap = kChunkOverlap);

// A file found by collectFiles.
struct CollectedFile {
  std::string path;
  int64_t size = 0;
  double modifiedDate = 0;  // seconds since 1970
};

struct FileCollection {
  std::vector<CollectedFile> files;  // sorted by path, each once
  // Folders that could not be listed: what was indexed below them stays.
  std::vector<std::string> unreadableFolders;
};

// Every indexable file below `folders`. A link to a file counts as that file
// (under its path below the folder) when the file lies in one of the folders
// and no component of it there is excluded; links to anything else, and to
// folders, are not followed. Stops early (with what it has) when `cancelled`
// turns true. Folders are opened through `opener` (null: the system).
FileCollection collectFiles(const std::vector<std::string>& folders, const FileExclusionFilter& filter,
                            int64_t maxFileSize = kMaxFileSize, const CancellationToken& cancelled = {},
                            DirectoryOpener* opener = nullptr);

// One file's size and modification time, as collectFiles reports them.
Result<CollectedFile> describeFile(const std::string& path);

// The file's contents when it is UTF-8 text without NUL bytes.
Result<std::string> readTextFile(const std::string& path);

// "code", "document", ..., "application" or "other" for an extension (any case).
std::string fileCategoryForExtension(std::string_view extension);
// The kind shown in the header: "text file", "document", "image", ... or a
// language description for source code ("C++ source code").
std::string fileKindDescription(std::string_view extension);
// "512 bytes", "12 KB", "3.4 MB": decimal units, as file sizes are shown.
std::string formatFileSize(int64_t bytes);
// "Jan 5, 2024" in the local time zone.
std::string formatHeaderDate(double secondsSince1970);
// A stable identifier of a file path (16 hex digits); chunk identifiers are it + "_" + index.
std::string fileIdentifier(std::string_view path);

// The chunks of one file's text, ready for the store.
std::vector<ChunkInput> makeFileChunks(const CollectedFile& file, std::string_view text);

}  // namespace pallix
