// MessageSemanticRules: the pure rules of semantic conversation search and
// of how the search session combines it with the text search: which stored
// chunks become candidates, how a chunk whose messages are gone is shown
// from its stored text, which message represents a conversation, when the
// text results are augmented with semantic ones, and how the two lists
// merge. No I/O, no state; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/messages/MessageRecords.h"
#include "app/semantic/MessageEmbeddingStore.h"

namespace pallix {

// One conversation found by meaning, with the real messages of its chunk.
struct SemanticConversationResult {
  std::string chunkID;
  float similarity = 0;
  std::string chatGUID;
  std::optional<std::string> chatDisplayName;
  std::vector<MessageSearchResult> messages;
  // How the messages were found: "rowid_batch", "rowid", "guid",
  // "timerange", "synthetic" or "cancelled".
  std::string fallbackMethod;
};

namespace semantic_rules {

inline constexpr int kDefaultResultLimit = 10;
inline constexpr int kMaxResultLimit = 50;
inline constexpr int kCandidateMultiplier = 6;
inline constexpr int kCandidateCap = 120;
inline constexpr int kFallbackExpansion = 3;
inline constexpr int kMaxConversationsPerChat = 2;
inline constexpr float kSimilarityFloor = 0.18f;
inline constexpr float kSimilarityDropTolerance = 0.22f;
inline constexpr size_t kMergeLimit = 10;
inline constexpr size_t kAugmentationTextResultLimit = 7;

// min(limit, 50), at least 1.
int effectiveLimit(int limit);
// min(effectiveLimit(limit) × 6, 120).
int candidateCount(int limit);
// max(top similarity − 0.22, 0.18).
float similarityThreshold(float topSimilarity);

// A small, diverse set of at most `limit` chunks from `results` (most similar
// first): above the threshold, at most 2 per conversation; topped up below
// the threshold to 3 (or the limit when it is 2 or less); the best one when
// nothing else qualifies.
std::vector<MessageChunkSearchResult> selectSemanticCandidates(const std::vector<MessageChunkSearchResult>& results,
                                                               int limit);

// Messages made from a chunk's stored transcript ("speaker: text" lines),
// with negative identifiers and GUIDs beginning with "synthetic".
std::vector<MessageSearchResult> createSyntheticResults(const MessageChunkSearchResult& chunk);
// The conversation's display name as its transcript's title line gives it
// (none for "Conversation with ..." titles).
std::optional<std::string> displayNameFromTranscript(std::string_view combinedText);

// The lower-cased query split on characters that are not letters or digits,
// words of 2 or more characters that are not stop words.
std::vector<std::string> tokenizedTerms(std::string_view query);
bool isStopWord(std::string_view word);
// The message whose text contains the most terms (the first of equals; the
// first message when none contains any). nullopt for no messages.
std::optional<MessageSearchResult> representativeMessage(const SemanticConversationResult& conversation,
                                                         const std::vector<std::string>& terms);

// Whether the session adds semantic results to `textResultCount` text results.
bool shouldRunSemanticAugmentation(std::string_view query, size_t textResultCount);
// Text results first, then semantic ones whose positive ROWID or GUID was not
// seen, at most `limit` in all.
std::vector<MessageSearchResult> mergeTextAndSemanticResults(const std::vector<MessageSearchResult>& text,
                                                             const std::vector<MessageSearchResult>& semantic,
                                                             size_t limit = kMergeLimit);

}  // namespace semantic_rules
}  // namespace pallix
