// Helpers shared by the query tests: test-data paths and a compact,
// canonical description of a ParsedQuery for golden tables.
#pragma once

#include <string>
#include <vector>

#include "app/search/QueryParser.h"

namespace pallix::testing {

struct GoldenRow {
  int line = 0;
  std::vector<std::string> columns;
};
// The tab-separated rows of a golden file; "#" lines and blank lines are
// skipped, "\t" in a cell stands for a tab.
std::vector<GoldenRow> readGoldenRows(const std::string& name);

// T[terms] P[phrases] F[filters] X[excluded] R[regexes] E[tokens with problems]
// I[item type], or EMPTY.
std::string describe(const ParsedQuery& query);

}  // namespace pallix::testing
