// The expression evaluator: tokens, reverse Polish order, edge cases of
// precedence, associativity, unary minus and percent, and an oracle test
// against an independent recursive-descent evaluator on random expressions.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "app/sources/CalculatorEvaluator.h"

namespace pallix::calculator {
namespace {

using Tokens = std::vector<Token>;
Token num(double v) {
  return Token::makeNumber(v);
}
const Token kLeft = Token::makeParenthesis(true), kRight = Token::makeParenthesis(false);
const Token kAdd = Token::makeOperator(Operator::addition), kSub = Token::makeOperator(Operator::subtraction);
const Token kMul = Token::makeOperator(Operator::multiplication), kDiv = Token::makeOperator(Operator::division);
const Token kNeg = Token::makeOperator(Operator::unaryMinus);

// Minus is unary only at the start, after an operator or after "("; every operator spelling; numbers take at most
// one dot and lone dots are dropped; percent divides the number it directly follows.
TEST(CalculatorTokenizerTest, Tokens) {
  const struct {
    const char* text;
    Tokens tokens;
  } cases[] = {
      {"3-2", {num(3), kSub, num(2)}},
      {"-3", {kNeg, num(3)}},
      {"(−3)", {kLeft, kNeg, num(3), kRight}},
      {"3 - -2", {num(3), kSub, kNeg, num(2)}},
      {"(1)-2", {kLeft, num(1), kRight, kSub, num(2)}},
      {"2×3", {num(2), kMul, num(3)}},
      {"2x3", {num(2), kMul, num(3)}},
      {"2X3", {num(2), kMul, num(3)}},
      {"2*3", {num(2), kMul, num(3)}},
      {"2÷3", {num(2), kDiv, num(3)}},
      {"2/3", {num(2), kDiv, num(3)}},
      {"1.2.3", {num(1.2), num(0.3)}},
      {"5.", {num(5)}},
      {".5", {num(0.5)}},
      {". + 1", {kAdd, num(1)}},
      {"..5", {num(0.5)}},
      {"50%", {num(0.5)}},
      {"50%%", {num(0.005)}},
      {"%5", {num(5)}},
      {"(50)%", {kLeft, num(50), kRight}},
  };
  for (const auto& c : cases) EXPECT_EQ(tokenizeExpression(c.text), c.tokens) << c.text;
  EXPECT_EQ(keepExpressionCharacters("a1\t+\n2b€ = 3"), "1+2  3");
  EXPECT_EQ(keepExpressionCharacters("−×÷"), "−×÷");
  EXPECT_EQ(keepExpressionCharacters("\xff\xfe 7"), " 7");
}

TEST(CalculatorReversePolishTest, ShuntingYardOrderWithoutTrailingOperatorsAndLeftParentheses) {
  const struct {
    const char* text;
    std::optional<Tokens> rpn;
  } cases[] = {
      {"1+2*3", Tokens{num(1), num(2), num(3), kMul, kAdd}},
      {"--5", Tokens{num(5), kNeg, kNeg}},
      {"8-3-2", Tokens{num(8), num(3), kSub, num(2), kSub}},
      {"5 + ( - (", Tokens{num(5)}},
      {"+ (", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(toReversePolish(tokenizeExpression(c.text)), c.rpn) << c.text;
}

TEST(CalculatorEvaluatorTest, ValuesAndEdgeCases) {
  // Precedence; left-associative binary operators, right-associative unary minus; percent; trailing operators.
  const struct {
    const char* text;
    double value;
  } exact[] = {
      {"2+3*4", 14},     {"2*3+4", 10},   {"(2+3)*4", 20}, {"2+12/4-1", 4}, {"-2*3", -6}, {"2*-3", -6},
      {"-2+5", 3},       {"2*-3*4", -24}, {"10-2-3", 5},   {"100/10/2", 5}, {"2-3+4", 3}, {"12/3*2", 8},
      {"--5", 5},        {"---5", -5},    {"−−−−5", 5},    {"-(-(2))", 2},  {"2--3", 5},  {"-(2+3)*2", -10},
      {"200 * 15%", 30}, {"5 +", 5},      {"5 * (", 5},    {"5 - -", 5},    {"(5) ×", 5}, {"0/5", 0},
  };
  for (const auto& c : exact) EXPECT_EQ(evaluateExpression(c.text), c.value) << c.text;
  EXPECT_DOUBLE_EQ(*evaluateExpression("50%%"), 0.005);
  EXPECT_DOUBLE_EQ(*evaluateExpression("100 + 10%"), 100.1);
  EXPECT_DOUBLE_EQ(*evaluateExpression("-50%"), -0.5);
  // Malformed expressions and division by zero have no value.
  for (const char* text :
       {"",   " ",     "abc", "(",      ")", "()", ")(",     "(2",  "2)",      "3 )",  "2 * (3 + 4",   "+5",
        "*5", "5 (3)", "1 2", "(1)(2)", ".", "%",  "10 / 0", "0/0", "1/(2-2)", "1/-0", "1 + 2 / 0 * 5"}) {
    EXPECT_FALSE(evaluateExpression(text).has_value()) << '"' << text << '"';
  }
  // Overlong numbers overflow to infinity.
  std::optional<double> huge = evaluateExpression(std::string(400, '9'));
  ASSERT_TRUE(huge);
  EXPECT_TRUE(std::isinf(*huge));
  EXPECT_EQ(evaluateExpression(std::string(400, '0') + "+1"), 1);
}

// An independent evaluator for the expressions the generator below writes:
//   sum := product (("+" | "-" | "−") product)*
//   product := unary (("*" | "×" | "x" | "X" | "/" | "÷") unary)*
//   unary := ("-" | "−") unary | primary
//   primary := number "%"* | "(" sum ")"
class OracleEvaluator {
 public:
  explicit OracleEvaluator(std::string text) : text_(std::move(text)) {}

  std::optional<double> evaluate() {
    std::optional<double> value = sum();
    skipSpaces();
    if (failed_ || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void skipSpaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  bool consume(std::initializer_list<std::string_view> tokens) {
    skipSpaces();
    for (std::string_view token : tokens) {
      if (text_.compare(pos_, token.size(), token) != 0) continue;
      pos_ += token.size();
      return true;
    }
    return false;
  }

  std::optional<double> sum() {
    std::optional<double> value = product();
    while (value) {
      const int sign = consume({"+"}) ? 1 : consume({"-", "−"}) ? -1 : 0;
      if (sign == 0) break;
      auto rhs = product();
      if (!rhs) return std::nullopt;
      *value += sign * *rhs;
    }
    return value;
  }

  std::optional<double> product() {
    std::optional<double> value = unary();
    while (value) {
      const bool multiply = consume({"*", "×", "x", "X"});
      if (!multiply && !consume({"/", "÷"})) break;
      auto rhs = unary();
      if (!rhs) return std::nullopt;
      if (!multiply && *rhs == 0) {
        failed_ = true;
        return std::nullopt;
      }
      *value = multiply ? *value * *rhs : *value / *rhs;
    }
    return value;
  }

  std::optional<double> unary() {
    if (!consume({"-", "−"})) return primary();
    auto value = unary();
    if (!value) return std::nullopt;
    return -*value;
  }

  std::optional<double> primary() {
    if (consume({"("})) {
      auto value = sum();
      if (!value || !consume({")"})) return std::nullopt;
      return value;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.')) ++pos_;
    if (start == pos_) return std::nullopt;
    double value = std::stod(text_.substr(start, pos_ - start));
    for (; pos_ < text_.size() && text_[pos_] == '%'; ++pos_) value /= 100;
    return value;
  }

  std::string text_;
  size_t pos_ = 0;
  bool failed_ = false;
};

// Writes random well-formed expressions with every operator spelling, random spacing and percent signs.
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
    if (pick(0, 3) == 0) number += "." + std::to_string(pick(0, 99));
    if (pick(0, 7) == 0) number += "%";
    return prefix + number;
  }

  std::mt19937 rng_;
};

TEST(CalculatorEvaluatorOracleTest, RandomExpressionsMatchRecursiveDescent) {
  ExpressionGenerator generator(20261205);
  int compared = 0;
  int divisionsByZero = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string text = generator.expression(3);
    std::optional<double> expected = OracleEvaluator(text).evaluate();
    std::optional<double> actual = evaluateExpression(text);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << text;
    if (!expected) {
      ++divisionsByZero;
      continue;
    }
    ++compared;
    if (std::isnan(*expected)) {
      EXPECT_TRUE(std::isnan(*actual)) << text;
      continue;
    }
    const double tolerance = 1e-9 * std::max(1.0, std::fabs(*expected));
    ASSERT_NEAR(*actual, *expected, tolerance) << text;
  }
  // The generator must exercise both outcomes.
  EXPECT_GT(compared, 15000);
  EXPECT_GT(divisionsByZero, 10);
}

}  // namespace
}  // namespace pallix::calculator
