#include "app/sources/CalculatorDataSource.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "app/sources/CalculatorEvaluator.h"
#include "app/sources/CalculatorFormatting.h"
#include "app/sources/CalculatorText.h"
#include "app/sources/CalculatorUnits.h"

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

// Reads a double from the whole of `text` ("1000", "+5", "-2.5", "1e3"); none if any of it is left over.
std::optional<double> parseWholeDouble(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Well formed but beyond a double: an underflow reads as zero, an overflow as infinity.
    const bool underflow = text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
    if (underflow) return 0.0;
    return text.front() == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

struct AmountAndUnit {
  double amount = 0;
  std::string unit;
};

// Splits "1,000.5 km" into 1000.5 and "km": the leading run of digits, ".",
// "+", "-", ",", "e", "E" is the number (commas removed); the trimmed rest is the unit.
std::optional<AmountAndUnit> readLeadingAmount(std::string_view text) {
  size_t length = 0;
  while (length < text.size()) {
    const char c = text[length];
    const bool numeric = (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == ',' || c == 'e' || c == 'E';
    if (!numeric) break;
    ++length;
  }
  std::string digits;
  for (char c : text.substr(0, length)) {
    if (c != ',') digits.push_back(c);
  }
  std::optional<double> amount = parseWholeDouble(digits);
  if (!amount) return std::nullopt;
  return AmountAndUnit{*amount, std::string(trimText(text.substr(length)))};
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
  return CalculatorResult{*value, numberText(*value), std::nullopt};
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
  const double amount = source->amount;
  if (!std::isfinite(amount)) return ConversionOutcome::failed;
  calculator::StrippedCurrencySymbol right = calculator::stripCurrencySymbol(parts->second);

  std::optional<std::string> sourceCode = calculator::resolveCurrencyCode(source->unit, left.symbol);
  std::optional<std::string> targetCode = calculator::resolveCurrencyCode(right.text, right.symbol);
  if (sourceCode && targetCode) {
    std::optional<double> sourceRate = currencyRates_->rate(*sourceCode);
    std::optional<double> targetRate = currencyRates_->rate(*targetCode);
    if (sourceRate && targetRate) {
      if (!(*sourceRate > 0) || !(*targetRate > 0)) return ConversionOutcome::failed;
      const double value = amount / *sourceRate * *targetRate;
      if (!std::isfinite(value)) return ConversionOutcome::failed;
      result = CalculatorResult{value, currencyText(value, *targetCode), currencyText(amount, *sourceCode)};
      return ConversionOutcome::converted;
    }
  }

  const calculator::MeasurementUnit* from = calculator::findMeasurementUnit(source->unit);
  const calculator::MeasurementUnit* to = calculator::findMeasurementUnit(right.text);
  if (!from || !to) return ConversionOutcome::failed;
  std::optional<double> value = calculator::convertMeasurement(amount, *from, *to);
  if (!value || !std::isfinite(*value)) return ConversionOutcome::failed;
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
