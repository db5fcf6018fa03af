// MessageEmbeddingStore: the semantic index of message conversations
// ("MessageChunks"). Its indexer (the message chunk indexer) comes later; the
// semantic conversation search calls searchSemanticOnly.
//
// Besides the shared design (EmbeddingStore): the legacy "MessageChunks.dat"
// is deleted on initialization; a save that would replace a persisted
// index with an empty one is refused unless its intent gives a reason;
// searches filter by date range and ask the facade for more candidates on
// large indexes (waiting for the graph there); memory pressure drops the
// cached item list.
//
// Threading: as EmbeddingStore (an actor on its own runner).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/semantic/EmbeddingStore.h"
#include "core/Error.h"

namespace pallix {

// A double as its shortest round-trip decimal, with ".0" on whole numbers
// ("1717243200.0", "1717243200.25"): chunk identifiers and stored dates.
std::string formatShortestDouble(double value);

// The string map stored with every message chunk. The message chunk
// indexer defines what the fields hold; the store only parses them back.
struct MessageChunkMetadata {
  std::string chatGUID;
  std::vector<int64_t> messageRowIDs;
  std::vector<std::string> messageGUIDs;
  double startDate = 0;  // seconds since 1970
  double endDate = 0;
  std::string combinedText;

  // Keys "chatGUID", "messageRowIDs" and "messageGUIDs" (JSON arrays as
  // strings), "startDate", "endDate" (formatShortestDouble), "combinedText".
  std::map<std::string, std::string> toMap() const;
  // The reason a map does not decode: a missing key, an array that is not
  // JSON or is empty, a date that is not a number.
  static Result<MessageChunkMetadata> fromMap(const std::map<std::string, std::string>& map);
  friend bool operator==(const MessageChunkMetadata&, const MessageChunkMetadata&) = default;
};

struct MessageChunkSearchResult {
  std::string chunkID;
  float similarity = 0;
  MessageChunkMetadata metadata;
};

// A closed range of seconds since 1970.
struct ChunkDateRange {
  double start = 0;
  double end = 0;
};

// Why a save happens; a reason makes an empty save intentional.
struct MessageSaveIntent {
  std::string source;
  std::optional<std::string> emptySaveReason;
  static MessageSaveIntent routine(std::string source) { return {std::move(source), std::nullopt}; }
  static MessageSaveIntent allowingEmpty(std::string source, std::string reason) {
    return {std::move(source), std::move(reason)};
  }
};

class MessageEmbeddingStore final : public EmbeddingStore {
 public:
  static constexpr const char* kIndexName = "MessageChunks";
  static constexpr const char* kModelVersionKey = "MessageEmbeddingStore.modelVersion";
  static constexpr const char* kIndexWasResetNotification = "MessageEmbeddingStore.indexWasReset";
  static constexpr int64_t kSmallIndexChunkLimit = 4000;
  static constexpr int64_t kSmallIndexCandidateLimit = 2000;
  static constexpr int64_t kCandidatesPerResult = 24;
  static constexpr int64_t kMinimumCandidates = 256;

  using ChunkMetadata = MessageChunkMetadata;
  using ChunkSearchResult = MessageChunkSearchResult;

  static std::shared_ptr<MessageEmbeddingStore> create(Dependencies deps);

  // The facade's candidate count for `limit` results over `chunkCount` chunks.
  static int64_t candidateCount(int64_t chunkCount, int limit);
  // nullopt (with the logged reason) when a key is missing or an array does not decode or is empty.
  std::optional<MessageChunkMetadata> parseMetadata(const std::map<std::string, std::string>& map) const;

  void searchSemanticOnly(std::string query, int limit, std::optional<ChunkDateRange> dateRange,
                          CancellationToken cancellation, Completion<std::vector<MessageChunkSearchResult>> done);
  void removeChunks(std::vector<std::string> ids, Completion<Status> done = {});
  // Removes every chunk whose "endDate" is before `cutoff` (seconds since 1970); the count removed.
  void deleteChunksOlderThan(double cutoff, Completion<Result<int64_t>> done);
  // The conversation's chunk with the latest "endDate".
  void getLastChunk(std::string chatGUID, Completion<std::optional<std::pair<std::string, MessageChunkMetadata>>> done);
  void save(MessageSaveIntent intent, Completion<Status> done = {});
  // The largest ROWID in the stored chunks' metadata; nullopt when no chunk has one.
  void largestStoredRowID(Completion<std::optional<int64_t>> done);

 protected:
  void willInitialize() override;
  void checkChunks(const std::vector<ChunkInput>& chunks) override;
  Status checkSave(int64_t itemCount, const std::optional<std::string>& emptySaveReason) override;
  void didLoadItems(const std::vector<IndexItem>& items) override;
  void didPersistItems(int64_t itemCount) override;
  void didReset() override;
  void memoryPressureNow() override;

 private:
  explicit MessageEmbeddingStore(Dependencies deps);
  void searchNow(const std::string& query, int limit, const std::optional<ChunkDateRange>& dateRange,
                 const CancellationToken& cancellation, const Completion<std::vector<MessageChunkSearchResult>>& done);
  std::vector<MessageChunkSearchResult> collect(const std::vector<SearchResult>& results,
                                                const std::optional<ChunkDateRange>& dateRange) const;

  // Item count of the last successful save (or of the files found at start-up).
  int64_t lastPersistedChunkCount_ = 0;
};

}  // namespace pallix
