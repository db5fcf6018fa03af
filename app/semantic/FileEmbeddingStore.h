// FileEmbeddingStore: the semantic index of file contents ("FileChunks"),
// fed by the FileChunkIndexer and searched by the SemanticBridge.
//
// Besides the shared design (EmbeddingStore) it keeps the file metadata
// cache, path -> modification time (seconds since 1970) built from the chunk
// metadata: the passes compare the files on disk with it, so it holds an
// entry for every indexed file (a file missing from it counts as new). A
// file search while the graph loads answers
// nothing instead of waiting.
//
// Threading: as EmbeddingStore (an actor on its own runner).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/semantic/EmbeddingStore.h"
#include "app/semantic/FileChunkMetadata.h"
#include "app/semantic/FileChunkStore.h"

namespace pallix {

class FileEmbeddingStore final : public EmbeddingStore, public FileChunkStore {
 public:
  static constexpr const char* kIndexName = "FileChunks";
  static constexpr const char* kModelVersionKey = "FileEmbeddingStore.modelVersion";
  static constexpr const char* kIndexWasResetNotification = "FileEmbeddingStore.indexWasReset";

  using ChunkMetadata = FileChunkMetadata;
  using ChunkSearchResult = FileChunkSearchResult;

  static std::shared_ptr<FileEmbeddingStore> create(Dependencies deps);

  void search(std::string query, int limit, Completion<std::vector<FileChunkSearchResult>> done) override;
  // Removes every chunk whose "filePath" is `path`.
  void removeChunks(std::string path, Completion<Status> done = {}) override;
  void save(Completion<Status> done = {}) override;
  // A copy of the file metadata cache.
  void fileModificationTimes(Completion<std::map<std::string, double>> done) override;

  // The shared operations, as the FileChunkStore interface names them.
  void addChunks(std::vector<ChunkInput> chunks, ProgressCallback onProgress, Completion<Status> done) override {
    EmbeddingStore::addChunks(std::move(chunks), std::move(onProgress), std::move(done));
  }
  void saveHNSW(Completion<Status> done = {}) override { EmbeddingStore::saveHNSW(std::move(done)); }
  void rebuild(RebuildIntent intent, Completion<Status> done = {}) override {
    EmbeddingStore::rebuild(std::move(intent), std::move(done));
  }
  void snapshot(Completion<EmbeddingStoreSnapshot> done) override { EmbeddingStore::snapshot(std::move(done)); }
  void ensureIndexLoaded(Completion<Status> done = {}) override { EmbeddingStore::ensureIndexLoaded(std::move(done)); }
  const char* resetNotificationName() const override { return kIndexWasResetNotification; }

 protected:
  void didLoadItems(const std::vector<IndexItem>& items) override;
  void willInstallItems(const std::vector<IndexItem>& items) override;
  void didAddChunks(const std::vector<ChunkInput>& chunks) override;
  void didRemoveItems(const std::vector<IndexItem>& removed) override;
  void didReset() override;
  void memoryPressureNow() override;

 private:
  explicit FileEmbeddingStore(Dependencies deps);
  std::vector<FileChunkSearchResult> searchNow(const std::string& query, int limit);
  Status removeChunksNow(const std::string& path);
  void recordChunk(const std::map<std::string, std::string>& metadata, const std::string& id, bool withID);
  void rebuildChunkIDsIfNeeded();

  // path -> modification time of every indexed file.
  std::map<std::string, double> fileMetadataCache_;
  // path -> identifiers of its chunks, for removal without scanning the
  // items; built when the items go into the loaded index.
  std::unordered_map<std::string, std::vector<std::string>> chunkIDsByPath_;
  bool chunkIDsValid_ = true;
};

}  // namespace pallix
