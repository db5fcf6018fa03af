#include "app/messages/MessageSemanticRules.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <unordered_set>

#include "app/messages/MessageText.h"
#include "core/Strings.h"

namespace pallix::semantic_rules {
namespace {

constexpr std::array<std::string_view, 29> kStopWords = {
    "a",  "an", "and", "are",  "at",  "be",   "for", "from", "how",  "i",    "in",    "is",  "it",  "me",  "my",
    "of", "on", "or",  "that", "the", "this", "to",  "was",  "what", "when", "where", "who", "why", "with"};

constexpr size_t kMaxSpeakerCharacters = 30;
constexpr const char* kConversationWith = "Conversation with ";

bool isWordByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

int effectiveLimit(int limit) {
  return std::clamp(limit, 1, kMaxResultLimit);
}

int candidateCount(int limit) {
  return std::min(effectiveLimit(limit) * kCandidateMultiplier, kCandidateCap);
}

float similarityThreshold(float topSimilarity) {
  return std::max(topSimilarity - kSimilarityDropTolerance, kSimilarityFloor);
}

std::vector<MessageChunkSearchResult> selectSemanticCandidates(const std::vector<MessageChunkSearchResult>& results,
                                                               int limit) {
  if (results.empty()) return {};
  std::vector<const MessageChunkSearchResult*> ordered;
  for (const auto& r : results) ordered.push_back(&r);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto* a, const auto* b) { return a->similarity > b->similarity; });
  const size_t target = size_t(std::max(limit, 1));
  const size_t minimum = limit < 1 ? 1 : (limit > 2 ? 3 : size_t(limit));
  const float threshold = similarityThreshold(ordered.front()->similarity);

  std::vector<MessageChunkSearchResult> taken;
  std::set<std::string> takenIDs;
  std::map<std::string, int> perChat;
  auto take = [&](const MessageChunkSearchResult& r) {
    if (takenIDs.count(r.chunkID)) return;
    const std::string& chat = r.metadata.chatGUID;
    if (!chat.empty() && perChat[chat] >= kMaxConversationsPerChat) return;
    takenIDs.insert(r.chunkID);
    if (!chat.empty()) ++perChat[chat];
    taken.push_back(r);
  };
  for (const auto* r : ordered) {
    if (taken.size() >= target || r->similarity < threshold) break;
    take(*r);
  }
  if (taken.size() < minimum) {
    for (const auto* r : ordered) {
      if (taken.size() >= minimum || taken.size() >= target) break;
      take(*r);
    }
  }
  if (taken.empty()) taken.push_back(*ordered.front());
  return taken;
}

std::optional<std::string> displayNameFromTranscript(std::string_view combinedText) {
  std::string_view title = combinedText.substr(0, combinedText.find('\n'));
  title = trimWhitespaceAndNewlines(title);
  if (title.empty() || title.back() != ':') return std::nullopt;
  title.remove_suffix(1);
  if (title.empty() || title.substr(0, std::string_view(kConversationWith).size()) == kConversationWith) {
    return std::nullopt;
  }
  return std::string(title);
}

std::vector<MessageSearchResult> createSyntheticResults(const MessageChunkSearchResult& chunk) {
  const MessageChunkMetadata& m = chunk.metadata;
  const std::optional<std::string> displayName = displayNameFromTranscript(m.combinedText);
  struct Line {
    std::string speaker, text;
  };
  std::vector<Line> parsed;
  for (std::string_view raw : lines(m.combinedText)) {
    std::string_view line = trimWhitespaceAndNewlines(raw);
    if (line.empty() || line.back() == ':') continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view speaker = trimWhitespaceAndNewlines(line.substr(0, colon));
    if (speaker.empty() || characterCount(speaker) >= kMaxSpeakerCharacters) continue;
    auto text = sanitizeExtractedText(line.substr(colon + 1));
    if (!text) continue;
    parsed.push_back({std::string(speaker), std::move(*text)});
  }
  auto make = [&](size_t index, size_t count) {
    MessageSearchResult r;
    r.id = -int64_t(index + 1);
    r.guid = "synthetic-" + chunk.chunkID + "-" + std::to_string(index);
    // Spread evenly over the chunk's span, so the order reads as written.
    const double span = std::max(0.0, m.endDate - m.startDate);
    const double offset = count > 1 ? span * double(index) / double(count - 1) : 0;
    r.date = dateFromSecondsSince1970(m.startDate + offset);
    r.chatGUID = m.chatGUID;
    r.chatDisplayName = displayName;
    return r;
  };
  std::vector<MessageSearchResult> out;
  for (size_t i = 0; i < parsed.size(); ++i) {
    MessageSearchResult r = make(i, parsed.size());
    r.isFromMe = parsed[i].speaker == "Me";
    r.senderIdentifier = r.isFromMe ? "Me" : parsed[i].speaker;
    if (!r.isFromMe) r.senderDisplayName = parsed[i].speaker;
    r.text = std::move(parsed[i].text);
    out.push_back(std::move(r));
  }
  if (!out.empty()) return out;
  auto whole = sanitizeExtractedText(m.combinedText);
  if (!whole) return {};
  MessageSearchResult r = make(0, 1);
  r.senderIdentifier = "Unknown";
  r.text = std::move(*whole);
  if (!r.chatDisplayName) r.chatDisplayName = "Conversation";
  out.push_back(std::move(r));
  return out;
}

bool isStopWord(std::string_view word) {
  return std::find(kStopWords.begin(), kStopWords.end(), word) != kStopWords.end();
}

std::vector<std::string> tokenizedTerms(std::string_view query) {
  std::vector<std::string> terms;
  std::string current;
  auto flush = [&] {
    if (characterCount(current) >= 2 && !isStopWord(current)) terms.push_back(current);
    current.clear();
  };
  for (unsigned char c : asciiLowercase(query)) {
    if (isWordByte(c)) {
      current.push_back(char(c));
    } else {
      flush();
    }
  }
  flush();
  return terms;
}

std::optional<MessageSearchResult> representativeMessage(const SemanticConversationResult& conversation,
                                                         const std::vector<std::string>& terms) {
  if (conversation.messages.empty()) return std::nullopt;
  const MessageSearchResult* best = &conversation.messages.front();
  size_t bestCount = 0;
  for (const MessageSearchResult& message : conversation.messages) {
    const std::string text = asciiLowercase(sanitizeExtractedText(message.text).value_or(""));
    size_t count = 0;
    for (const std::string& term : terms) count += text.find(term) != std::string::npos;
    if (count > bestCount) {
      best = &message;
      bestCount = count;
    }
  }
  return *best;
}

bool shouldRunSemanticAugmentation(std::string_view query, size_t textResultCount) {
  std::string_view trimmed = trimWhitespaceAndNewlines(query);
  if (trimmed.empty()) return false;
  if (textResultCount <= kAugmentationTextResultLimit) return true;
  const std::string lower = asciiLowercase(trimmed);
  if (lower.find('?') != std::string::npos) return true;
  for (std::string_view prefix : {"who ", "what ", "when ", "where ", "why ", "how "}) {
    if (lower.compare(0, prefix.size(), prefix) == 0) return true;
  }
  size_t words = 0;
  bool inWord = false;
  for (char c : lower) {
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (!space && !inWord) ++words;
    inWord = !space;
  }
  return words > 3;
}

std::vector<MessageSearchResult> mergeTextAndSemanticResults(const std::vector<MessageSearchResult>& text,
                                                             const std::vector<MessageSearchResult>& semantic,
                                                             size_t limit) {
  std::vector<MessageSearchResult> merged;
  std::unordered_set<int64_t> rowIDs;
  std::unordered_set<std::string> keys;
  for (const MessageSearchResult& r : text) {
    if (merged.size() >= limit) break;
    if (r.id > 0) rowIDs.insert(r.id);
    keys.insert(r.guid);
    merged.push_back(r);
  }
  for (const MessageSearchResult& r : semantic) {
    if (merged.size() >= limit) break;
    if ((r.id > 0 && rowIDs.count(r.id)) || keys.count(r.guid)) continue;
    if (r.id > 0) rowIDs.insert(r.id);
    keys.insert(r.guid);
    merged.push_back(r);
  }
  return merged;
}

}  // namespace pallix::semantic_rules
