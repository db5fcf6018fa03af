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

std::optional<double> eval(std::string_view text) {
  return evaluateExpression(text);
}

Token num(double v) {
  return Token::makeNumber(v);
}
Token op(Operator o) {
  return Token::makeOperator(o);
}
const Token kLeft = Token::makeParenthesis(true);
const Token kRight = Token::makeParenthesis(false);

TEST(CalculatorTokenizerTest, MinusIsUnaryOnlyAtStartAfterOperatorOrLeftParenthesis) {
  EXPECT_EQ(tokenizeExpression("3-2"), (std::vector<Token>{num(3), op(Operator::subtraction), num(2)}));
  EXPECT_EQ(tokenizeExpression("-3"), (std::vector<Token>{op(Operator::unaryMinus), num(3)}));
  EXPECT_EQ(tokenizeExpression("(−3)"), (std::vector<Token>{kLeft, op(Operator::unaryMinus), num(3), kRight}));
  EXPECT_EQ(tokenizeExpression("3 - -2"),
            (std::vector<Token>{num(3), op(Operator::subtraction), op(Operator::unaryMinus), num(2)}));
  EXPECT_EQ(tokenizeExpression("(1)-2"),
            (std::vector<Token>{kLeft, num(1), kRight, op(Operator::subtraction), num(2)}));
}

TEST(CalculatorTokenizerTest, OperatorSpellings) {
  for (const char* text : {"2×3", "2x3", "2X3", "2*3"}) {
    EXPECT_EQ(tokenizeExpression(text), (std::vector<Token>{num(2), op(Operator::multiplication), num(3)})) << text;
  }
  for (const char* text : {"2÷3", "2/3"}) {
    EXPECT_EQ(tokenizeExpression(text), (std::vector<Token>{num(2), op(Operator::division), num(3)})) << text;
  }
}

TEST(CalculatorTokenizerTest, NumbersTakeAtMostOneDotAndLoneDotsAreDropped) {
  EXPECT_EQ(tokenizeExpression("1.2.3"), (std::vector<Token>{num(1.2), num(0.3)}));
  EXPECT_EQ(tokenizeExpression("5."), (std::vector<Token>{num(5)}));
  EXPECT_EQ(tokenizeExpression(".5"), (std::vector<Token>{num(0.5)}));
  EXPECT_EQ(tokenizeExpression(". + 1"), (std::vector<Token>{op(Operator::addition), num(1)}));
  EXPECT_EQ(tokenizeExpression("..5"), (std::vector<Token>{num(0.5)}));
}

TEST(CalculatorTokenizerTest, PercentDividesTheNumberItDirectlyFollows) {
  EXPECT_EQ(tokenizeExpression("50%"), (std::vector<Token>{num(0.5)}));
  EXPECT_EQ(tokenizeExpression("50%%"), (std::vector<Token>{num(0.005)}));
  EXPECT_EQ(tokenizeExpression("%5"), (std::vector<Token>{num(5)}));
  EXPECT_EQ(tokenizeExpression("(50)%"), (std::vector<Token>{kLeft, num(50), kRight}));
}

TEST(CalculatorTokenizerTest, CharacterFilterKeepsOnlyExpressionCharacters) {
  EXPECT_EQ(keepExpressionCharacters("a1\t+\n2b€ = 3"), "1+2  3");
  EXPECT_EQ(keepExpressionCharacters("−×÷"), "−×÷");
  EXPECT_EQ(keepExpressionCharacters("\xff\xfe 7"), " 7");
}

TEST(CalculatorReversePolishTest, ShuntingYardOrder) {
  auto rpn = toReversePolish(tokenizeExpression("1+2*3"));
  ASSERT_TRUE(rpn);
  EXPECT_EQ(*rpn, (std::vector<Token>{num(1), num(2), num(3), op(Operator::multiplication), op(Operator::addition)}));
  rpn = toReversePolish(tokenizeExpression("--5"));
  ASSERT_TRUE(rpn);
  EXPECT_EQ(*rpn, (std::vector<Token>{num(5), op(Operator::unaryMinus), op(Operator::unaryMinus)}));
  rpn = toReversePolish(tokenizeExpression("8-3-2"));
  ASSERT_TRUE(rpn);
  EXPECT_EQ(*rpn, (std::vector<Token>{num(8), num(3), op(Operator::subtraction), num(2), op(Operator::subtraction)}));
}

TEST(CalculatorReversePolishTest, TrailingOperatorsAndLeftParenthesesAreRemoved) {
  auto rpn = toReversePolish(tokenizeExpression("5 + ( - ("));
  ASSERT_TRUE(rpn);
  EXPECT_EQ(*rpn, (std::vector<Token>{num(5)}));
  EXPECT_FALSE(toReversePolish(tokenizeExpression("+ (")));
  EXPECT_FALSE(toReversePolish({}));
}

TEST(CalculatorEvaluatorTest, Precedence) {
  EXPECT_EQ(eval("2+3*4"), 14);
  EXPECT_EQ(eval("2*3+4"), 10);
  EXPECT_EQ(eval("(2+3)*4"), 20);
  EXPECT_EQ(eval("2+12/4-1"), 4);
  EXPECT_EQ(eval("-2*3"), -6);
  EXPECT_EQ(eval("2*-3"), -6);
  EXPECT_EQ(eval("-2+5"), 3);
  EXPECT_EQ(eval("2*-3*4"), -24);
}

TEST(CalculatorEvaluatorTest, BinaryOperatorsAreLeftAssociative) {
  EXPECT_EQ(eval("10-2-3"), 5);
  EXPECT_EQ(eval("100/10/2"), 5);
  EXPECT_EQ(eval("2-3+4"), 3);
  EXPECT_EQ(eval("12/3*2"), 8);
}

TEST(CalculatorEvaluatorTest, UnaryMinusIsRightAssociative) {
  EXPECT_EQ(eval("--5"), 5);
  EXPECT_EQ(eval("---5"), -5);
  EXPECT_EQ(eval("−−−−5"), 5);
  EXPECT_EQ(eval("-(-(2))"), 2);
  EXPECT_EQ(eval("2--3"), 5);
  EXPECT_EQ(eval("-(2+3)*2"), -10);
}

TEST(CalculatorEvaluatorTest, Percent) {
  EXPECT_EQ(eval("200 * 15%"), 30);
  EXPECT_DOUBLE_EQ(*eval("50%%"), 0.005);
  EXPECT_DOUBLE_EQ(*eval("100 + 10%"), 100.1);
  EXPECT_DOUBLE_EQ(*eval("-50%"), -0.5);
}

TEST(CalculatorEvaluatorTest, MalformedExpressionsHaveNoValue) {
  for (const char* text : {"", " ", "abc", "(", ")", "()", ")(", "(2", "2)", "3 )", "2 * (3 + 4", "+5", "*5", "5 (3)",
                           "1 2", "(1)(2)", ".", "%"}) {
    EXPECT_FALSE(eval(text).has_value()) << '"' << text << '"';
  }
}

TEST(CalculatorEvaluatorTest, TrailingOperatorsAreIgnored) {
  EXPECT_EQ(eval("5 +"), 5);
  EXPECT_EQ(eval("5 * ("), 5);
  EXPECT_EQ(eval("5 - -"), 5);
  EXPECT_EQ(eval("(5) ×"), 5);
}

TEST(CalculatorEvaluatorTest, DivisionByZeroHasNoValue) {
  EXPECT_FALSE(eval("10 / 0"));
  EXPECT_FALSE(eval("0/0"));
  EXPECT_FALSE(eval("1/(2-2)"));
  EXPECT_FALSE(eval("1/-0"));
  EXPECT_FALSE(eval("1 + 2 / 0 * 5"));
  EXPECT_EQ(eval("0/5"), 0);
}

TEST(CalculatorEvaluatorTest, OverlongNumbersOverflowToInfinity) {
  const std::string huge(400, '9');
  std::optional<double> value = eval(huge);
  ASSERT_TRUE(value);
  EXPECT_TRUE(std::isinf(*value));
  EXPECT_EQ(eval(std::string(400, '0') + "+1"), 1);
}

// An independent evaluator for the expressions the generator below writes:
//   expr := term (("+" | "-" | "−") term)*
//   term := unary (("*" | "×" | "x" | "X" | "/" | "÷") unary)*
//   unary := ("-" | "−") unary | primary
//   primary := number "%"* | "(" expr ")"
class OracleEvaluator {
 public:
  explicit OracleEvaluator(std::string text) : text_(std::move(text)) {}

  std::optional<double> evaluate() {
    std::optional<double> value = expr();
    skipSpaces();
    if (failed_ || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void skipSpaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  bool consume(std::string_view token) {
    skipSpaces();
    if (text_.compare(pos_, token.size(), token) != 0) return false;
    pos_ += token.size();
    return true;
  }
  bool consumeMinus() { return consume("-") || consume("−"); }

  std::optional<double> expr() {
    std::optional<double> value = term();
    while (value) {
      if (consumeMinus()) {
        auto rhs = term();
        if (!rhs) return std::nullopt;
        *value -= *rhs;
      } else if (consume("+")) {
        auto rhs = term();
        if (!rhs) return std::nullopt;
        *value += *rhs;
      } else {
        break;
      }
    }
    return value;
  }

  std::optional<double> term() {
    std::optional<double> value = unary();
    while (value) {
      if (consume("*") || consume("×") || consume("x") || consume("X")) {
        auto rhs = unary();
        if (!rhs) return std::nullopt;
        *value *= *rhs;
      } else if (consume("/") || consume("÷")) {
        auto rhs = unary();
        if (!rhs) return std::nullopt;
        if (*rhs == 0) {
          failed_ = true;
          return std::nullopt;
        }
        *value /= *rhs;
      } else {
        break;
      }
    }
    return value;
  }

  std::optional<double> unary() {
    if (consumeMinus()) {
      auto value = unary();
      if (!value) return std::nullopt;
      return -*value;
    }
    return primary();
  }

  std::optional<double> primary() {
    if (consume("(")) {
      auto value = expr();
      if (!value || !consume(")")) return std::nullopt;
      return value;
    }
    skipSpaces();
    size_t start = pos_;
    while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.')) ++pos_;
    if (start == pos_) return std::nullopt;
    double value = std::stod(text_.substr(start, pos_ - start));
    while (pos_ < text_.size() && text_[pos_] == '%') {
      value /= 100;
      ++pos_;
    }
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
    std::string out = operand(depth);
    const int terms = pick(0, 3);
    for (int i = 0; i < terms; ++i) {
      out += space() + binaryOperator() + space() + operand(depth);
    }
    return out;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string space() { return pick(0, 2) == 0 ? " " : ""; }

  std::string binaryOperator() {
    static const char* const kOperators[] = {"+", "-", "−", "*", "×", "x", "X", "/", "÷"};
    return kOperators[pick(0, 8)];
  }

  std::string number() {
    std::string out = std::to_string(pick(0, 999));
    if (pick(0, 3) == 0) out += "." + std::to_string(pick(0, 99));
    if (pick(0, 7) == 0) out += "%";
    return out;
  }

  std::string operand(int depth) {
    std::string prefix;
    while (pick(0, 4) == 0) prefix += pick(0, 1) ? "-" : "−";
    if (depth > 0 && pick(0, 2) == 0) return prefix + "(" + space() + expression(depth - 1) + space() + ")";
    return prefix + number();
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
