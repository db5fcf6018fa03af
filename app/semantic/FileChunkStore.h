// FileChunkStore: what the file chunk indexer and the semantic bridge need
// from the file embedding store. FileEmbeddingStore implements it; tests of
// the indexer use an in-memory fake that can also fail or hang on demand.
// Every call is asynchronous and answers through its Completion.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/semantic/EmbeddingStore.h"
#include "app/semantic/FileChunkMetadata.h"

namespace pallix {

class FileChunkStore {
 public:
  virtual ~FileChunkStore() = default;
  virtual void removeChunks(std::string path, Completion<Status> done) = 0;
  virtual void addChunks(std::vector<ChunkInput> chunks, EmbeddingStore::ProgressCallback onProgress,
                         Completion<Status> done) = 0;
  virtual void save(Completion<Status> done) = 0;
  virtual void saveHNSW(Completion<Status> done) = 0;
  // The file metadata cache: path -> modification time (seconds since 1970).
  virtual void fileModificationTimes(Completion<std::map<std::string, double>> done) = 0;
  virtual void rebuild(RebuildIntent intent, Completion<Status> done) = 0;
  virtual void snapshot(Completion<EmbeddingStoreSnapshot> done) = 0;
  virtual void search(std::string query, int limit, Completion<std::vector<FileChunkSearchResult>> done) = 0;
  virtual void ensureIndexLoaded(Completion<Status> done) = 0;
  // Posted after a rebuild or a reset.
  virtual const char* resetNotificationName() const = 0;
};

}  // namespace pallix
