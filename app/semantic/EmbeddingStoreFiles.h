// EmbeddingStoreFiles: the on-disk side of one embedding store, shared by
// the file and the message store.
//
// Files in the store directory, for index name N:
//   N.mmap / N.mmap.lz   the item list (MMapStore), plain or LZFSE
//   N.hnsw / N.hnsw.lz   the HNSW graph, plain or LZFSE
//   N.model              the identity of the model that embedded the items (JSON)
// Readers prefer the ".lz" file when it exists.
//
// Writes go through compress-and-move: a file prepared in a temporary
// directory is encoded beside its destination under a temporary name and
// renamed into place, so a crash at any moment leaves the previous file or
// the new one, never a mix. Data of 1024 bytes or less, or data LZFSE cannot
// shrink, is stored plain; the other form is removed only after the new file
// is in place. Leftover temporary names (an interrupted save) are removed by
// removeStaleTemporaries().
//
// Stateless apart from paths and the logger; runs on the calling thread
// (the store's runner, or its background runner for graph loads).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "SimilaritySearchKit/MMapStore.h"
#include "core/Error.h"
#include "core/Logger.h"

namespace pallix {

// One file of the store on disk, for status displays.
struct StoreFileInfo {
  std::string name;
  uint64_t sizeBytes = 0;
  bool compressed = false;
};

// A directory made for one save or load under the temporary root. Its maker
// holds an flock on it while it exists, so a sweep by another process passes
// it by; destruction removes it with its contents. Move-only.
class TemporaryDirectory {
 public:
  TemporaryDirectory(std::string path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {}
  TemporaryDirectory(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }

 private:
  void release();
  std::string path_;
  int lockFd_ = -1;
};

class EmbeddingStoreFiles {
 public:
  static constexpr std::size_t kUncompressedLimit = 1024;

  // `temporaryRoot` empty: the system's temporary directory.
  EmbeddingStoreFiles(std::string storeDirectory, std::string indexName, std::string temporaryRoot,
                      const Logger& logger);

  const std::string& storeDirectory() const { return storeDirectory_; }
  const std::string& indexName() const { return indexName_; }
  const std::string& temporaryRoot() const { return temporaryRoot_; }
  std::string itemPath() const { return storeDirectory_ + "/" + indexName_ + ".mmap"; }
  std::string graphPath() const { return storeDirectory_ + "/" + indexName_ + ".hnsw"; }
  std::string modelIdentityPath() const { return storeDirectory_ + "/" + indexName_ + ".model"; }
  static std::string compressedPath(const std::string& plainPath) { return plainPath + ".lz"; }

  bool hasItemFile() const;
  bool hasGraphFile() const;
  // The item and graph files that exist, in that order.
  std::vector<StoreFileInfo> existingFiles() const;

  // Moves the file at `sourcePath` to `plainDestination` (or its ".lz"
  // form) by the rules above. Errors: CompressionError.
  Status compressAndMove(const std::string& sourcePath, const std::string& plainDestination) const;

  // The item list, from the ".lz" or the plain file; an empty list when
  // neither exists. Records that cannot be read are left out and listed. A
  // failure (logged "Failed to decompress and load: %s" or "Failed to load
  // uncompressed file: %s") is StoreFileError::damaged when the file's
  // structure is broken, StoreFileError::unreadable when it cannot be read at
  // all (permissions, a busy or vanished file, an I/O error).
  Result<SalvagedItems> loadItems() const;
  // Why the graph file that exists cannot be opened for reading; nullopt when
  // it can or there is none. Such a file is kept: it is not damaged.
  std::optional<std::string> graphUnreadableReason() const;
  // The model identity file's text; nullopt when there is none.
  Result<std::optional<std::string>> readModelIdentity() const;
  Status writeModelIdentity(const std::string& text) const;
  // The graph's node count, from the first 4 bytes of the graph file (for a
  // ".lz" file only its beginning is decoded); nullopt without a graph file.
  Result<std::optional<uint32_t>> graphNodeCount() const;
  // Decodes the ".lz" graph as N.hnsw into `directory`. False when there is
  // no ".lz" graph.
  Result<bool> decompressGraphInto(const std::string& directory) const;

  // A fresh directory PREFIX + UUID under the temporary root, locked.
  Result<TemporaryDirectory> makeTemporaryDirectory(const std::string& prefix) const;
  static void removeDirectory(const std::string& directory);

  // The item files and the model identity file that describes them.
  void deleteItemFiles() const;
  void deleteGraphFiles() const;
  static constexpr std::chrono::hours kStaleTemporaryAge{1};
  // Removes what interrupted saves and loads left behind (a crash, kill -9):
  // "Pallix-..." temporary directories that no process holds locked, and,
  // with `besideStoreFiles` (the writer), the temporary names beside the
  // store files; each only when older than kStaleTemporaryAge, so work in
  // progress elsewhere is never touched.
  void removeStaleTemporaries(bool besideStoreFiles) const;

 private:
  Status decompressTo(const std::string& compressed, const std::string& destination) const;

  std::string storeDirectory_;
  std::string indexName_;
  std::string temporaryRoot_;
  const Logger& logger_;
};

}  // namespace pallix
