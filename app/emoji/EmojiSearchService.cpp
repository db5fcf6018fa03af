#include "app/emoji/EmojiSearchService.h"

#include <algorithm>
#include <unordered_map>

#include "app/emoji/EmojiEntryCatalog.h"
#include "core/HeapSize.h"
#include "core/Strings.h"

namespace pallix {
namespace {

std::string_view trimAll(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

bool startsWithText(const std::string& word, const std::string& prefix) {
  return word.size() >= prefix.size() && word.compare(0, prefix.size(), prefix) == 0;
}

// How well one query word matches an entry: its best match (see the header).
int wordScore(const std::string& token, const EmojiEntry& entry, const std::vector<std::string>& nameWords,
              const std::vector<std::string>& annotationWords) {
  auto any = [&](const std::vector<std::string>& words, auto matches) {
    return std::any_of(words.begin(), words.end(), matches);
  };
  auto equal = [&](const std::string& w) { return w == token; };
  auto prefix = [&](const std::string& w) { return startsWithText(w, token); };
  // A word of a short name ("red heart", "party popper") is what the emoji is.
  const int central = nameWords.size() <= 2 && any(nameWords, equal) ? 50 : 0;
  if (any(entry.annotations, equal)) return 400 + central;
  if (any(nameWords, equal)) return 300 + central;
  if (any(annotationWords, equal)) return 250;
  if (any(nameWords, prefix)) return 150;
  if (any(annotationWords, prefix)) return 120;
  if (entry.lowercasedShortName.find(token) != std::string::npos) return 60;
  if (any(entry.keywords, prefix)) return 40;
  if (any(entry.keywords, [&](const std::string& w) { return w.find(token) != std::string::npos; })) return 20;
  return 0;
}

void applyTone(std::vector<EmojiSearchMatch>& matches, std::optional<EmojiSkinTone> tone) {
  if (!tone) return;
  for (EmojiSearchMatch& m : matches) m.entry = m.entry.withPreferredSkinTone(tone);
}

}  // namespace

EmojiSearchService::EmojiSearchService(CatalogLoader catalogLoader) : loader_(std::move(catalogLoader)) {}

void EmojiSearchService::ensureCatalogLoadedIfNeeded() {
  if (loaded_) return;
  catalog_ = loader_ ? loader_() : EmojiEntryCatalog::defaultCatalog();
  for (size_t i = 0; i < catalog_.size(); ++i) {
    byID_.emplace(catalog_[i].id, i);
    const EmojiEntry& entry = catalog_[i];
    std::string haystack = entry.lowercasedShortName;
    for (const std::string& annotation : entry.annotations) haystack += "\n" + annotation;
    for (const std::string& keyword : entry.keywords) haystack += "\n" + keyword;
    haystacks_.push_back(std::move(haystack));
    nameWords_.push_back(tokenizeEmojiText(entry.lowercasedShortName));
    std::vector<std::string> words;
    for (const std::string& annotation : entry.annotations) {
      for (std::string& word : tokenizeEmojiText(annotation)) words.push_back(std::move(word));
    }
    annotationWords_.push_back(std::move(words));
  }
  loaded_ = true;
}

std::pair<size_t, int64_t> EmojiSearchService::footprint() {
  ensureCatalogLoadedIfNeeded();
  int64_t bytes = heapBytes(catalog_) + heapBytes(haystacks_) + heapBytes(nameWords_) + heapBytes(annotationWords_);
  for (const EmojiEntry& e : catalog_) {
    for (const std::string* text :
         {&e.id, &e.character, &e.shortName, &e.category, &e.subcategory, &e.baseCharacter, &e.lowercasedShortName}) {
      bytes += heapBytes(*text);
    }
    bytes += heapBytes(e.keywords) + heapBytes(e.annotations) + heapBytes(e.skinToneVariants);
  }
  bytes += heapBytes(byID_);
  return {catalog_.size(), bytes};
}

const std::vector<EmojiEntry>& EmojiSearchService::catalog() {
  ensureCatalogLoadedIfNeeded();
  return catalog_;
}

std::optional<EmojiEntry> EmojiSearchService::entryFor(const std::string& idOrCharacter) {
  ensureCatalogLoadedIfNeeded();
  const std::string base = removeSkinToneScalars(idOrCharacter);
  if (auto it = byID_.find(base); it != byID_.end()) return catalog_[it->second];
  return std::nullopt;
}

std::vector<EmojiSearchMatch> EmojiSearchService::defaultMatches(const std::vector<std::string>& recents,
                                                                 std::optional<EmojiSkinTone> tone,
                                                                 std::optional<int> limit) {
  const size_t cap = limit && *limit >= 0 ? static_cast<size_t>(*limit) : catalog_.size() + recents.size();
  std::vector<EmojiSearchMatch> matches;
  std::vector<bool> present(catalog_.size(), false);
  for (size_t p = 0; p < recents.size() && matches.size() < cap; ++p) {
    auto it = byID_.find(recents[p]);
    if (it == byID_.end() || present[it->second]) continue;
    present[it->second] = true;
    matches.push_back({catalog_[it->second], true, std::max(0, 300 - 5 * static_cast<int>(p))});
  }
  for (size_t i = 0; i < catalog_.size() && matches.size() < cap; ++i) {
    if (!present[i]) matches.push_back({catalog_[i], false, 0});
  }
  applyTone(matches, tone);
  return matches;
}

std::vector<EmojiSearchMatch> EmojiSearchService::search(const std::string& rawQuery,
                                                         const std::vector<std::string>& recentIdentifiers,
                                                         std::optional<EmojiSkinTone> preferredSkinTone,
                                                         std::optional<int> limit) {
  ensureCatalogLoadedIfNeeded();
  const std::string typed(trimAll(rawQuery));
  const std::string query = lowercaseEmojiText(typed);
  const std::string withoutTones = removeSkinToneScalars(query);
  if (query.empty()) return defaultMatches(recentIdentifiers, preferredSkinTone, limit);
  std::unordered_map<std::string, int> recentPosition;
  for (size_t p = 0; p < recentIdentifiers.size(); ++p) {
    recentPosition.try_emplace(recentIdentifiers[p], static_cast<int>(p));
  }
  std::vector<std::string> tokens;
  for (std::string& t : splitString(query, ' ')) {
    if (!t.empty()) tokens.push_back(std::move(t));
  }

  struct Scored {
    size_t index;
    int score;
    bool isRecent;
  };
  std::vector<Scored> scored;
  for (size_t i = 0; i < catalog_.size(); ++i) {
    const EmojiEntry& entry = catalog_[i];
    // Most entries contain neither the query nor any of its words: one
    // search of all their text rules them out.
    const bool characterMatch = entry.character == typed || entry.baseCharacter == withoutTones;
    if (!characterMatch && std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) {
          return haystacks_[i].find(t) == std::string::npos;
        })) {
      continue;
    }
    int score = 0;
    bool matched = true;
    for (const std::string& token : tokens) {
      const int best = wordScore(token, entry, nameWords_[i], annotationWords_[i]);
      if (best == 0) matched = false;
      score += best;
    }
    if (entry.lowercasedShortName == query) score += 500;
    if (tokens.size() > 1 &&
        std::find(entry.annotations.begin(), entry.annotations.end(), query) != entry.annotations.end()) {
      score += 400;
    }
    if (characterMatch) {
      score += 500;
      matched = true;
    }
    if (!matched) continue;
    bool isRecent = false;
    if (auto it = recentPosition.find(entry.id); it != recentPosition.end()) {
      score += std::max(0, 200 - 5 * it->second);
      isRecent = true;
    }
    scored.push_back({i, score, isRecent});
  }
  std::stable_sort(scored.begin(), scored.end(), [&](const Scored& a, const Scored& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.isRecent != b.isRecent) return a.isRecent;
    return a.index < b.index;
  });
  if (limit && *limit >= 0 && static_cast<size_t>(*limit) < scored.size()) scored.resize(static_cast<size_t>(*limit));
  std::vector<EmojiSearchMatch> matches;
  matches.reserve(scored.size());
  for (const Scored& s : scored) matches.push_back({catalog_[s.index], s.isRecent, s.score});
  applyTone(matches, preferredSkinTone);
  return matches;
}

}  // namespace pallix
