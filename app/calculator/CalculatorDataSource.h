// CalculatorDataSource: answers arithmetic, unit conversions and currency
// conversions typed into the search field, entirely offline.
//
// The intelligence coordinator asks it first: when `shouldHandle` accepts the
// text and `calculate` yields a result, that result is the only intelligence
// answer for the query. Its data-source identifier is "calculator";
// `performSearch` is `calculate`, and `cancelActiveQuery` and `reset` do
// nothing because every call completes synchronously.
//
// Threads: construction builds the shared formatters; afterwards the object is
// immutable and every member may be called from any thread at once. It runs
// synchronously on the query path (a few microseconds per query; see
// bench/calculator).
//
// Usage:
//   pallix::CalculatorDataSource calculator;            // process locale
//   if (calculator.shouldHandle(text))
//     if (auto result = calculator.calculate(text)) show(result->formattedValue, result->detail);
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/calculator/CalculatorCurrency.h"

namespace pallix {

namespace calculator {
class CalculatorFormatters;
}

// One calculator answer.
struct CalculatorResult {
  double value = 0;                   // The numeric result; the converted amount for conversions.
  std::string formattedValue;         // The result as shown ("1,001", "€92", "3.106856 miles").
  std::optional<std::string> detail;  // For conversions, the formatted input amount ("$100"); none for arithmetic.

  friend bool operator==(const CalculatorResult&, const CalculatorResult&) = default;
};

class CalculatorDataSource {
 public:
  static constexpr std::string_view kIdentifier = "calculator";

  struct Options {
    // ICU locale identifier for the number, measurement and currency texts
    // ("en_US"); empty means the process's default locale.
    std::string localeName;
    // Exchange rates per US dollar; null means the fixed rates table.
    std::shared_ptr<const calculator::CurrencyRateProvider> currencyRates;
  };

  CalculatorDataSource();
  explicit CalculatorDataSource(Options options);
  ~CalculatorDataSource();
  CalculatorDataSource(const CalculatorDataSource&) = delete;
  CalculatorDataSource& operator=(const CalculatorDataSource&) = delete;

  std::string_view identifier() const { return kIdentifier; }

  // The cheap pre-test: could `query` be a calculation or conversion?
  bool shouldHandle(std::string_view query) const;

  // The answer for `text`: the conversion when the text is one, otherwise the
  // arithmetic value. None for anything that does not compute (unknown units,
  // different dimensions, unknown currencies, division by zero, unbalanced
  // parentheses, values beyond a double, temperatures below absolute zero)
  // and for any text it cannot read whole: an answer is never computed from
  // part of the text ("2^3", "1,2", "5e m to km").
  std::optional<CalculatorResult> calculate(std::string_view text) const;

  // The conversion alone ("100 usd to eur", "72 °F to C"); none when `text`
  // is not a conversion or the conversion fails.
  std::optional<CalculatorResult> evaluateConversion(std::string_view text) const;

  // The data-source operations the coordinator drives.
  std::optional<CalculatorResult> performSearch(std::string_view query) const { return calculate(query); }
  void cancelActiveQuery() {}
  void reset() {}

  // The locale the texts are formatted in ("en_US").
  const std::string& localeName() const;

 private:
  enum class ConversionOutcome { notAConversion, failed, converted };
  ConversionOutcome convert(std::string_view text, CalculatorResult& result) const;
  std::string currencyText(double amount, const std::string& code) const;
  std::string numberText(double value) const;

  std::unique_ptr<calculator::CalculatorFormatters> formatters_;
  std::shared_ptr<const calculator::CurrencyRateProvider> currencyRates_;
};

}  // namespace pallix
