#include "tests/query/QueryTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/Strings.h"

namespace pallix::testing {

namespace {

std::string describeFilter(const Filter& filter) {
  if (filter.key != FilterKey::size) return std::string(filterKeyRawValue(filter.key)) + "=" + filter.value;
  const Comparison c = filter.comparison.value_or(Comparison::equal);
  const char* op = c == Comparison::greaterThan      ? ">"
                   : c == Comparison::lessThan       ? "<"
                   : c == Comparison::greaterOrEqual ? ">="
                   : c == Comparison::lessOrEqual    ? "<="
                                                     : "==";
  return std::string("size") + op + filter.value;
}

void appendList(std::string& out, char tag, const std::vector<std::string>& items) {
  if (items.empty()) return;
  if (!out.empty()) out += ' ';
  out += tag;
  out += '[' + joinStrings(items, "|") + ']';
}

std::string unescapeTabs(std::string cell) {
  for (size_t at = 0; (at = cell.find("\\t", at)) != std::string::npos; ++at) cell.replace(at, 2, "\t");
  return cell;
}

// Path of a file under tests/data/query.
std::string queryTestDataPath(const std::string& name) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root ? root : "tests/data") + "/query/" + name;
}

}  // namespace

std::vector<GoldenRow> readGoldenRows(const std::string& name) {
  std::ifstream in(queryTestDataPath(name));
  if (!in) throw std::runtime_error("cannot open golden file " + queryTestDataPath(name));
  std::vector<GoldenRow> rows;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    GoldenRow row;
    row.line = number;
    for (const std::string& cell : splitString(line, '\t')) row.columns.push_back(unescapeTabs(cell));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string describe(const ParsedQuery& query) {
  std::string out;
  appendList(out, 'T', query.textTerms);
  appendList(out, 'P', query.exactPhrases);
  std::vector<std::string> filters;
  for (const Filter& f : query.filters) filters.push_back(describeFilter(f));
  appendList(out, 'F', filters);
  std::vector<std::string> excluded;
  for (const Filter& f : query.excludedFilters) excluded.push_back(describeFilter(f));
  appendList(out, 'X', excluded);
  std::vector<std::string> regexes;
  for (const auto& r : query.regexes) regexes.push_back(r ? r->pattern() : "<null>");
  appendList(out, 'R', regexes);
  std::vector<std::string> problems;
  for (const QueryProblem& p : query.problems) problems.push_back(p.token);
  appendList(out, 'E', problems);
  if (query.itemType)
    appendList(out, 'I',
               {*query.itemType == IndexedItem::ItemType::app    ? "app"
                : *query.itemType == IndexedItem::ItemType::file ? "file"
                                                                 : "folder"});
  return out.empty() ? "EMPTY" : out;
}

}  // namespace pallix::testing
