// MessageChunkStore: what the message chunk indexer needs from the message
// embedding store. embeddingChunkStore() adapts MessageEmbeddingStore; the
// indexer's tests use an in-memory fake. Every call is asynchronous and
// answers through its Completion.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/semantic/MessageEmbeddingStore.h"

namespace pallix {

class MessageChunkStore {
 public:
  struct State {
    ReadinessState readiness = ReadinessState::initializing;
    std::string failureMessage;
    int64_t chunkCount = 0;
    bool indexFileExists = false;  // the item file is on disk
  };
  using LastChunk = std::optional<std::pair<std::string, MessageChunkMetadata>>;

  virtual ~MessageChunkStore() = default;
  virtual void initialize(Completion<Status> done) = 0;
  virtual void state(Completion<State> done) = 0;
  // Drops the loaded index and loads it again from disk.
  virtual void reload(Completion<Status> done) = 0;
  virtual void addChunks(std::vector<ChunkInput> chunks, Completion<Status> done) = 0;
  virtual void removeChunks(std::vector<std::string> ids, Completion<Status> done) = 0;
  virtual void getLastChunk(std::string chatGUID, Completion<LastChunk> done) = 0;
  virtual void deleteChunksOlderThan(double cutoff, Completion<Result<int64_t>> done) = 0;
  virtual void largestStoredRowID(Completion<std::optional<int64_t>> done) = 0;
  virtual void save(MessageSaveIntent intent, Completion<Status> done) = 0;
  virtual void saveHNSW(Completion<Status> done) = 0;
  virtual void rebuild(RebuildIntent intent, Completion<Status> done) = 0;
  // Posted after a rebuild or a reset.
  virtual const char* resetNotificationName() const = 0;
};

std::shared_ptr<MessageChunkStore> embeddingChunkStore(std::shared_ptr<MessageEmbeddingStore> store);

}  // namespace pallix
