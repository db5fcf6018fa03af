#include "app/messages/MessageChunkStore.h"

namespace pallix {
namespace {

class EmbeddingChunkStore final : public MessageChunkStore {
 public:
  explicit EmbeddingChunkStore(std::shared_ptr<MessageEmbeddingStore> store) : store_(std::move(store)) {}

  void initialize(Completion<Status> done) override { store_->initialize(std::move(done)); }
  void state(Completion<State> done) override {
    store_->snapshot(Completion<EmbeddingStoreSnapshot>([store = store_, done](EmbeddingStoreSnapshot s) {
      done(State{s.readiness, s.failureMessage, s.chunkCount, store->files().hasItemFile()});
    }));
  }
  void reload(Completion<Status> done) override {
    store_->unloadIndex(Completion<Status>([store = store_, done](Status unloaded) {
      if (!unloaded.ok()) return done(unloaded);
      store->ensureIndexLoaded(done);
    }));
  }
  void addChunks(std::vector<ChunkInput> chunks, Completion<Status> done) override {
    store_->addChunks(std::move(chunks), nullptr, std::move(done));
  }
  void removeChunks(std::vector<std::string> ids, Completion<Status> done) override {
    store_->removeChunks(std::move(ids), std::move(done));
  }
  void getLastChunk(std::string chatGUID, Completion<LastChunk> done) override {
    store_->getLastChunk(std::move(chatGUID), std::move(done));
  }
  void deleteChunksOlderThan(double cutoff, Completion<Result<int64_t>> done) override {
    store_->deleteChunksOlderThan(cutoff, std::move(done));
  }
  void largestStoredRowID(Completion<std::optional<int64_t>> done) override {
    store_->largestStoredRowID(std::move(done));
  }
  void save(MessageSaveIntent intent, Completion<Status> done) override {
    store_->save(std::move(intent), std::move(done));
  }
  void saveHNSW(Completion<Status> done) override { store_->saveHNSW(std::move(done)); }
  void rebuild(RebuildIntent intent, Completion<Status> done) override {
    store_->rebuild(std::move(intent), std::move(done));
  }
  const char* resetNotificationName() const override { return MessageEmbeddingStore::kIndexWasResetNotification; }

 private:
  std::shared_ptr<MessageEmbeddingStore> store_;
};

}  // namespace

std::shared_ptr<MessageChunkStore> embeddingChunkStore(std::shared_ptr<MessageEmbeddingStore> store) {
  return std::make_shared<EmbeddingChunkStore>(std::move(store));
}

}  // namespace pallix
