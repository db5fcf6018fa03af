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

bool closeTo(double actual, double expected) {
  return actual == expected || std::fabs(actual - expected) <= 1e-12 * std::max(std::fabs(actual), std::fabs(expected));
}

TEST(CalculatorGoldenTest, AnswersMatchTheTable) {
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  const char* root = std::getenv("PALLIX_TEST_DATA");
  const std::string path = std::string(root ? root : "tests/data") + "/calculator/golden.tsv";
  std::ifstream in(path);
  ASSERT_TRUE(in.good()) << "cannot open " << path;
  int rows = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    ++rows;
    const std::vector<std::string> columns = splitString(line, '\t');
    SCOPED_TRACE("golden.tsv line " + std::to_string(number) + ": " + columns[0]);
    ASSERT_GE(columns.size(), 3u);
    EXPECT_EQ(calculator.shouldHandle(columns[0]), columns[1] == "yes");
    std::optional<CalculatorResult> result = calculator.calculate(columns[0]);
    if (columns[2] == "none") {
      EXPECT_FALSE(result.has_value()) << "unexpected answer " << result->formattedValue;
      continue;
    }
    ASSERT_EQ(columns.size(), 5u);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(closeTo(result->value, std::strtod(columns[2].c_str(), nullptr)))
        << "value " << stringPrintf("%.17g", result->value);
    EXPECT_EQ(result->formattedValue, columns[3]);
    if (columns[4] == "-") {
      EXPECT_FALSE(result->detail.has_value()) << *result->detail;
    } else {
      EXPECT_EQ(result->detail.value_or("<none>"), columns[4]);
    }
  }
  EXPECT_GE(rows, 50);
}

}  // namespace
}  // namespace pallix
