#include "app/messages/SemanticChunkSource.h"

#include <future>

namespace pallix {
namespace {

// A store that went away with the question queued (shutdown) never answers.
constexpr auto kAnswerTimeout = std::chrono::seconds(60);

class StoreChunkSource final : public SemanticChunkSource {
 public:
  explicit StoreChunkSource(std::shared_ptr<MessageEmbeddingStore> store) : store_(std::move(store)) {}

  State state() override {
    if (store_->runner()->isCurrent()) return {};
    auto answer = std::make_shared<std::promise<EmbeddingStoreSnapshot>>();
    auto future = answer->get_future();
    store_->snapshot(Completion<EmbeddingStoreSnapshot>([answer](EmbeddingStoreSnapshot s) { answer->set_value(s); }));
    if (future.wait_for(kAnswerTimeout) != std::future_status::ready) return {};
    EmbeddingStoreSnapshot s = future.get();
    return {s.hasBeenInitialized && s.readiness != ReadinessState::failed, s.chunkCount};
  }

  std::vector<MessageChunkSearchResult> search(const std::string& query, int limit,
                                               const std::optional<ChunkDateRange>& dateRange,
                                               const CancellationToken& cancellation) override {
    if (store_->runner()->isCurrent()) return {};
    auto answer = std::make_shared<std::promise<std::vector<MessageChunkSearchResult>>>();
    auto future = answer->get_future();
    store_->searchSemanticOnly(query, limit, dateRange, cancellation,
                               Completion<std::vector<MessageChunkSearchResult>>(
                                   [answer](std::vector<MessageChunkSearchResult> r) { answer->set_value(r); }));
    if (future.wait_for(kAnswerTimeout) != std::future_status::ready) return {};
    return future.get();
  }

 private:
  std::shared_ptr<MessageEmbeddingStore> store_;
};

}  // namespace

std::shared_ptr<SemanticChunkSource> storeChunkSource(std::shared_ptr<MessageEmbeddingStore> store) {
  return std::make_shared<StoreChunkSource>(std::move(store));
}

}  // namespace pallix
