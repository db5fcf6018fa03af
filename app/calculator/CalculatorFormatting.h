// CalculatorFormatting: the calculator's number, measurement and currency
// texts, from ICU's number formatters.
//
// - number: decimal, 0 to 9 fraction digits, grouping on;
// - measurement: the unit asked for (never a preferred one), long unit names,
//   0 to 6 fraction digits, grouping on;
// - currency: currency style in the given code, 0 to 4 fraction digits.
// Numbers below 1e-7 and measurements below 1e-4 (but not zero) are shown in
// scientific notation, so that fraction digits never round them to nothing.
// The number and measurement formatters are built once, at construction; a
// currency formatter is derived on the first use of its code and kept (under
// a mutex). ICU's localized formatters are immutable, so one
// CalculatorFormatters may be used from any number of threads at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/calculator/CalculatorUnits.h"

namespace pallix::calculator {

class CalculatorFormatters {
 public:
  // `localeName` is an ICU locale identifier ("en_US", "de_DE"); empty means
  // the process's default locale.
  explicit CalculatorFormatters(std::string_view localeName = {});
  ~CalculatorFormatters();
  CalculatorFormatters(const CalculatorFormatters&) = delete;
  CalculatorFormatters& operator=(const CalculatorFormatters&) = delete;

  // The locale actually used ("en_US").
  const std::string& localeName() const;

  // None when ICU fails; callers fall back as described at each call site.
  std::optional<std::string> formatNumber(double value) const;
  std::optional<std::string> formatMeasurement(double value, const MeasurementUnit& unit) const;
  std::optional<std::string> formatCurrency(double value, std::string_view code) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The shortest decimal text that reads back as `value` ("0.1", "1e+300").
std::string plainDecimal(double value);

}  // namespace pallix::calculator
