// EmojiSearchService: scores the catalog's emoji against a query (short
// name, keywords, the emoji itself) with the user's recent picks first.
//
// Threading: one search at a time (the session runs it on its emoji worker);
// the catalog is loaded by the first search.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/emoji/EmojiEntry.h"

namespace pallix {

class EmojiSearchService {
 public:
  using CatalogLoader = std::function<std::vector<EmojiEntry>()>;
  // The loader defaults to EmojiEntryCatalog::defaultCatalog().
  explicit EmojiSearchService(CatalogLoader catalogLoader = nullptr);

  std::vector<EmojiSearchMatch> search(const std::string& query, const std::vector<std::string>& recentIdentifiers,
                                       std::optional<EmojiSkinTone> preferredSkinTone = std::nullopt,
                                       std::optional<int> limit = std::nullopt);
  const std::vector<EmojiEntry>& catalog();
  // The entry with this id, or whose character (any tone) is `text`.
  std::optional<EmojiEntry> entryFor(const std::string& idOrCharacter);

 private:
  void ensureCatalogLoadedIfNeeded();
  std::vector<EmojiSearchMatch> defaultMatches(const std::vector<std::string>& recents,
                                               std::optional<EmojiSkinTone> tone, std::optional<int> limit);

  CatalogLoader loader_;
  bool loaded_ = false;
  std::vector<EmojiEntry> catalog_;
  std::map<std::string, size_t> byID_;
  std::vector<std::string> haystacks_;  // short name and keywords of each entry, one per line
};

}  // namespace pallix
