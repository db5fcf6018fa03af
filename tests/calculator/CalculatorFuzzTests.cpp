// Randomized input for the pre-test, the evaluator and the conversion parser:
// random bytes and random soups of the calculator's own tokens never crash,
// and every answer is finite with a non-empty text.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/sources/CalculatorDataSource.h"
#include "app/sources/CalculatorEvaluator.h"
#include "core/Strings.h"

namespace pallix {
namespace {

// Whether there is an answer; any answer must be finite, with non-empty texts.
bool expectWellFormed(const CalculatorDataSource& calculator, const std::string& text) {
  (void)calculator.shouldHandle(text);
  std::optional<CalculatorResult> result = calculator.calculate(text);
  if (!result) return false;
  EXPECT_TRUE(std::isfinite(result->value)) << text;
  EXPECT_FALSE(result->formattedValue.empty()) << text;
  EXPECT_FALSE(result->detail && result->detail->empty()) << text;
  return true;
}

TEST(CalculatorFuzzTest, RandomBytesNeverCrash) {
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 40);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = length(rng);
    for (int j = 0; j < n; ++j) text.push_back(static_cast<char>(byte(rng)));
    expectWellFormed(calculator, text);
    (void)calculator::evaluateExpression(text);
  }
}

TEST(CalculatorFuzzTest, TokenSoupsNeverCrash) {
  // The calculator's own tokens, separated by '|'.
  static const std::vector<std::string> kPieces = splitString(
      "0|1|7|42|999999999999|.|..|5.|.5|1e3|e|E|%|%%|+|-|−|×|x|X|*|/|÷|(|)| |  |,|$|€|£|¥|A$|c$|₹|₨|฿|°|→| to | in | "
      "-> "
      "| → |km|miles|°F|c|k|usd|eur|jpy|pounds|us dollars|sqft|floz|tb|'|\"|\t|\n|\xe2\x82|\xff|é|ß|İ|K|0/0|1/0",
      '|');
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  std::mt19937 rng(2);
  std::uniform_int_distribution<size_t> piece(0, kPieces.size() - 1);
  std::uniform_int_distribution<int> count(0, 16);
  int answered = 0;
  for (int i = 0; i < 30000; ++i) {
    std::string text;
    const int n = count(rng);
    for (int j = 0; j < n; ++j) text += kPieces[piece(rng)];
    if (expectWellFormed(calculator, text)) ++answered;
  }
  // The soups must reach the answering paths, not only the rejections.
  EXPECT_GT(answered, 1000);
}

TEST(CalculatorFuzzTest, DeepNestingAndLongInputs) {
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  std::string sum = "1";
  for (int i = 0; i < 5000; ++i) sum += "+1";
  for (auto [text, value] : {std::pair{std::string(5000, '(') + "2" + std::string(5000, ')'), 2},
                             {std::string(5001, '-') + "3", -3},
                             {sum, 5001}}) {
    EXPECT_EQ(calculator.calculate(text).value_or(CalculatorResult{}).value, value) << text.substr(0, 20);
  }
  EXPECT_FALSE(calculator.calculate(std::string(100000, '(')));
}

}  // namespace
}  // namespace pallix
