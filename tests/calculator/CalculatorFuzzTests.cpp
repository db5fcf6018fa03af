// Randomized input for the pre-test, the evaluator and the conversion parser:
// random bytes and random soups of the calculator's own tokens never crash,
// every answer is finite with a non-empty text, and no answer comes from a
// text the calculator did not read whole: arithmetic must agree with the
// recursive-descent model, and a conversion must be a number and known units.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "app/sources/CalculatorCurrency.h"
#include "app/sources/CalculatorDataSource.h"
#include "app/sources/CalculatorEvaluator.h"
#include "app/sources/CalculatorUnits.h"
#include "core/Strings.h"
#include "tests/calculator/ExpressionOracle.h"

namespace pallix {
namespace {

// A unit or currency the calculator knows, written alone (a currency symbol may stand beside it).
bool isKnownUnit(std::string_view text) {
  const std::string lowered = asciiLowercase(trimWhitespace(text));
  if (lowered.empty()) return false;
  if (calculator::findMeasurementUnit(lowered) || calculator::currencyCodeMapping().count(lowered)) return true;
  return lowered.size() == 3 &&
         std::all_of(lowered.begin(), lowered.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// The conversion shape: [symbol] [sign] number [unit] SEPARATOR [unit], the number read whole by the model's
// literal rules and each unit a known unit or currency word, or a currency symbol, possibly with its word.
bool isWholeConversion(const std::string& text) {
  static const std::regex kShape(
      R"(^(\S*?)\s*[+-]?(?:(?:\d{1,3}(?:,\d{3})+|\d+)(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?(?![\d.]|,\d)\s*(.*?))"
      R"((?: to | in | -> | → )(.*)$)",
      std::regex::icase);
  std::smatch m;
  if (!std::regex_match(text, m, kShape)) return false;
  auto symbolOrUnit = [](const std::string& part) {
    const auto stripped = calculator::stripCurrencySymbol(part);
    return stripped.text.empty() ? !stripped.symbol.empty() : isKnownUnit(stripped.text);
  };
  const std::string prefix = m[1].str();
  const bool prefixOk = prefix.empty() || calculator::currencySymbolMapping().count(prefix);
  const bool unitOk = m[2].str().empty() ? !prefix.empty() : symbolOrUnit(m[2].str());
  return prefixOk && unitOk && symbolOrUnit(m[3].str());
}

enum class Answer { none, arithmetic, conversion };

// Any answer must be finite, with non-empty texts, and read from the whole text.
Answer expectWellFormed(const CalculatorDataSource& calculator, const std::string& text) {
  (void)calculator.shouldHandle(text);
  std::optional<CalculatorResult> result = calculator.calculate(text);
  if (!result) return Answer::none;
  EXPECT_TRUE(std::isfinite(result->value)) << text;
  EXPECT_FALSE(result->formattedValue.empty()) << text;
  EXPECT_FALSE(result->detail && result->detail->empty()) << text;
  if (result->detail) {
    EXPECT_TRUE(isWholeConversion(std::string(trimWhitespace(text)))) << "answered a partly read conversion: " << text;
  } else {
    std::optional<double> model = testing_support::ExpressionOracle(std::string(trimWhitespace(text))).evaluate();
    EXPECT_TRUE(model && std::fabs(*model - result->value) <= 1e-9 * std::max(1.0, std::fabs(*model)))
        << "answered " << result->value << " for \"" << text << "\", the model says "
        << (model ? std::to_string(*model) : "nothing");
  }
  return result->detail ? Answer::conversion : Answer::arithmetic;
}

TEST(CalculatorFuzzTest, RandomBytesAndTokenSoupsNeverCrash) {
  // The calculator's own tokens, separated by '|'.
  static const std::vector<std::string> kPieces = splitString(
      "0|1|7|42|999999999999|.|..|5.|.5|1e3|2.5E-4|1e308|1e-308|e|E|%|%%|+|-|−|×|x|X|*|/|÷|^|(|)| |  |,|1,000|$|"
      "€|£|¥|A$|c$|₹|₨|฿|°|→| to | in | -> | → |km|miles|°F|c|k|km/h|m/s|mph|knots|ft/s|usd|eur|jpy|pounds|"
      "us dollars|sqft|floz|tb|'|\"|\t|\n|\xe2\x82|\xff|é|ß|İ|K|0/0|1/0|0x",
      '|');
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  std::mt19937 rng(1);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (auto n = rng() % 41; n > 0; --n) text.push_back(static_cast<char>(rng() % 256));
    expectWellFormed(calculator, text);
    (void)calculator::evaluateExpression(text);
  }
  std::map<Answer, int> answered;
  for (int i = 0; i < 30000; ++i) {
    std::string text;
    for (auto n = rng() % 17; n > 0; --n) text += kPieces[rng() % kPieces.size()];
    ++answered[expectWellFormed(calculator, text)];
  }
  // The soups must reach the answering paths, not only the rejections.
  EXPECT_GT(answered[Answer::arithmetic], 300);
}

// Conversion-shaped texts with a stray piece now and then: every answer is a whole number and known units.
TEST(CalculatorFuzzTest, ConversionSoupsAreReadWhole) {
  static const std::vector<std::string> kAmounts =
      splitString("5|-5|+5|1,000|1,0|1e3|2e|.5|5.|1.2.3|0|1e999|$5|5$|€5", '|');
  static const std::vector<std::string> kUnits = splitString(
      "km|m|mi|ft|km/h|m/s|mph|knots|ft/s|miles per hour|c|°F|k|kg|lb|usd|eur|dollars|us dollars|$|€|A$|xyz|km 3|"
      "e km|-km|3",
      '|');
  static const std::vector<std::string> kSeparators = splitString(" to | in | -> | → | TO |to| into ", '|');
  static const std::vector<std::string> kStrays = splitString("x|e|,|.|-|2|$|^|%|(| ", '|');
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", nullptr});
  std::mt19937 rng(3);
  auto pick = [&](const std::vector<std::string>& list) {
    return list[std::uniform_int_distribution<size_t>(0, list.size() - 1)(rng)];
  };
  std::map<Answer, int> answered;
  for (int i = 0; i < 20000; ++i) {
    std::string text = pick(kAmounts) + (rng() % 2 ? " " : "") + pick(kUnits) + pick(kSeparators) + pick(kUnits);
    if (rng() % 4 == 0) text.insert(rng() % (text.size() + 1), pick(kStrays));
    ++answered[expectWellFormed(calculator, text)];
  }
  EXPECT_GT(answered[Answer::conversion], 500);
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
