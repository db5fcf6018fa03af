// The expression evaluator: number literals, edge cases of precedence,
// associativity, unary minus and percent, and an oracle test against an
// independent recursive-descent evaluator on random expressions (which, with
// the golden table and the fuzz tests, pins the tokens and their order).
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "app/calculator/CalculatorEvaluator.h"
#include "tests/calculator/ExpressionOracle.h"

namespace pallix::calculator {
namespace {

// Literals are read whole or not at all: thousands groups of three, one ".", an exponent only with digits.
TEST(CalculatorNumberLiteralTest, ReadsWholeLiteralsOrNothing) {
  using Status = NumberLiteral::Status;
  const struct {
    const char32_t* text;
    Status status;
    double value;
    size_t length;
  } cases[] = {
      {U"1e3", Status::ok, 1000, 3},
      {U"2.5E-3", Status::ok, 0.0025, 6},
      {U"4e+1", Status::ok, 40, 4},
      {U".5e1", Status::ok, 5, 4},
      {U"5.", Status::ok, 5, 2},
      {U"1,000.5", Status::ok, 1000.5, 7},
      {U"12,345,678", Status::ok, 12345678, 10},
      {U"5eur", Status::ok, 5, 1},
      {U"2e-", Status::ok, 2, 1},
      {U"1,000, 2", Status::ok, 1000, 5},
      {U"1e3e4", Status::ok, 1000, 3},
      {U".", Status::malformed, 0, 0},
      {U"1.2.3", Status::malformed, 0, 0},
      {U"..5", Status::malformed, 0, 0},
      {U"1e3.5", Status::malformed, 0, 0},
      {U"1,2", Status::malformed, 0, 0},
      {U"1234,567", Status::malformed, 0, 0},
      {U"1,0000", Status::malformed, 0, 0},
      {U"1e400", Status::outOfRange, 0, 0},
      {U"1e-400", Status::outOfRange, 0, 0},
      {U"2e-310", Status::outOfRange, 0, 0},
  };
  for (const auto& c : cases) {
    const NumberLiteral literal = readNumberLiteral(c.text, 0);
    SCOPED_TRACE(std::u32string_view(c.text).size());
    EXPECT_EQ(literal.status, c.status);
    if (c.status != Status::ok) continue;
    EXPECT_DOUBLE_EQ(literal.value, c.value);
    EXPECT_EQ(literal.length, c.length);
  }
}

TEST(CalculatorEvaluatorTest, ValuesAndEdgeCases) {
  // Precedence; left-associative binary operators, right-associative unary minus; percent; trailing operators;
  // scientific notation read, never split into its digits.
  const struct {
    const char* text;
    double value;
  } exact[] = {
      {"2+3*4", 14},     {"2*3+4", 10},      {"(2+3)*4", 20}, {"2+12/4-1", 4}, {"-2*3", -6},     {"2*-3", -6},
      {"-2+5", 3},       {"2*-3*4", -24},    {"10-2-3", 5},   {"100/10/2", 5}, {"2-3+4", 3},     {"12/3*2", 8},
      {"--5", 5},        {"---5", -5},       {"−−−−5", 5},    {"-(-(2))", 2},  {"2--3", 5},      {"-(2+3)*2", -10},
      {"200 * 15%", 30}, {"5 +", 5},         {"5 * (", 5},    {"5 - -", 5},    {"(5) ×", 5},     {"0/5", 0},
      {"1e3", 1000},     {"2.5e-3*4", 0.01}, {"1E+2-1", 99},  {"-1e3", -1000}, {"1e308", 1e308},
  };
  for (const auto& c : exact) EXPECT_EQ(evaluateExpression(c.text), c.value) << c.text;
  EXPECT_DOUBLE_EQ(*evaluateExpression("50%%"), 0.005);
  EXPECT_DOUBLE_EQ(*evaluateExpression("100 + 10%"), 100.1);
  EXPECT_DOUBLE_EQ(*evaluateExpression("-50%"), -0.5);
  // Malformed expressions and division by zero have no value.
  for (const char* text :
       {"",    " ",     "abc",  "(",      ")",    "()",  ")(",     "(2",  "2)",      "3 )",  "2 * (3 + 4",    "+5",
        "*5",  "5 (3)", "1 2",  "(1)(2)", ".",    "%",   "10 / 0", "0/0", "1/(2-2)", "1/-0", "1 + 2 / 0 * 5", "(50)%",
        "5 %", "%5",    "2 e3", "1e",     "0XaF", "1,2", "..5"}) {
    EXPECT_FALSE(evaluateExpression(text).has_value()) << '"' << text << '"';
  }
  // Values beyond a double have no value, at any step.
  for (const char* text : {"1e308*10", "1e308+1e308", "-1e308*10", "1/(1e308*10)", "1e-200*1e-200", "1e-300/1e300",
                           "1e-307/100", "1e-300%%%%%"}) {
    EXPECT_FALSE(evaluateExpression(text).has_value()) << text;
  }
  EXPECT_FALSE(evaluateExpression(std::string(400, '9')).has_value());
  EXPECT_EQ(evaluateExpression(std::string(400, '0') + "+1"), 1);
  EXPECT_EQ(evaluateExpression("0*1e-300"), 0);
}

// Writes random well-formed expressions with every operator spelling, grouped and scientific literals, random
// spacing and percent signs.
class ExpressionGenerator {
 public:
  explicit ExpressionGenerator(uint32_t seed) : rng_(seed) {}

  std::string expression(int depth) {
    static const char* const kOperators[] = {"+", "-", "−", "*", "×", "x", "X", "/", "÷"};
    std::string out = operand(depth);
    for (int i = pick(0, 3); i > 0; --i) out += space() + kOperators[pick(0, 8)] + space() + operand(depth);
    return out;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string space() { return pick(0, 2) == 0 ? " " : ""; }

  std::string operand(int depth) {
    std::string prefix;
    while (pick(0, 4) == 0) prefix += pick(0, 1) ? "-" : "−";
    if (depth > 0 && pick(0, 2) == 0) return prefix + "(" + space() + expression(depth - 1) + space() + ")";
    std::string number = std::to_string(pick(0, 999));
    if (pick(0, 9) == 0) number = std::to_string(pick(1, 99)) + "," + std::to_string(pick(100, 999));
    if (pick(0, 3) == 0) number += "." + std::to_string(pick(0, 99));
    if (pick(0, 7) == 0)
      number += std::string(pick(0, 1) ? "e" : "E") + (pick(0, 1) ? "-" : "") + std::to_string(pick(0, 12));
    if (pick(0, 7) == 0) number += "%";
    return prefix + number;
  }

  std::mt19937 rng_;
};

TEST(CalculatorEvaluatorOracleTest, RandomExpressionsMatchRecursiveDescent) {
  ExpressionGenerator generator(20261205);
  int compared = 0;
  int declined = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string text = generator.expression(3);
    std::optional<double> expected = testing_support::ExpressionOracle(text).evaluate();
    std::optional<double> actual = evaluateExpression(text);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << text;
    if (!expected) {
      ++declined;
      continue;
    }
    ++compared;
    const double tolerance = 1e-9 * std::max(1.0, std::fabs(*expected));
    ASSERT_NEAR(*actual, *expected, tolerance) << text;
  }
  // The generator must exercise both outcomes.
  EXPECT_GT(compared, 15000);
  EXPECT_GT(declined, 10);
}

}  // namespace
}  // namespace pallix::calculator
