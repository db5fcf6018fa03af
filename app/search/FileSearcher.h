// FileSearcher: answers files-mode queries against the catalog. A ParsedQuery
// becomes one store query (item type, name containment and every filter the
// store can evaluate), bounded by an over-fetch of 2 or 3 times the limit; the
// fetched records are filtered again in memory (regular expressions, exact
// phrases and the rest), scored and stably sorted.
//
// Name containment is case- and diacritic-insensitive: stored searchNames and
// the query are folded with foldForSearch, and a name typed with its
// extension ("report.pdf") matches too. It is answered by "IndexedItemNameIndex",
// an FTS5 trigram index over the folded "name.extension" that triggers keep
// in step with the IndexedItem table, so a query costs index lookups rather
// than a scan. Queries of one or two characters scan the first rows and, when
// those do not fill the fetch, search the indexed trigrams that start with
// the text; both give the rows a full scan would.
//
// Stateless: every call runs on the caller's thread with the caller's
// connection (the persistent store's, used by one thread at a time). The
// first search on a connection registers the SQL function pallix_lowercase
// (Unicode lowercase) on it, used by the folder and app filters.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/IndexedItem.h"
#include "app/search/QueryParser.h"
#include "core/Error.h"

namespace pallix {

// Thresholds of the one- and two-character query plan; tests shrink them to
// drive every branch on a small catalog.
struct FileSearchTuning {
  // Rows scanned first, in row order, before turning to the name index.
  int64_t shortQueryScanRows = 20000;
  // Above this many trigrams starting with the text, the rest is a full scan.
  int maxShortQueryTrigrams = 1024;
};

class FileSearcher {
 public:
  using SearchResult = FileSearchResult;
  using MatchType = FileMatchType;

  static constexpr const char* kErrorDomain = "FileSearcherError";
  // Without text terms (and without exact phrases) at most this many results.
  static constexpr int kFilterOnlyLimit = 100;

  // The best `limit` records for `query`, best first. `context` supplies now,
  // the calendar and the time zone for date filters and the recency bonus.
  // Fails with the store's error.
  static Result<std::vector<SearchResult>> search(sqlite3* db, const ParsedQuery& query, int limit,
                                                  const DateContext& context, const FileSearchTuning& tuning = {});

  // The in-memory filter pass over a fetched record.
  static bool matchesAllFilters(const IndexedItem& item, const ParsedQuery& query, const DateContext& context);
  // One filter against one record (values compared lowercased).
  static bool matchesFilter(const IndexedItem& item, const Filter& filter, const DateContext& context);
  // Relevance in [0, 1] and match type of `item` for the joined text terms.
  static std::pair<float, MatchType> calculateScore(const IndexedItem& item, std::string_view searchText,
                                                    const ParsedQuery& query, const DateContext& context);
};

}  // namespace pallix
