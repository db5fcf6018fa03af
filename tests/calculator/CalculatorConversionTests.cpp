// The calculator's tables, pre-test, unit arithmetic, currency conversion
// (with a fake rate provider) and ICU formatting in more than one locale.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "app/sources/CalculatorCurrency.h"
#include "app/sources/CalculatorDataSource.h"
#include "app/sources/CalculatorFormatting.h"
#include "app/sources/CalculatorUnits.h"

namespace pallix {
namespace {

// The answer's fields, or NaN / "<none>" when there is no answer.
double valueOf(const CalculatorDataSource& calculator, std::string_view text) {
  auto result = calculator.calculate(text);
  return result ? result->value : std::nan("");
}
[[maybe_unused]] std::string formattedOf(const CalculatorDataSource& calculator, std::string_view text) {
  auto result = calculator.calculate(text);
  return result ? result->formattedValue : "<none>";
}
[[maybe_unused]] std::optional<std::string> detailOf(const CalculatorDataSource& calculator, std::string_view text) {
  auto result = calculator.calculate(text);
  return result ? result->detail : std::optional<std::string>("<none>");
}

using calculator::CurrencyRateProvider;
using calculator::findMeasurementUnit;

CalculatorDataSource::Options enUS() {
  return CalculatorDataSource::Options{"en_US", nullptr};
}

// Rates per US dollar for tests; nothing else is known.
class FakeRateProvider final : public CurrencyRateProvider {
 public:
  explicit FakeRateProvider(std::map<std::string, double, std::less<>> rates) : rates_(std::move(rates)) {}
  std::optional<double> rate(std::string_view code) const override {
    auto it = rates_.find(code);
    if (it == rates_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, double, std::less<>> rates_;
};

// ---- Tables ----

TEST(CalculatorTablesTest, SizesMatchTheDescribedTables) {
  EXPECT_EQ(calculator::currencyCodeMapping().size(), 66u);
  EXPECT_EQ(calculator::currencySymbolMapping().size(), 23u);
  EXPECT_EQ(calculator::FixedCurrencyRateProvider::currencyRates().size(), 29u);
  EXPECT_EQ(calculator::measurementUnits().size(), 149u);
}

TEST(CalculatorTablesTest, EveryMappedCurrencyHasAFixedRate) {
  calculator::FixedCurrencyRateProvider rates;
  for (const auto& [word, code] : calculator::currencyCodeMapping()) EXPECT_TRUE(rates.rate(code)) << word;
  for (const auto& [symbol, code] : calculator::currencySymbolMapping()) EXPECT_TRUE(rates.rate(code)) << symbol;
  EXPECT_EQ(rates.rate("EUR"), 0.92);
  EXPECT_EQ(rates.rate("LAK"), 21300.0);
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

TEST(CalculatorPretestTest, AcceptsCalculationsAndConversions) {
  CalculatorDataSource calculator(enUS());
  for (const char* text :
       {"2+2", "  7 \n", "\u00a02 × 3\u2003", "1e5", "2 x 3", "-(4)", "50%", "1,000.5 + 2", "5 km in m", "100 € to ¥",
        "5 km → miles", "12 ft TO m", "$5", "\"5\" + '3'", "100 ₹ to ₨", "über 2 to 3", "72 °F to C"}) {
    EXPECT_TRUE(calculator.shouldHandle(text)) << text;
  }
}

TEST(CalculatorPretestTest, Rejections) {
  CalculatorDataSource calculator(enUS());
  for (const char* text :
       {"", " \n\t", "2^3", "to do 2 things", "3 apples", "x + e", "( + )", "12 > 3", "1\t+ 2", "5 km -> miles",
        "2 = 2", "4 into 5", "5 tonight", "５ + 1", "2 + 2;", "a\xff 2 to 3", "route 66 in"}) {
    EXPECT_FALSE(calculator.shouldHandle(text)) << text;
  }
}

// Without a postal-address detector, addresses are turned away by the letter rule or, when they contain
// " in " or " to ", give no answer because they are not a conversion between known units.
TEST(CalculatorPretestTest, PostalAddressesGetNoAnswer) {
  CalculatorDataSource calculator(enUS());
  for (const char* text : {"1600 Amphitheatre Parkway, Mountain View, CA 94043", "221B Baker Street",
                           "10 Downing Street in London", "350 Fifth Avenue to 34th Street"}) {
    EXPECT_FALSE(calculator.shouldHandle(text) && calculator.calculate(text)) << text;
  }
}

// ---- Units ----

struct Identity {
  double amount;
  const char* from;
  double expected;
  const char* to;
};

TEST(CalculatorUnitsTest, StandardDefinitions) {
  const Identity identities[] = {
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
  for (const Identity& identity : identities) {
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
    const double value = pickValue(rng);
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
  EXPECT_EQ(calculator::normalizeUnitKey("°F"), "f");
  EXPECT_EQ(calculator::normalizeUnitKey("Sq. Ft"), "sqft");
  EXPECT_EQ(calculator::normalizeUnitKey("fl-oz"), "floz");
  EXPECT_EQ(calculator::normalizeUnitKey("M.P.H."), "mph");
  EXPECT_EQ(calculator::normalizeUnitKey("Nautical Miles"), "nauticalmiles");
  EXPECT_EQ(findMeasurementUnit("°C")->name, "celsius");
  EXPECT_EQ(findMeasurementUnit("KM/H"), nullptr);
  EXPECT_EQ(findMeasurementUnit(""), nullptr);
}

// ---- Currency words, symbols and codes ----

TEST(CalculatorCurrencyTest, SymbolsAreStrippedLongestFirstFromEitherEnd) {
  auto strip = [](std::string_view text) {
    auto stripped = calculator::stripCurrencySymbol(text);
    return stripped.symbol + "|" + stripped.text;
  };
  EXPECT_EQ(strip("$100"), "$|100");
  EXPECT_EQ(strip(" 100$ "), "$|100");
  EXPECT_EQ(strip("A$5"), "A$|5");
  EXPECT_EQ(strip("a$5"), "a$|5");
  EXPECT_EQ(strip("5 C$"), "C$|5");
  EXPECT_EQ(strip("€ 10"), "€|10");
  EXPECT_EQ(strip("10 ₨"), "₨|10");
  EXPECT_EQ(strip("100 eur"), "|100 eur");
  EXPECT_EQ(strip("$"), "$|");
  EXPECT_EQ(strip("1$0"), "|1$0");
}

TEST(CalculatorCurrencyTest, CodeResolution) {
  using calculator::resolveCurrencyCode;
  EXPECT_EQ(resolveCurrencyCode("eur", "$"), "USD");  // A remembered symbol wins.
  EXPECT_EQ(resolveCurrencyCode("", "₫"), "VND");
  EXPECT_EQ(resolveCurrencyCode("Euros", ""), "EUR");
  EXPECT_EQ(resolveCurrencyCode(" US Dollars ", ""), "USD");
  EXPECT_EQ(resolveCurrencyCode("sterling", ""), "GBP");
  EXPECT_EQ(resolveCurrencyCode("btc", ""), "BTC");
  EXPECT_EQ(resolveCurrencyCode("kr", ""), "SEK");
  EXPECT_EQ(resolveCurrencyCode("abcd", ""), std::nullopt);
  EXPECT_EQ(resolveCurrencyCode("", ""), std::nullopt);
  EXPECT_EQ(resolveCurrencyCode("km", ""), std::nullopt);
}

TEST(CalculatorCurrencyTest, ConversionGoesThroughTheDollarWithInjectedRates) {
  auto rates = std::make_shared<FakeRateProvider>(std::map<std::string, double, std::less<>>{
      {"USD", 1}, {"EUR", 0.5}, {"XAU", 0.0005}, {"ZER", 0}, {"NEG", -1}, {"ÅÅÅ", 2}});
  CalculatorDataSource calculator(CalculatorDataSource::Options{"en_US", rates});
  auto answer = calculator.calculate("10 usd to eur");
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (CalculatorResult{5, "€5", "$10"}));
  EXPECT_EQ(valueOf(calculator, "10 eur in usd"), 20);
  EXPECT_EQ(valueOf(calculator, "1 xau to eur"), 1000);
  EXPECT_FALSE(calculator.calculate("1 zer to usd"));
  EXPECT_FALSE(calculator.calculate("1 usd to zer"));
  EXPECT_FALSE(calculator.calculate("1 neg to usd"));
  // JPY is a code but this provider has no rate for it; nor is it a unit.
  EXPECT_FALSE(calculator.calculate("100 usd to jpy"));
  // ICU cannot format a non-ASCII code: the text falls back to "CODE number".
  answer = calculator.calculate("3 usd to ÅÅÅ");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->formattedValue, "ÅÅÅ 6");
}

TEST(CalculatorCurrencyTest, FixedRatesByDefault) {
  CalculatorDataSource calculator(enUS());
  EXPECT_EQ(*calculator.calculate("100 usd to eur"), (CalculatorResult{92, "€92", "$100"}));
  auto yen = calculator.calculate("100 eur in jpy");
  ASSERT_TRUE(yen);
  EXPECT_DOUBLE_EQ(yen->value, 100 / 0.92 * 155);
  EXPECT_EQ(yen->detail, "€100");
  // "pound" is a currency word and a unit: the currency wins only when both sides are currencies.
  EXPECT_DOUBLE_EQ(valueOf(calculator, "10 pounds to usd"), 10 / 0.79);
  EXPECT_DOUBLE_EQ(valueOf(calculator, "10 pounds to kg"), 4.5359237);
}

// ---- The data source ----

TEST(CalculatorDataSourceTest, ConversionsAreFinalArithmeticHasNoDetail) {
  CalculatorDataSource calculator(enUS());
  EXPECT_EQ(calculator.identifier(), "calculator");
  EXPECT_FALSE(calculator.calculate("5 km to kg"));
  EXPECT_FALSE(calculator.evaluateConversion("5 km to kg"));
  EXPECT_FALSE(calculator.evaluateConversion("2+2"));
  EXPECT_EQ(detailOf(calculator, "2+2"), std::nullopt);
  EXPECT_EQ(calculator.performSearch(" 2+2 "), calculator.calculate("2+2"));
  EXPECT_EQ(valueOf(calculator, "\u00a0\u2003 6 / 4 \n"), 1.5);
  // No parsable number on the left: not a conversion, so the text is arithmetic.
  EXPECT_EQ(valueOf(calculator, "(2x3) to x"), 6);
  EXPECT_EQ(valueOf(calculator, "5e m to km"), 5);
  // A number too large for a double is still a number: the conversion fails.
  EXPECT_FALSE(calculator.calculate("1e999 m to km"));
  EXPECT_EQ(valueOf(calculator, "1e-999 m to km"), 0);
  EXPECT_EQ(valueOf(calculator, "+5 m to cm"), 500);
  EXPECT_EQ(valueOf(calculator, "-1.5e2 m to km"), -0.15);
  EXPECT_FALSE(calculator.calculate("1/0 * 1e308"));
}

TEST(CalculatorDataSourceTest, SeparatorsAreTriedInOrder) {
  CalculatorDataSource calculator(enUS());
  // " to " is tried before " in ", whatever comes first in the text.
  EXPECT_DOUBLE_EQ(valueOf(calculator, "5 in to cm"), 12.7);
  EXPECT_DOUBLE_EQ(valueOf(calculator, "5 ft In in"), 60);
  EXPECT_DOUBLE_EQ(valueOf(calculator, "5 ft -> in"), 60);
}

TEST(CalculatorFormattingTest, TextsFollowTheLocale) {
  CalculatorDataSource german(CalculatorDataSource::Options{"de_DE", nullptr});
  EXPECT_EQ(german.localeName(), "de_DE");
  EXPECT_EQ(formattedOf(german, "1000 + 0.5"), "1.000,5");
  EXPECT_EQ(formattedOf(german, "100 usd to eur"), "92\u00a0€");
  EXPECT_EQ(formattedOf(german, "1 km to m"), "1.000 Meter");

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
