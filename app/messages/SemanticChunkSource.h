// SemanticChunkSource: what the semantic conversation search asks of the
// message embedding store, as blocking calls from the search service's
// executor. storeChunkSource() adapts MessageEmbeddingStore (its answers
// come back through its own runner, so it must not be called from there);
// tests pass a fake.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/semantic/MessageEmbeddingStore.h"

namespace pallix {

class SemanticChunkSource {
 public:
  virtual ~SemanticChunkSource() = default;
  // Whether the store initialized (and so can be searched) and how many chunks it holds.
  struct State {
    bool ready = false;
    int64_t chunkCount = 0;
  };
  virtual State state() = 0;
  // The chunks nearest to `query`, most similar first, limited to `dateRange`.
  virtual std::vector<MessageChunkSearchResult> search(const std::string& query, int limit,
                                                       const std::optional<ChunkDateRange>& dateRange,
                                                       const CancellationToken& cancellation) = 0;
};

std::shared_ptr<SemanticChunkSource> storeChunkSource(std::shared_ptr<MessageEmbeddingStore> store);

}  // namespace pallix
