// The calculator data source: its answers for a table of texts
// (tests/data/calculator/golden.tsv: the pre-test verdict, the value, the
// formatted value and the detail, in en_US), its tables, pre-test, unit
// arithmetic, currency conversion (with a fake rate provider), ICU formatting
// in more than one locale, and randomized input. Random bytes and random soups
// of the calculator's own tokens never crash, every answer is finite with a
// non-empty text, and no answer comes from a text the calculator did not read
// whole: arithmetic must agree with the recursive-descent model, and a
// conversion must be a number and known units.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/calculator/CalculatorCurrency.h"
#include "app/calculator/CalculatorDataSource.h"
#include "app/calculator/CalculatorEvaluator.h"
#include "app/calculator/CalculatorFormatting.h"
#include "app/calculator/CalculatorUnits.h"
#include "core/Strings.h"
#include "tests/calculator/ExpressionOracle.h"

namespace pallix {
namespace {

using calculator::findMeasurementUnit;

CalculatorDataSource::Options enUS() {
  return CalculatorDataSource::Options{"en_US", nullptr};
}

// Rates per US dollar for tests; nothing else is known.
struct FakeRateProvider final : calculator::CurrencyRateProvider {
  explicit FakeRateProvider(std::map<std::string, double, std::less<>> rates) : rates(std::move(rates)) {}
  std::optional<double> rate(std::string_view code) const override {
    auto it = rates.find(code);
    return it == rates.end() ? std::nullopt : std::optional<double>(it->second);
  }
  std::map<std::string, double, std::less<>> rates;
};

// ---- Tables ----

TEST(CalculatorTablesTest, EveryMappedCurrencyHasAFixedRateByItsUppercaseCode) {
  calculator::FixedCurrencyRateProvider rates;
  for (const auto& [word, code] : calculator::currencyCodeMapping()) EXPECT_TRUE(rates.rate(code)) << word;
  for (const auto& [symbol, code] : calculator::currencySymbolMapping()) EXPECT_TRUE(rates.rate(code)) << symbol;
  EXPECT_FALSE(rates.rate("eur"));
}

// ---- Pre-test ----

// The texts of golden.tsv hold no tab or line break: the pre-test's verdicts on whitespace and bytes are here.
TEST(CalculatorPretestTest, WhitespaceAndBytes) {
  CalculatorDataSource calculator(enUS());
  for (const char* text : {"  7 \n", "\u00a02 × 3\u2003"}) EXPECT_TRUE(calculator.shouldHandle(text)) << text;
  for (const char* text : {"", " \n\t", "1\t+ 2", "a\xff 2 to 3"}) EXPECT_FALSE(calculator.shouldHandle(text)) << text;
}

// ---- Units ----

TEST(CalculatorUnitsTest, StandardDefinitions) {
  const struct {
    double amount;
    const char* from;
    double expected;
    const char* to;
  } identities[] = {
      {1, "mi", 5280, "ft"},        {1, "ft", 12, "in"},          {1, "yd", 3, "ft"},
      {1, "km", 1000, "m"},         {1, "nmi", 1852, "m"},        {1, "in", 2.54, "cm"},
      {1, "m", 1000, "mm"},         {1, "lb", 16, "oz"},          {1, "stone", 14, "lb"},
      {1, "ton", 2000, "lb"},       {1, "tonne", 1000, "kg"},     {1, "kg", 1000, "g"},
      {1, "g", 1000, "mg"},         {1, "lb", 0.45359237, "kg"},  {1, "gal", 4, "qt"},
      {1, "gal", 8, "pt"},          {1, "gal", 16, "cups"},       {1, "gal", 128, "floz"},
      {1, "gal", 256, "tbsp"},      {1, "gal", 768, "tsp"},       {1, "tbsp", 3, "tsp"},
      {1, "l", 1000, "ml"},         {1, "gal", 3.785411784, "l"}, {0, "c", 32, "f"},
      {0, "c", 273.15, "k"},        {-40, "c", -40, "f"},         {100, "c", 212, "f"},
      {212, "f", 373.15, "k"},      {0, "k", -459.67, "f"},       {1, "knot", 1.852, "kmh"},
      {1, "mph", 1.609344, "kph"},  {1, "mps", 3.6, "kmh"},       {1, "h", 60, "min"},
      {1, "hr", 3600, "s"},         {1, "acre", 43560, "sqft"},   {1, "sqmi", 640, "acres"},
      {1, "hectare", 10000, "sqm"}, {1, "sqyd", 9, "sqft"},       {1, "tb", 1000, "gb"},
      {1, "gb", 1000, "mb"},        {1, "mb", 1000, "kb"},        {1, "kb", 1000, "bytes"},
  };
  for (const auto& identity : identities) {
    const auto* from = findMeasurementUnit(identity.from);
    const auto* to = findMeasurementUnit(identity.to);
    ASSERT_TRUE(from && to) << identity.from << " " << identity.to;
    std::optional<double> value = calculator::convertMeasurement(identity.amount, *from, *to);
    ASSERT_TRUE(value);
    EXPECT_NEAR(*value, identity.expected, 1e-9 * std::max(1.0, std::fabs(identity.expected)))
        << identity.amount << " " << identity.from << " → " << identity.to;
  }
}

// Every unit key is normalised and formats; every pair of units round-trips within a dimension and none converts
// across.
TEST(CalculatorUnitsTest, EveryUnitFormatsAndConvertsWithinItsDimensionOnly) {
  calculator::CalculatorFormatters formatters("en_US");
  for (const auto& [keyA, a] : calculator::measurementUnits()) {
    EXPECT_EQ(calculator::normalizeUnitKey(keyA), keyA);
    EXPECT_EQ(formatters.formatMeasurement(2, *a).value_or("").substr(0, 2), "2 ") << keyA;
    for (const auto& [keyB, b] : calculator::measurementUnits()) {
      std::optional<double> there = calculator::convertMeasurement(12.5, *a, *b);
      ASSERT_EQ(there.has_value(), a->dimension == b->dimension) << keyA << " → " << keyB;
      if (there) {
        EXPECT_NEAR(calculator::convertMeasurement(*there, *b, *a).value_or(NAN), 12.5, 1e-9) << keyA << " ↔ " << keyB;
      }
    }
  }
}

TEST(CalculatorUnitsTest, NormalisationRemovesDegreeDotsDashesAndSpaces) {
  const std::pair<const char*, const char*> cases[] = {
      {"°F", "f"}, {"Sq. Ft", "sqft"}, {"fl-oz", "floz"}, {"M.P.H.", "mph"}, {"Nautical Miles", "nauticalmiles"},
  };
  for (auto [text, key] : cases) EXPECT_EQ(calculator::normalizeUnitKey(text), key);
  EXPECT_EQ(findMeasurementUnit("°C")->name, "celsius");
  EXPECT_EQ(findMeasurementUnit("km/hour"), findMeasurementUnit("kph"));
  EXPECT_EQ(findMeasurementUnit("KM/H")->name, "kilometres per hour");
  EXPECT_EQ(findMeasurementUnit(""), nullptr);
}

// ---- Currency words, symbols and codes ----

TEST(CalculatorCurrencyTest, SymbolsAreStrippedLongestFirstFromEitherEnd) {
  const std::pair<const char*, const char*> cases[] = {
      {"$100", "$|100"}, {" 100$ ", "$|100"}, {"A$5", "A$|5"},         {"a$5", "a$|5"}, {"5 C$", "C$|5"},
      {"€ 10", "€|10"},  {"10 ₨", "₨|10"},    {"100 eur", "|100 eur"}, {"$", "$|"},     {"1$0", "|1$0"},
  };
  for (auto [text, expected] : cases) {
    auto stripped = calculator::stripCurrencySymbol(text);
    EXPECT_EQ(stripped.symbol + "|" + stripped.text, expected) << text;
  }
}

TEST(CalculatorCurrencyTest, CodeResolution) {
  const struct {
    const char* text;
    const char* symbol;
    std::optional<std::string> code;
  } cases[] = {
      {"usd", "$", "USD"},        {"eur", "$", std::nullopt},  // A symbol and a word must name one currency.
      {"", "₫", "VND"},           {"Euros", "", "EUR"},       {" US Dollars ", "", "USD"},
      {"sterling", "", "GBP"},    {"btc", "", "BTC"},         {"kr", "", "SEK"},
      {"abcd", "", std::nullopt}, {"", "", std::nullopt},     {"km", "", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(calculator::resolveCurrencyCode(c.text, c.symbol), c.code) << c.text;
}

TEST(CalculatorCurrencyTest, ConversionGoesThroughTheDollarWithInjectedRates) {
  auto rates = std::make_shared<FakeRateProvider>(std::map<std::string, double, std::less<>>{
      {"USD", 1}, {"EUR", 0.5}, {"XAU", 0.0005}, {"ZER", 0}, {"NEG", -1}, {"ÅÅÅ", 2}});
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", rates});
  EXPECT_EQ(calculator.calculate("10 usd to eur"), (CalculatorResult{5, "€5", "$10"}));
  EXPECT_EQ(calculator.calculate("10 eur in usd").value_or(CalculatorResult{}).value, 20);
  EXPECT_EQ(calculator.calculate("1 xau to eur").value_or(CalculatorResult{}).value, 1000);
  // JPY is a code but this provider has no rate for it; nor is it a unit.
  for (const char* text : {"1 zer to usd", "1 usd to zer", "1 neg to usd", "100 usd to jpy"}) {
    EXPECT_FALSE(calculator.calculate(text)) << text;
  }
  // ICU cannot format a non-ASCII code: the text falls back to "CODE number".
  EXPECT_EQ(calculator.calculate("3 usd to ÅÅÅ").value_or(CalculatorResult{}).formattedValue, "ÅÅÅ 6");
}

// ---- The data source ----

TEST(CalculatorDataSourceTest, ConversionsAreFinalArithmeticHasNoDetail) {
  CalculatorDataSource calculator(enUS());
  EXPECT_FALSE(calculator.evaluateConversion("5 km to kg"));
  EXPECT_FALSE(calculator.evaluateConversion("2+2"));
  ASSERT_TRUE(calculator.calculate("2+2"));
  EXPECT_EQ(calculator.calculate("2+2")->detail, std::nullopt);
  EXPECT_EQ(calculator.performSearch(" 2+2 "), calculator.calculate("2+2"));
  EXPECT_EQ(calculator.calculate("\u00a0\u2003 6 / 4 \n").value_or(CalculatorResult{}).value, 1.5);
}

TEST(CalculatorFormattingTest, TextsFollowTheLocale) {
  CalculatorDataSource german(CalculatorDataSource::Options{"de_DE", nullptr});
  const std::pair<const char*, const char*> cases[] = {
      {"1000 + 0.5", "1.000,5"},
      {"100 usd to eur", "92\u00a0€"},
      {"1 km to m", "1.000 Meter"},
  };
  for (auto [text, formatted] : cases) {
    EXPECT_EQ(german.calculate(text).value_or(CalculatorResult{0, "<none>"}).formattedValue, formatted) << text;
  }
  // The en_US texts are pinned by the golden table; an invalid code has none, and the fallback is plain.
  EXPECT_FALSE(calculator::CalculatorFormatters("en_US").formatCurrency(5, "EURO"));
  EXPECT_EQ(calculator::plainDecimal(0.1), "0.1");
}

// One data source is shared by every caller: concurrent answers (and the
// currency formatters each thread creates on first use) must agree with
// answers computed alone.
TEST(CalculatorDataSourceTest, ConcurrentCallersGetTheSameAnswers) {
  const std::vector<std::string> queries = {"100 usd to eur", "5 gbp to jpy", "7 chf in inr", "1 aud to cad",
                                            "9 nzd to sek",   "3 try to ils", "2+3*4",        "5 km to miles"};
  std::vector<std::optional<CalculatorResult>> expected;
  {
    CalculatorDataSource reference(enUS());
    for (const auto& query : queries) expected.push_back(reference.calculate(query));
  }
  CalculatorDataSource shared(enUS());
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const size_t q = static_cast<size_t>(i + t) % queries.size();
        if (shared.calculate(queries[q]) != expected[q]) ++mismatches[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// ---- The golden table ----

bool closeTo(double actual, double expected) {
  return actual == expected || std::fabs(actual - expected) <= 1e-12 * std::max(std::fabs(actual), std::fabs(expected));
}

TEST(CalculatorGoldenTest, AnswersMatchTheTable) {
  CalculatorDataSource calculator(enUS());
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

// ---- Randomized input ----

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

// Random bytes, random soups of the calculator's own tokens, and conversion-shaped texts with a stray piece now
// and then: none crashes, and every answer is well formed and read whole.
TEST(CalculatorFuzzTest, RandomInputNeverCrashesAndAnswersOnlyWholeTexts) {
  // The calculator's own tokens, separated by '|'.
  static const std::vector<std::string> kPieces = splitString(
      "0|1|7|42|999999999999|.|..|5.|.5|1e3|2.5E-4|1e308|1e-308|e|E|%|%%|+|-|−|×|x|X|*|/|÷|^|(|)| |  |,|1,000|$|"
      "€|£|¥|A$|c$|₹|₨|฿|°|→| to | in | -> | → |km|miles|°F|c|k|km/h|m/s|mph|knots|ft/s|usd|eur|jpy|pounds|"
      "us dollars|sqft|floz|tb|'|\"|\t|\n|\xe2\x82|\xff|é|ß|İ|K|0/0|1/0|0x",
      '|');
  CalculatorDataSource calculator(enUS());
  std::mt19937 rng(1);
  std::map<Answer, int> answered;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (auto n = rng() % 41; n > 0; --n) text.push_back(static_cast<char>(rng() % 256));
    expectWellFormed(calculator, text);
    (void)calculator::evaluateExpression(text);
  }
  for (int i = 0; i < 30000; ++i) {
    std::string text;
    for (auto n = rng() % 17; n > 0; --n) text += kPieces[rng() % kPieces.size()];
    ++answered[expectWellFormed(calculator, text)];
  }
  // The soups must reach the answering paths, not only the rejections.
  EXPECT_GT(answered[Answer::arithmetic], 300);
  static const std::vector<std::string> kAmounts =
      splitString("5|-5|+5|1,000|1,0|1e3|2e|.5|5.|1.2.3|0|1e999|$5|5$|€5", '|');
  static const std::vector<std::string> kUnits = splitString(
      "km|m|mi|ft|km/h|m/s|mph|knots|ft/s|miles per hour|c|°F|k|kg|lb|usd|eur|dollars|us dollars|$|€|A$|xyz|km 3|"
      "e km|-km|3",
      '|');
  static const std::vector<std::string> kSeparators = splitString(" to | in | -> | → | TO |to| into ", '|');
  static const std::vector<std::string> kStrays = splitString("x|e|,|.|-|2|$|^|%|(| ", '|');
  auto pick = [&](const std::vector<std::string>& list) {
    return list[std::uniform_int_distribution<size_t>(0, list.size() - 1)(rng)];
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = pick(kAmounts) + (rng() % 2 ? " " : "") + pick(kUnits) + pick(kSeparators) + pick(kUnits);
    if (rng() % 4 == 0) text.insert(rng() % (text.size() + 1), pick(kStrays));
    ++answered[expectWellFormed(calculator, text)];
  }
  EXPECT_GT(answered[Answer::conversion], 500);
}

// Conversion-shaped texts with a stray piece now and then: every answer is a whole number and known units.

TEST(CalculatorFuzzTest, DeepNestingAndLongInputs) {
  CalculatorDataSource calculator(enUS());
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
