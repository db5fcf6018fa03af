// EmojiSearchService: scores the catalog's emoji against a query (short
// name, the words people use for it, keywords, the emoji itself) with the
// user's recent picks first. Every word of the query must match; each word
// scores by its best match: a whole annotation 400, a word of the name 300,
// a word of an annotation 250, the start of a name word 150 or of an
// annotation word 120, inside the name 60, the start of a keyword 40,
// inside one 20; a word of a name of at most two words adds 50 (it is what
// the emoji is: "red heart", "party popper"). The whole query as the name adds 500, as an annotation
// 400; the emoji itself 500. Ties keep the catalog's (Unicode's) order.
//
// Threading: one search at a time (the session runs it on its emoji worker);
// the catalog is loaded by the first search.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
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
  // The entries of the loaded catalog and the heap the catalog and its word lists hold (loads it first).
  std::pair<size_t, int64_t> footprint();

 private:
  void ensureCatalogLoadedIfNeeded();
  std::vector<EmojiSearchMatch> defaultMatches(const std::vector<std::string>& recents,
                                               std::optional<EmojiSkinTone> tone, std::optional<int> limit);

  CatalogLoader loader_;
  bool loaded_ = false;
  std::vector<EmojiEntry> catalog_;
  std::map<std::string, size_t> byID_;
  // Per entry: its searchable text (name, annotations, keywords; one per
  // line) and the words of its name and of its annotations.
  std::vector<std::string> haystacks_;
  std::vector<std::vector<std::string>> nameWords_;
  std::vector<std::vector<std::string>> annotationWords_;
};

}  // namespace pallix
