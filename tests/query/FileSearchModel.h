// A brute-force model of files-mode search for the FileSearcher tests: every
// rule written out plainly and applied to every row, then a stable sort.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/QueryParser.h"

namespace pallix::testing {

// A catalog row with the texts the rules compare, folded once.
struct ModelRow {
  IndexedItem item;
  std::string name, nameWithExtension, pathLower, pathCaseFolded, bundleLower;
};
ModelRow modelRow(const IndexedItem& item);

struct ModelResult {
  std::string path;
  float score;
  FileMatchType type;
  std::optional<double> modified;
  bool exactWithoutExtension = false;  // An exact match of the name only; after one of the full name.
};

// Filters and scores every row (in id order), then stable-sorts by score,
// match tier and modification date (newest first, undated last).
std::vector<ModelResult> modelSearch(const std::vector<ModelRow>& rows, const ParsedQuery& query, int limit,
                                     const DateContext& context);

}  // namespace pallix::testing
