// The semantic path of MessageSearchService: store search, candidate
// selection, hydration with its fallback chain, representative messages.
#include <algorithm>
#include <cstdio>
#include <map>

#include "app/intelligence/TemporalQueryAnalyzer.h"
#include "app/messages/MessageSearchService.h"
#include "app/messages/MessageStatements.h"
#include "app/messages/MessageText.h"
#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger instance("MessageSearchService");
  return instance;
}

constexpr double kReferenceDateOffset = 978'307'200;

int64_t databaseNanoseconds(double secondsSince1970) {
  return static_cast<int64_t>((secondsSince1970 - kReferenceDateOffset) * 1'000'000'000.0);
}

const char* boolText(bool value) {
  return value ? "true" : "false";
}

SemanticConversationResult conversationFor(const MessageChunkSearchResult& chunk,
                                           std::vector<MessageSearchResult> messages, const char* method) {
  SemanticConversationResult r;
  r.chunkID = chunk.chunkID;
  r.similarity = chunk.similarity;
  r.chatGUID = chunk.metadata.chatGUID;
  for (const auto& m : messages) {
    if (m.chatDisplayName) {
      r.chatDisplayName = m.chatDisplayName;
      break;
    }
  }
  if (!r.chatDisplayName) r.chatDisplayName = semantic_rules::displayNameFromTranscript(chunk.metadata.combinedText);
  r.messages = std::move(messages);
  r.fallbackMethod = method;
  return r;
}

// Messages in the order of `rowIDs` (the chunk's order).
std::vector<MessageSearchResult> inRowIDOrder(const std::vector<int64_t>& rowIDs,
                                              const std::map<int64_t, MessageSearchResult>& byRowID) {
  std::vector<MessageSearchResult> out;
  for (int64_t id : rowIDs) {
    if (auto it = byRowID.find(id); it != byRowID.end()) out.push_back(it->second);
  }
  return out;
}

}  // namespace

void MessageSearchService::setEmbeddingStore(std::shared_ptr<SemanticChunkSource> store) {
  std::lock_guard<std::mutex> lock(storeMutex_);
  embeddingStore_ = std::move(store);
}

bool MessageSearchService::hasEmbeddingStore() const {
  std::lock_guard<std::mutex> lock(storeMutex_);
  return embeddingStore_ != nullptr;
}

std::vector<SemanticConversationResult> MessageSearchService::searchSemanticConversations(
    const std::string& query, int limit, const CancellationToken& cancellation) {
  std::shared_ptr<SemanticChunkSource> store;
  {
    std::lock_guard<std::mutex> lock(storeMutex_);
    store = embeddingStore_;
  }
  const SemanticChunkSource::State state = store ? store->state() : SemanticChunkSource::State{};
  if (!state.ready) {
    logger().info("Semantic conversation search skipped: store not ready");
    TelemetryService::signal("MessageSearch.semanticConversationSkipped", {{"reason", "storeNotReady"}});
    return {};
  }
  if (state.chunkCount == 0) {
    logger().info("Semantic conversation search skipped: no indexed chunks");
    TelemetryService::signal("MessageSearch.semanticConversationSkipped", {{"reason", "noIndexedChunks"}});
    return {};
  }

  const TemporalQueryAnalyzer analyzer(deps_.clock->wallNow(), deps_.timeZoneID);
  const TemporalQueryAnalyzer::TemporalIntent intent = analyzer.analyze(query);
  const std::string searched = trimWhitespaceAndNewlines(intent.semanticQuery).empty() ? query : intent.semanticQuery;
  std::optional<ChunkDateRange> range;
  if (intent.dateRangeFilter) {
    range =
        ChunkDateRange{secondsSince1970(intent.dateRangeFilter->start), secondsSince1970(intent.dateRangeFilter->end)};
  }
  const int effective = semantic_rules::effectiveLimit(limit);
  const int candidates = semantic_rules::candidateCount(limit);
  std::vector<MessageChunkSearchResult> found = store->search(searched, candidates, range, cancellation);
  if (found.size() > size_t(candidates)) found.resize(size_t(candidates));
  if (cancellation.isCancelled()) return {};

  std::vector<SemanticConversationResult> results;
  if (!found.empty()) {
    results = hydrateCandidates(semantic_rules::selectSemanticCandidates(found, effective), cancellation);
    if (results.empty() && !cancellation.isCancelled()) {
      results = hydrateCandidates(
          semantic_rules::selectSemanticCandidates(found, effective * semantic_rules::kFallbackExpansion),
          cancellation);
      if (results.size() > size_t(effective)) results.resize(size_t(effective));
    }
    if (results.empty()) {
      logger().info("Semantic chunk candidates found but none could be hydrated for query: %s", query.c_str());
    }
  } else {
    logger().info("No semantic match found for query: %s", query.c_str());
    TelemetryService::signal("MessageSearch.semanticConversationEmpty");
  }
  for (const auto& r : results) {
    char similarity[32];
    std::snprintf(similarity, sizeof similarity, "%.3f", double(r.similarity));
    TelemetryService::signal("MessageSearch.semanticConversationFound",
                             {{"similarity", similarity},
                              {"messageCount", std::to_string(r.messages.size())},
                              {"fallbackMethod", r.fallbackMethod}});
  }
  TelemetryService::signal("MessageSearch.semanticConversationsFound",
                           {{"conversationCount", std::to_string(results.size())},
                            {"usedTemporalFilter", boolText(range.has_value())},
                            {"candidateCount", std::to_string(found.size())},
                            {"requestedLimit", std::to_string(limit)}});
  return results;
}

std::vector<SemanticConversationResult> MessageSearchService::hydrateCandidates(
    const std::vector<MessageChunkSearchResult>& candidates, const CancellationToken& cancellation) {
  std::vector<SemanticConversationResult> batch = hydrateConversationsUsingBatchRowIDs(candidates);
  std::map<std::string, SemanticConversationResult> byChunk;
  for (auto& r : batch) byChunk.emplace(r.chunkID, std::move(r));
  std::vector<SemanticConversationResult> out;
  for (const MessageChunkSearchResult& candidate : candidates) {
    if (auto it = byChunk.find(candidate.chunkID); it != byChunk.end()) {
      out.push_back(std::move(it->second));
      continue;
    }
    if (cancellation.isCancelled()) break;
    auto hydrated = hydrateSemanticConversation(candidate, cancellation);
    if (hydrated && !hydrated->messages.empty()) out.push_back(std::move(*hydrated));
  }
  return out;
}

std::vector<SemanticConversationResult> MessageSearchService::hydrateConversationsUsingBatchRowIDs(
    const std::vector<MessageChunkSearchResult>& candidates) {
  std::vector<int64_t> rowIDs;
  for (const auto& c : candidates)
    rowIDs.insert(rowIDs.end(), c.metadata.messageRowIDs.begin(), c.metadata.messageRowIDs.end());
  std::sort(rowIDs.begin(), rowIDs.end());
  rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
  if (rowIDs.empty()) return {};
  auto fetched = queryMessageResults(
      message_sql::hydrateByRowIDs(rowIDs.size()),
      [&](SqliteStatement& s) {
        for (size_t i = 0; i < rowIDs.size(); ++i) s.bind(int(i + 1), rowIDs[i]);
      },
      9);
  if (!fetched.ok()) {
    logger().error("Batch ROWID hydration failed: %s", fetched.error().description().c_str());
    return {};
  }
  std::map<int64_t, MessageSearchResult> byRowID;
  for (auto& m : fetched.value()) byRowID.emplace(m.id, std::move(m));
  std::vector<SemanticConversationResult> out;
  for (const auto& c : candidates) {
    std::vector<MessageSearchResult> messages = inRowIDOrder(c.metadata.messageRowIDs, byRowID);
    if (!messages.empty()) out.push_back(conversationFor(c, std::move(messages), "rowid_batch"));
  }
  return out;
}

std::optional<SemanticConversationResult> MessageSearchService::hydrateSemanticConversation(
    const MessageChunkSearchResult& candidate, const CancellationToken& cancellation) {
  const MessageChunkMetadata& m = candidate.metadata;
  const char* id = candidate.chunkID.c_str();
  auto cancelled = [&] { return conversationFor(candidate, {}, "cancelled"); };

  if (!m.messageRowIDs.empty()) {
    auto fetched = queryMessageResults(
        message_sql::hydrateByRowIDs(m.messageRowIDs.size()),
        [&](SqliteStatement& s) {
          for (size_t i = 0; i < m.messageRowIDs.size(); ++i) s.bind(int(i + 1), m.messageRowIDs[i]);
        },
        9);
    if (!fetched.ok()) {
      logger().error("ROWID fetch failed for chunk %s: %s", id, fetched.error().description().c_str());
    } else if (!fetched->empty()) {
      logger().debug("Fetched %ld messages by ROWIDs for chunk %s", long(fetched->size()), id);
      std::map<int64_t, MessageSearchResult> byRowID;
      for (auto& r : fetched.value()) byRowID.emplace(r.id, std::move(r));
      return conversationFor(candidate, inRowIDOrder(m.messageRowIDs, byRowID), "rowid");
    }
  }
  if (cancellation.isCancelled()) return cancelled();
  if (!m.messageGUIDs.empty()) {
    auto fetched = queryMessageResults(
        message_sql::hydrateByGUIDs(m.messageGUIDs.size()),
        [&](SqliteStatement& s) {
          for (size_t i = 0; i < m.messageGUIDs.size(); ++i) s.bind(int(i + 1), m.messageGUIDs[i]);
        },
        9);
    if (!fetched.ok()) {
      logger().error("GUID fetch failed for chunk %s: %s", id, fetched.error().description().c_str());
    } else if (!fetched->empty()) {
      logger().debug("Fetched %ld messages by GUIDs for chunk %s", long(fetched->size()), id);
      std::vector<MessageSearchResult> messages = std::move(fetched).value();
      std::stable_sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) { return a.date < b.date; });
      return conversationFor(candidate, std::move(messages), "guid");
    }
  }
  if (cancellation.isCancelled()) return cancelled();
  if (!m.chatGUID.empty()) {
    auto fetched = queryMessageResults(
        message_sql::hydrateByTimeRange(),
        [&](SqliteStatement& s) {
          s.bind(1, m.chatGUID);
          s.bind(2, databaseNanoseconds(m.startDate));
          s.bind(3, databaseNanoseconds(m.endDate));
        },
        9);
    if (!fetched.ok()) {
      logger().error("Time range fetch failed for chunk %s: %s", id, fetched.error().description().c_str());
    } else if (!fetched->empty()) {
      logger().debug("Fetched %ld messages by time range for chunk %s", long(fetched->size()), id);
      return conversationFor(candidate, std::move(fetched).value(), "timerange");
    }
  }
  if (cancellation.isCancelled()) return cancelled();
  std::vector<MessageSearchResult> synthetic = semantic_rules::createSyntheticResults(candidate);
  if (!synthetic.empty()) {
    logger().debug("Using %ld synthetic results from combinedText for chunk %s", long(synthetic.size()), id);
    return conversationFor(candidate, std::move(synthetic), "synthetic");
  }
  logger().error("All fallbacks failed for chunk %s - rowIDs: %ld, guids: %ld, chatGUID: %s", id,
                 long(m.messageRowIDs.size()), long(m.messageGUIDs.size()), m.chatGUID.c_str());
  TelemetryService::signal("MessageSearch.semanticConversationFallbacksFailed",
                           {{"chunkID", candidate.chunkID},
                            {"rowIDCount", std::to_string(m.messageRowIDs.size())},
                            {"guidCount", std::to_string(m.messageGUIDs.size())},
                            {"hasChatGUID", boolText(!m.chatGUID.empty())},
                            {"hasCombinedText", boolText(!m.combinedText.empty())}});
  return std::nullopt;
}

std::vector<MessageSearchResult> MessageSearchService::searchSemanticFallbackResults(
    const std::string& query, std::optional<int> limit, const CancellationToken& cancellation) {
  const int effective = std::min(limit.value_or(semantic_rules::kDefaultResultLimit), semantic_rules::kMaxResultLimit);
  std::vector<SemanticConversationResult> conversations = searchSemanticConversations(query, effective, cancellation);
  const std::vector<std::string> terms = semantic_rules::tokenizedTerms(query);
  std::vector<MessageSearchResult> out;
  for (const auto& conversation : conversations) {
    if (auto message = semantic_rules::representativeMessage(conversation, terms)) out.push_back(std::move(*message));
  }
  TelemetryService::signal(
      "MessageSearch.semanticFallbackResultsFound",
      {{"resultCount", std::to_string(out.size())}, {"requestedLimit", std::to_string(effective)}});
  return out;
}

}  // namespace pallix
