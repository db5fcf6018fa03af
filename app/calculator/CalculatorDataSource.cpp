#include "app/calculator/CalculatorDataSource.h"

#include <cmath>
#include <utility>
#include <vector>

#include "app/calculator/CalculatorEvaluator.h"
#include "app/calculator/CalculatorFormatting.h"
#include "app/calculator/CalculatorText.h"
#include "app/calculator/CalculatorUnits.h"

namespace pallix {
namespace {

using calculator::decodeUtf8;
using calculator::trimText;

// Characters the pre-test accepts besides letters (47 with the two quotes).
constexpr std::u32string_view kAcceptedCharacters =
    U"0123456789.+-−×xX*/÷()% ,$€£¥₹₩₽₺₫₴₦₪₡₱₲₵฿₨°→'\"";

// Separators of a conversion, tried in this order; matched case-insensitively.
constexpr std::string_view kConversionSeparators[] = {" to ", " in ", " -> ", " → "};

bool isAcceptedCharacter(char32_t c) {
  return calculator::isLetter(c) || kAcceptedCharacters.find(c) != std::u32string_view::npos;
}

// Finds the first separator in the order above; returns the split parts.
std::optional<std::pair<std::string_view, std::string_view>> splitConversion(std::string_view text) {
  // ASCII lowercasing keeps byte offsets, and every separator is ASCII apart from "→", which has no case.
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (std::string_view separator : kConversionSeparators) {
    size_t position = lowered.find(separator);
    if (position == std::string::npos) continue;
    return std::make_pair(text.substr(0, position), text.substr(position + separator.size()));
  }
  return std::nullopt;
}

struct AmountAndUnit {
  double amount = 0;
  std::string unit;
};

// Splits "1,000.5 km" into 1000.5 and "km": an optional sign and a number
// literal (thousands separators allowed), then the trimmed rest as the unit.
// None when there is no number, it cannot be read exactly, or the rest
// starts with more of a number ("1-2 km", "1,2 km").
std::optional<AmountAndUnit> readLeadingAmount(std::string_view text) {
  const std::vector<char32_t> decoded = decodeUtf8(text);
  const std::u32string_view chars(decoded.data(), decoded.size());
  size_t position = 0;
  double sign = 1;
  if (!chars.empty() && (chars[0] == '+' || chars[0] == '-')) {
    sign = chars[0] == '-' ? -1 : 1;
    position = 1;
  }
  if (position >= chars.size() || !((chars[position] >= '0' && chars[position] <= '9') || chars[position] == '.')) {
    return std::nullopt;
  }
  const calculator::NumberLiteral literal = calculator::readNumberLiteral(chars, position);
  if (literal.status != calculator::NumberLiteral::Status::ok) return std::nullopt;
  std::string rest;
  for (char32_t c : chars.substr(position + literal.length)) calculator::appendUtf8(rest, c);
  const std::string_view unit = trimText(rest);
  if (!unit.empty() && std::string_view("0123456789.,+-").find(unit.front()) != std::string_view::npos) {
    return std::nullopt;
  }
  return AmountAndUnit{sign * literal.value, std::string(unit)};
}

// -0 reads as 0 to the user.
double withoutNegativeZero(double value) {
  return value == 0 ? 0.0 : value;
}

}  // namespace

CalculatorDataSource::CalculatorDataSource() : CalculatorDataSource(Options{}) {}

CalculatorDataSource::CalculatorDataSource(Options options)
    : formatters_(std::make_unique<calculator::CalculatorFormatters>(options.localeName)),
      currencyRates_(std::move(options.currencyRates)) {
  if (!currencyRates_) currencyRates_ = std::make_shared<calculator::FixedCurrencyRateProvider>();
}

CalculatorDataSource::~CalculatorDataSource() = default;

const std::string& CalculatorDataSource::localeName() const {
  return formatters_->localeName();
}

bool CalculatorDataSource::shouldHandle(std::string_view query) const {
  const std::string_view text = trimText(query);
  if (text.empty()) return false;

  // A text that is exactly one postal address is never a calculation, but
  // this platform has no postal-address detector, so that test never rejects
  // anything here; the character tests below still reject most addresses
  // because they lack a conversion separator.

  const std::vector<char32_t> characters = decodeUtf8(text);
  bool hasOtherLetter = false;
  bool hasDigit = false;
  for (char32_t c : characters) {
    if (calculator::isLetter(c) && c != 'e' && c != 'E' && c != 'x' && c != 'X') hasOtherLetter = true;
    if (calculator::isDecimalDigit(c)) hasDigit = true;
  }
  if (hasOtherLetter) {
    const std::string lowered = calculator::lowercaseText(text);
    const bool hasSeparator = lowered.find(" to ") != std::string::npos || lowered.find(" in ") != std::string::npos ||
                              lowered.find("->") != std::string::npos || lowered.find("→") != std::string::npos;
    if (!hasSeparator) return false;
  }
  if (!hasDigit) return false;
  for (char32_t c : characters) {
    if (!isAcceptedCharacter(c)) return false;
  }
  return true;
}

std::optional<CalculatorResult> CalculatorDataSource::calculate(std::string_view input) const {
  const std::string_view text = trimText(input);
  if (text.empty()) return std::nullopt;

  // A text that reads as a conversion is answered by the conversion alone: "5 km to kg" has no answer
  // rather than the bare amount its digits would evaluate to.
  CalculatorResult converted;
  switch (convert(text, converted)) {
    case ConversionOutcome::converted:
      return converted;
    case ConversionOutcome::failed:
      return std::nullopt;
    case ConversionOutcome::notAConversion:
      break;
  }

  std::optional<double> value = calculator::evaluateExpression(text);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  const double shown = withoutNegativeZero(*value);
  return CalculatorResult{shown, numberText(shown), std::nullopt};
}

std::optional<CalculatorResult> CalculatorDataSource::evaluateConversion(std::string_view text) const {
  CalculatorResult result;
  if (convert(trimText(text), result) != ConversionOutcome::converted) return std::nullopt;
  return result;
}

CalculatorDataSource::ConversionOutcome CalculatorDataSource::convert(std::string_view text,
                                                                      CalculatorResult& result) const {
  auto parts = splitConversion(text);
  if (!parts) return ConversionOutcome::notAConversion;

  calculator::StrippedCurrencySymbol left = calculator::stripCurrencySymbol(parts->first);
  std::optional<AmountAndUnit> source = readLeadingAmount(left.text);
  if (!source) return ConversionOutcome::notAConversion;
  const double amount = withoutNegativeZero(source->amount);
  calculator::StrippedCurrencySymbol right = calculator::stripCurrencySymbol(parts->second);

  std::optional<std::string> sourceCode = calculator::resolveCurrencyCode(source->unit, left.symbol);
  std::optional<std::string> targetCode = calculator::resolveCurrencyCode(right.text, right.symbol);
  if (sourceCode && targetCode) {
    std::optional<double> sourceRate = currencyRates_->rate(*sourceCode);
    std::optional<double> targetRate = currencyRates_->rate(*targetCode);
    if (sourceRate && targetRate) {
      if (!(*sourceRate > 0) || !(*targetRate > 0)) return ConversionOutcome::failed;
      const double value = withoutNegativeZero(amount / *sourceRate * *targetRate);
      if (!std::isfinite(value)) return ConversionOutcome::failed;
      result = CalculatorResult{value, currencyText(value, *targetCode), currencyText(amount, *sourceCode)};
      return ConversionOutcome::converted;
    }
  }

  // A currency symbol belongs to a currency conversion: "$5 km to m" is neither.
  if (!left.symbol.empty() || !right.symbol.empty()) return ConversionOutcome::failed;
  const calculator::MeasurementUnit* from = calculator::findMeasurementUnit(source->unit);
  const calculator::MeasurementUnit* to = calculator::findMeasurementUnit(right.text);
  if (!from || !to) return ConversionOutcome::failed;
  std::optional<double> value = calculator::convertMeasurement(amount, *from, *to);
  if (!value || !std::isfinite(*value)) return ConversionOutcome::failed;
  *value = withoutNegativeZero(*value);
  auto measurementText = [this](double v, const calculator::MeasurementUnit& unit) {
    std::optional<std::string> text = formatters_->formatMeasurement(v, unit);
    return text ? *text : numberText(v) + " " + std::string(unit.name);
  };
  result = CalculatorResult{*value, measurementText(*value, *to), measurementText(amount, *from)};
  return ConversionOutcome::converted;
}

std::string CalculatorDataSource::currencyText(double amount, const std::string& code) const {
  std::optional<std::string> text = formatters_->formatCurrency(amount, code);
  if (text) return *text;
  return code + " " + numberText(amount);
}

std::string CalculatorDataSource::numberText(double value) const {
  std::optional<std::string> text = formatters_->formatNumber(value);
  return text ? *text : calculator::plainDecimal(value);
}

}  // namespace pallix
