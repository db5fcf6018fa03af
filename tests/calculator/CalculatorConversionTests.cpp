// The calculator's tables, pre-test, unit arithmetic, currency conversion
// (with a fake rate provider) and ICU formatting in more than one locale.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <thread>

#include "app/sources/CalculatorCurrency.h"
#include "app/sources/CalculatorDataSource.h"
#include "app/sources/CalculatorFormatting.h"
#include "app/sources/CalculatorUnits.h"

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

TEST(CalculatorTablesTest, EveryUnitKeyIsNormalisedAndFormats) {
  calculator::CalculatorFormatters formatters("en_US");
  for (const auto& [key, unit] : calculator::measurementUnits()) {
    EXPECT_EQ(calculator::normalizeUnitKey(key), key);
    std::optional<std::string> text = formatters.formatMeasurement(2, *unit);
    ASSERT_TRUE(text) << key;
    EXPECT_EQ(text->substr(0, 2), "2 ") << key << ": " << *text;
  }
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

TEST(CalculatorUnitsTest, RandomRoundTripsWithinADimensionAndNoneAcross) {
  std::vector<const calculator::MeasurementUnit*> units;
  for (const auto& [key, unit] : calculator::measurementUnits()) units.push_back(unit);
  std::mt19937 rng(7);
  std::uniform_int_distribution<size_t> pickUnit(0, units.size() - 1);
  std::uniform_real_distribution<double> pickValue(-1e6, 1e6);
  int roundTrips = 0;
  for (int i = 0; i < 5000; ++i) {
    const auto* a = units[pickUnit(rng)];
    const auto* b = units[pickUnit(rng)];
    // Temperatures stay above absolute zero (0 in every unit is above it).
    const double value =
        a->dimension == calculator::UnitDimension::temperature ? std::fabs(pickValue(rng)) : pickValue(rng);
    std::optional<double> there = calculator::convertMeasurement(value, *a, *b);
    if (a->dimension != b->dimension) {
      EXPECT_FALSE(there) << a->name << " → " << b->name;
      continue;
    }
    ASSERT_TRUE(there);
    std::optional<double> back = calculator::convertMeasurement(*there, *b, *a);
    ASSERT_TRUE(back);
    EXPECT_NEAR(*back, value, 1e-6 * std::max(1.0, std::fabs(value))) << a->name << " ↔ " << b->name;
    ++roundTrips;
  }
  EXPECT_GT(roundTrips, 300);
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
  EXPECT_EQ(german.localeName(), "de_DE");
  const std::pair<const char*, const char*> cases[] = {
      {"1000 + 0.5", "1.000,5"},
      {"100 usd to eur", "92\u00a0€"},
      {"1 km to m", "1.000 Meter"},
  };
  for (auto [text, formatted] : cases) {
    EXPECT_EQ(german.calculate(text).value_or(CalculatorResult{0, "<none>"}).formattedValue, formatted) << text;
  }
  calculator::CalculatorFormatters us("en_US");
  EXPECT_EQ(us.formatNumber(1234567.1234567891), "1,234,567.123456789");
  EXPECT_EQ(us.formatNumber(-0.5), "-0.5");
  EXPECT_EQ(us.formatCurrency(1234.56789, "USD"), "$1,234.5679");
  EXPECT_EQ(us.formatCurrency(5, "JPY"), "¥5");
  EXPECT_EQ(us.formatMeasurement(1, *findMeasurementUnit("mi")), "1 mile");
  EXPECT_EQ(us.formatMeasurement(1.23456789, *findMeasurementUnit("kg")), "1.234568 kilograms");
  EXPECT_FALSE(us.formatCurrency(5, "EURO"));
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

}  // namespace
}  // namespace pallix
