// The calculator's answers for a table of texts (tests/data/calculator/golden.tsv):
// the pre-test verdict, the value, the formatted value and the detail, in en_US.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/sources/CalculatorDataSource.h"
#include "core/Strings.h"

namespace pallix {
namespace {

struct GoldenRow {
  int line = 0;
  std::vector<std::string> columns;
};

std::vector<GoldenRow> readGoldenRows(const std::string& name) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  std::string path = std::string(root ? root : "tests/data") + "/calculator/" + name;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::vector<GoldenRow> rows;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    rows.push_back(GoldenRow{number, splitString(line, '\t')});
  }
  return rows;
}

bool closeTo(double actual, double expected) {
  if (actual == expected) return true;
  return std::fabs(actual - expected) <= 1e-12 * std::max(std::fabs(actual), std::fabs(expected));
}

TEST(CalculatorGoldenTest, AnswersMatchTheTable) {
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  const auto rows = readGoldenRows("golden.tsv");
  ASSERT_GE(rows.size(), 50u);
  for (const GoldenRow& row : rows) {
    SCOPED_TRACE("golden.tsv line " + std::to_string(row.line) + ": " + row.columns[0]);
    ASSERT_GE(row.columns.size(), 3u);
    const std::string& text = row.columns[0];
    EXPECT_EQ(calculator.shouldHandle(text), row.columns[1] == "yes");

    std::optional<CalculatorResult> result = calculator.calculate(text);
    if (row.columns[2] == "none") {
      EXPECT_FALSE(result.has_value()) << "unexpected answer " << result->formattedValue;
      continue;
    }
    ASSERT_EQ(row.columns.size(), 5u);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(closeTo(result->value, std::strtod(row.columns[2].c_str(), nullptr)))
        << "value " << stringPrintf("%.17g", result->value);
    EXPECT_EQ(result->formattedValue, row.columns[3]);
    if (row.columns[4] == "-") {
      EXPECT_FALSE(result->detail.has_value()) << *result->detail;
    } else {
      EXPECT_EQ(result->detail.value_or("<none>"), row.columns[4]);
    }
  }
}

}  // namespace
}  // namespace pallix
