#include "app/emoji/EmojiSearchService.h"

#include <algorithm>
#include <unordered_map>

#include "app/emoji/EmojiEntryCatalog.h"
#include "core/Strings.h"

namespace pallix {
namespace {

std::string_view trimAll(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
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
    std::string haystack = catalog_[i].lowercasedShortName;
    for (const std::string& keyword : catalog_[i].keywords) haystack += "\n" + keyword;
    haystacks_.push_back(std::move(haystack));
  }
  loaded_ = true;
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

  const bool singleToken = tokens.size() == 1 && tokens[0] == query;
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
    if (!characterMatch && haystacks_[i].find(query) == std::string::npos &&
        std::none_of(tokens.begin(), tokens.end(),
                     [&](const std::string& t) { return haystacks_[i].find(t) != std::string::npos; })) {
      continue;
    }
    int score = 0;
    bool matched = false;
    const std::string& name = entry.lowercasedShortName;
    // A one-word query is its own only token: one search answers both rules.
    const size_t inName = name.find(query);
    if (inName == 0) {
      score += 300;
      matched = true;
    } else if (inName != std::string::npos) {
      score += 200;
      matched = true;
    }
    for (const std::string& token : tokens) {
      if (singleToken ? inName != std::string::npos : name.find(token) != std::string::npos) {
        score += 60;
        matched = true;
      }
    }
    for (const std::string& keyword : entry.keywords) {
      const size_t at = keyword.find(query);
      if (at == 0) {
        score += 150;
        matched = true;
      } else if (at != std::string::npos) {
        score += 75;
        matched = true;
      }
      for (const std::string& token : tokens) {
        if (singleToken ? at != std::string::npos : keyword.find(token) != std::string::npos) {
          score += 40;
          matched = true;
        }
      }
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
    return catalog_[a.index].shortName < catalog_[b.index].shortName;
  });
  if (limit && *limit >= 0 && static_cast<size_t>(*limit) < scored.size()) scored.resize(static_cast<size_t>(*limit));
  std::vector<EmojiSearchMatch> matches;
  matches.reserve(scored.size());
  for (const Scored& s : scored) matches.push_back({catalog_[s.index], s.isRecent, s.score});
  applyTone(matches, preferredSkinTone);
  return matches;
}

}  // namespace pallix
