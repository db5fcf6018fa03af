// FileSearcher: answers files-mode queries against the catalog, best first.
// A ParsedQuery becomes store queries that evaluate every constraint (item
// type, name rules, filters, excluded filters, exact phrases, regular
// expressions), so the rows the store returns are the answer: no bounded
// fetch filtered afterwards can miss a better match.
//
// Equal scores are ordered by how the name matched, then modification date
// (newest first, undated last), then row order; FileSearchPlan.h says how
// the answer is read without visiting every match.
//
// Name matching is case- and diacritic-insensitive: stored searchNames and
// the query are folded with foldForSearch. The text's first occurrence in
// "name.extension" must start inside the name: "report.pdf" is an exact
// match, "pdf" alone does not find every PDF (ext:pdf does). Matches come
// from "IndexedItemNameIndex", an FTS5 trigram index over the folded
// "name.extension" plus two U+0001 sentinels: "^" phrases find names that
// start with the text, phrases ending in the sentinels whole names, and one-
// and two-character texts are spelled as the indexed trigrams that start with
// them.
//
// Stateless: every call runs on the caller's thread with the caller's
// connection (the persistent store's, used by one thread at a time). The
// first search on a connection registers the SQL functions of
// FileSearchSql.h on it.
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

// Thresholds of the query plans; tests shrink them to drive every branch on
// a small catalog.
struct FileSearchTuning {
  // When at most this many records can match, all are read and ordered in
  // memory.
  int64_t fewCandidateRows = 2000;
  // Otherwise a tier (exact, prefix, substring) with at most this many
  // records is read whole; a larger one newest first through the date index.
  int64_t tierCandidateRows = 2000;
  // Reading a tier newest first stops after this many SQLite instructions
  // (its matches are too sparse among the newest records); the tier is then
  // read whole.
  int dateReadInstructions = 600000;
  // Above this many trigrams starting with a one- or two-character text, a
  // scan replaces the name index.
  int maxShortQueryTrigrams = 1024;
};

class FileSearcher {
 public:
  using SearchResult = FileSearchResult;
  using MatchType = FileMatchType;

  // Queries that cannot be answered as typed fail in this domain with these
  // codes; store failures keep the store's domain.
  static constexpr const char* kErrorDomain = "FileSearcherError";
  static constexpr int kInvalidQuery = 1;     // A token the parser could not use (see ParsedQuery::problems).
  static constexpr int kEmptyQuery = 2;       // Nothing to search for: it would list every file.
  static constexpr int kQueryTooComplex = 3;  // More conditions than one store query holds.

  // Without text terms (and without exact phrases) at most this many results.
  static constexpr int kFilterOnlyLimit = 100;
  // Filters, extensions of ext: lists, phrases and regular expressions of one
  // query, far below SQLite's expression depth.
  static constexpr size_t kMaxQueryConditions = 64;
  // Matching records are counted up to this many when the cap cuts results.
  static constexpr int64_t kMatchCountBound = 10000;

  // The best `limit` records for `query`, best first. `context` supplies now,
  // the calendar and the time zone for date filters and the recency bonus.
  // Fails in kErrorDomain for a query validate() refuses, else with the
  // store's error.
  static Result<std::vector<SearchResult>> search(sqlite3* db, const ParsedQuery& query, int limit,
                                                  const DateContext& context, const FileSearchTuning& tuning = {});
  // search() and whether the filter-only cap cut the results.
  static Result<FileSearchPage> searchPage(sqlite3* db, const ParsedQuery& query, int limit, const DateContext& context,
                                           const FileSearchTuning& tuning = {});
  // Refuses a query with parse problems, one with nothing to search for, and
  // one with more than kMaxQueryConditions conditions, saying why.
  static Status validate(const ParsedQuery& query);

  // The query's constraints applied to one record in memory (search applies
  // the same rules in the store).
  static bool matchesAllFilters(const IndexedItem& item, const ParsedQuery& query, const DateContext& context);
  // One filter against one record (values compared lowercased).
  static bool matchesFilter(const IndexedItem& item, const Filter& filter, const DateContext& context);
  // Relevance in [0, 1] and match type of `item` for the joined text terms.
  static std::pair<float, MatchType> calculateScore(const IndexedItem& item, std::string_view searchText,
                                                    const ParsedQuery& query, const DateContext& context);
};

}  // namespace pallix
