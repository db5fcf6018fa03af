// FileSearchResult: one files-mode result (a catalog record, its relevance in
// [0, 1] and how it matched). Results are identified by the record's path.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/search/IndexedItem.h"
#include "app/search/MatchReason.h"

namespace pallix {

// `semantic` is produced only when semantic matches are merged in.
enum class FileMatchType { exact, prefix, substring, filterOnly, semantic };

inline const char* fileMatchTypeRawValue(FileMatchType type) {
  switch (type) {
    case FileMatchType::exact:
      return "exact";
    case FileMatchType::prefix:
      return "prefix";
    case FileMatchType::substring:
      return "substring";
    case FileMatchType::filterOnly:
      return "filterOnly";
    case FileMatchType::semantic:
      return "semantic";
  }
  return "filterOnly";
}

struct FileSearchResult {
  IndexedItem item;
  float relevanceScore = 0;
  FileMatchType matchType = FileMatchType::filterOnly;
  // What the panel and the commands show of how it matched.
  MatchReason why;
};

// Said when a query without words was held to fewer results than asked for:
// `shown` of `matches` matching records (counted up to a bound, so "at least"
// when `matchesIsLowerBound`).
struct FileSearchCut {
  int shown = 0;
  int64_t matches = 0;
  bool matchesIsLowerBound = false;
};

// The results of one search, best first, and whether the filter-only cap cut them.
struct FileSearchPage {
  std::vector<FileSearchResult> results;
  std::optional<FileSearchCut> cut;
};

}  // namespace pallix
