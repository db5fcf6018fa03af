#include "app/semantic/FileEmbeddingStore.h"

#include <algorithm>

namespace pallix {
namespace {

const EmbeddingStoreWording kFileWording = {
    .category = "FileEmbeddingStore",
    .indexName = FileEmbeddingStore::kIndexName,
    .versionKey = FileEmbeddingStore::kModelVersionKey,
    .signalPrefix = "FileEmbedding",
    .storeSignalPrefix = "FileEmbeddingStore",
    .resetNotification = FileEmbeddingStore::kIndexWasResetNotification,
    .saveDirectoryPrefix = "Pallix-File-Save-",
    .graphSaveDirectoryPrefix = "Pallix-File-HNSW-Save-",
    .initializing = "Initializing file embedding store (metadata only)",
    .initFailed = "Failed to initialize file embedding store: %s",
    .versionMissing = "Model version metadata missing for existing file embedding index; preserving on-disk index",
    .loaded = "Loaded %ld file chunks from disk (model deferred)",
    .ready = "File embedding store ready with %ld chunks (model deferred)",
    .skipEmptyGraph = "Skipping HNSW load for empty file index (will build after indexing)",
    .graphMismatch = "HNSW node count mismatch (%ld vs %ld), deleting and rebuilding",
    .graphReady = "HNSW index ready for fast file search",
    .skipUnchangedSave = "Skipping save: no file embedding changes since last persistence",
    .saved = "Saved %ld file chunks (compressed)",
    .rebuildBlocked = "Blocked automatic file semantic index rebuild request from %s",
    .rebuildBlockedDescription = "Blocked automatic file semantic index rebuild request from ",
    .rebuilding = "Rebuilding file embedding index (source: %s)",
    .rebuilt = "File index rebuilt",
    .resetting = "Resetting file embedding store for model change",
    .resetComplete = "File embedding store reset complete - ready for new model",
    .skipUnloadSave = "Skipping unload save: file index unchanged",
    .unloaded = "File embedding index unloaded from memory (preserved count: %ld, freed ~90MB model)",
    .reloading = "Reloading file embedding index from disk",
    .reloaded = "Reloaded %ld file chunks from disk",
    .indexLabel = "file index",
    .repairCommand = "pallix semantic rebuild",
    .statusName = "semantic files",
};

std::optional<double> modifiedDateOf(const std::map<std::string, std::string>& metadata) {
  auto it = metadata.find("modifiedDate");
  if (it == metadata.end()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(it->second.c_str(), &end);
  if (end == it->second.c_str()) return std::nullopt;
  return value;
}

std::optional<std::string> filePathOf(const std::map<std::string, std::string>& metadata) {
  return filePathFromMetadata(metadata);
}

}  // namespace

std::shared_ptr<FileEmbeddingStore> FileEmbeddingStore::create(Dependencies deps) {
  return std::shared_ptr<FileEmbeddingStore>(new FileEmbeddingStore(std::move(deps)));
}

FileEmbeddingStore::FileEmbeddingStore(Dependencies deps) : EmbeddingStore(std::move(deps), kFileWording) {}

void FileEmbeddingStore::search(std::string query, int limit, Completion<std::vector<FileChunkSearchResult>> done) {
  postSelf<FileEmbeddingStore>(
      [query = std::move(query), limit, done](FileEmbeddingStore& s) { done(s.searchNow(query, limit)); });
}

void FileEmbeddingStore::removeChunks(std::string path, Completion<Status> done) {
  postSelf<FileEmbeddingStore>(
      [path = std::move(path), done](FileEmbeddingStore& s) { done(s.removeChunksNow(path)); });
}

void FileEmbeddingStore::save(Completion<Status> done) {
  postSelf<FileEmbeddingStore>([done](FileEmbeddingStore& s) { done(s.saveNow(std::nullopt)); });
}

void FileEmbeddingStore::fileModificationTimes(Completion<std::map<std::string, double>> done) {
  postSelf<FileEmbeddingStore>([done](FileEmbeddingStore& s) { done(s.fileMetadataCache_); });
}

std::vector<FileChunkSearchResult> FileEmbeddingStore::searchNow(const std::string& query, int limit) {
  if (!hasBeenInitialized_ || readinessState_ == ReadinessState::failed) {
    logger_.error("Cannot search: store not ready");
    return {};
  }
  Status loaded = ensureIndexLoadedNow();
  if (!loaded.ok()) {
    logger_.error("Cannot search: failed to load index - %s", loaded.error().description().c_str());
    return {};
  }
  if (!index_) {
    logger_.error("Cannot search: index not available after model load");
    return {};
  }
  if (isHNSWLoading_) {
    logger_.info("Skipping semantic file search while HNSW is loading/rebuilding");
    return {};
  }
  auto results = searchIndexNow(query, limit);
  if (!results.ok()) {
    logger_.error("Cannot search: %s", results.error().description().c_str());
    return {};
  }
  std::vector<FileChunkSearchResult> out;
  for (auto& result : results.value()) {
    auto metadata = FileChunkMetadata::fromMap(result.metadata);
    if (!metadata) continue;
    out.push_back({result.id, result.score, std::move(*metadata)});
  }
  return out;
}

Status FileEmbeddingStore::removeChunksNow(const std::string& path) {
  Status loaded = ensureIndexLoadedNow();
  if (!loaded.ok()) {
    logger_.error("Cannot remove chunks: store not ready");
    return loaded;
  }
  rebuildChunkIDsIfNeeded();
  auto it = chunkIDsByPath_.find(path);
  if (it == chunkIDsByPath_.end()) return okStatus();
  const std::vector<std::string> ids = it->second;
  removeItemsNow(ids);
  return okStatus();
}

void FileEmbeddingStore::recordChunk(const std::map<std::string, std::string>& metadata, const std::string& id,
                                     bool withID) {
  const auto path = filePathOf(metadata);
  if (!path) return;
  if (auto date = modifiedDateOf(metadata)) fileMetadataCache_[*path] = *date;
  if (withID && chunkIDsValid_) chunkIDsByPath_[*path].push_back(id);
}

void FileEmbeddingStore::willInstallItems(const std::vector<IndexItem>& items) {
  chunkIDsByPath_.clear();
  for (const auto& item : items) {
    if (const auto path = filePathOf(item.metadata)) chunkIDsByPath_[*path].push_back(item.id);
  }
  chunkIDsValid_ = true;
}

void FileEmbeddingStore::didLoadItems(const std::vector<IndexItem>& items) {
  fileMetadataCache_.clear();
  for (const auto& item : items) recordChunk(item.metadata, item.id, false);
  logger_.info("Built file metadata cache with %ld entries", static_cast<long>(fileMetadataCache_.size()));
}

void FileEmbeddingStore::didAddChunks(const std::vector<ChunkInput>& chunks) {
  for (const auto& chunk : chunks) recordChunk(chunk.metadata, chunk.id, true);
}

void FileEmbeddingStore::didRemoveItems(const std::vector<IndexItem>& removed) {
  for (const auto& item : removed) {
    const auto path = filePathOf(item.metadata);
    if (!path) continue;
    auto it = chunkIDsByPath_.find(*path);
    if (it == chunkIDsByPath_.end()) continue;
    std::erase(it->second, item.id);
    if (it->second.empty()) {
      chunkIDsByPath_.erase(it);
      fileMetadataCache_.erase(*path);
    }
  }
}

void FileEmbeddingStore::didReset() {
  fileMetadataCache_.clear();
  chunkIDsByPath_.clear();
  chunkIDsValid_ = true;
}

// The modification cache stays: without it every indexed file would count as
// new and be embedded again.
void FileEmbeddingStore::memoryPressureNow() {
  chunkIDsByPath_.clear();
  chunkIDsValid_ = false;
  logger_.info("FileEmbeddingStore cleared the chunk identifiers for memory pressure");
}

void FileEmbeddingStore::rebuildChunkIDsIfNeeded() {
  if (chunkIDsValid_ || !index_) return;
  chunkIDsByPath_.clear();
  for (const auto& item : index_->items()) {
    if (const auto path = filePathOf(item.metadata)) chunkIDsByPath_[*path].push_back(item.id);
  }
  chunkIDsValid_ = true;
}

}  // namespace pallix
