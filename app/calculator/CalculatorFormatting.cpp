#include "app/calculator/CalculatorFormatting.h"

#include <unicode/measunit.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cmath>
#include <map>
#include <mutex>
#include <vector>

namespace pallix::calculator {
namespace {

namespace number = icu::number;

std::optional<std::string> formatWith(const number::LocalizedNumberFormatter& formatter, double value) {
  UErrorCode status = U_ZERO_ERROR;
  number::FormattedNumber formatted = formatter.formatDouble(value, status);
  if (U_FAILURE(status)) return std::nullopt;
  icu::UnicodeString text = formatted.toString(status);
  if (U_FAILURE(status) || text.isEmpty()) return std::nullopt;
  std::string out;
  text.toUTF8String(out);
  return out;
}

// Below these magnitudes the fraction digits would round a non-zero value to
// fewer than three significant digits (or to "0"): such values are shown in
// scientific notation instead ("1.5E-12").
constexpr double kSmallestDecimalNumber = 1e-7;
constexpr double kSmallestDecimalMeasurement = 1e-4;

bool isTiny(double value, double smallestDecimal) {
  return value != 0 && std::fabs(value) < smallestDecimal;
}

}  // namespace

struct CalculatorFormatters::Impl {
  icu::Locale locale;
  std::string localeName;
  number::LocalizedNumberFormatter numberFormatter;
  number::LocalizedNumberFormatter scientificNumberFormatter;
  number::LocalizedNumberFormatter currencyBase;
  // ICU identifier → measurement formatter, one per unit of the unit table
  // and per composed speed; the scientific twin for tiny values.
  std::map<std::string_view, number::LocalizedNumberFormatter> measurementFormatters;
  std::map<std::string_view, number::LocalizedNumberFormatter> scientificMeasurementFormatters;
  // ISO code → currency formatter, derived from currencyBase on first use of
  // each code: deriving one costs tens of microseconds, formatting with it one.
  std::mutex currencyMutex;
  std::map<std::string, number::LocalizedNumberFormatter, std::less<>> currencyFormatters;
};

CalculatorFormatters::CalculatorFormatters(std::string_view localeName) : impl_(std::make_unique<Impl>()) {
  impl_->locale = localeName.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(localeName).c_str());
  impl_->localeName = impl_->locale.getName();

  impl_->numberFormatter = number::NumberFormatter::withLocale(impl_->locale)
                               .precision(number::Precision::minMaxFraction(0, 9))
                               .grouping(UNUM_GROUPING_AUTO);
  impl_->scientificNumberFormatter = number::NumberFormatter::withLocale(impl_->locale)
                                         .notation(number::Notation::scientific())
                                         .precision(number::Precision::maxSignificantDigits(9));
  impl_->currencyBase = number::NumberFormatter::withLocale(impl_->locale)
                            .precision(number::Precision::minMaxFraction(0, 4))
                            .grouping(UNUM_GROUPING_AUTO);
  const number::LocalizedNumberFormatter measurementBase = number::NumberFormatter::withLocale(impl_->locale)
                                                               .unitWidth(UNUM_UNIT_WIDTH_FULL_NAME)
                                                               .precision(number::Precision::minMaxFraction(0, 6))
                                                               .grouping(UNUM_GROUPING_AUTO);
  const number::LocalizedNumberFormatter scientificMeasurementBase =
      measurementBase.notation(number::Notation::scientific()).precision(number::Precision::maxSignificantDigits(6));
  std::vector<const MeasurementUnit*> units = composedSpeedUnits();
  for (const auto& [key, unit] : measurementUnits()) units.push_back(unit);
  for (const MeasurementUnit* unit : units) {
    if (impl_->measurementFormatters.count(unit->icuIdentifier)) continue;
    UErrorCode status = U_ZERO_ERROR;
    icu::MeasureUnit measureUnit = icu::MeasureUnit::forIdentifier(
        icu::StringPiece(unit->icuIdentifier.data(), static_cast<int32_t>(unit->icuIdentifier.size())), status);
    if (U_FAILURE(status)) continue;  // formatMeasurement then reports a failure for this unit.
    impl_->measurementFormatters.emplace(unit->icuIdentifier, measurementBase.unit(measureUnit));
    impl_->scientificMeasurementFormatters.emplace(unit->icuIdentifier, scientificMeasurementBase.unit(measureUnit));
  }
}

CalculatorFormatters::~CalculatorFormatters() = default;

const std::string& CalculatorFormatters::localeName() const {
  return impl_->localeName;
}

std::optional<std::string> CalculatorFormatters::formatNumber(double value) const {
  return formatWith(isTiny(value, kSmallestDecimalNumber) ? impl_->scientificNumberFormatter : impl_->numberFormatter,
                    value);
}

std::optional<std::string> CalculatorFormatters::formatMeasurement(double value, const MeasurementUnit& unit) const {
  const auto& formatters = isTiny(value, kSmallestDecimalMeasurement) ? impl_->scientificMeasurementFormatters
                                                                      : impl_->measurementFormatters;
  auto it = formatters.find(unit.icuIdentifier);
  if (it == formatters.end()) return std::nullopt;
  return formatWith(it->second, value);
}

std::optional<std::string> CalculatorFormatters::formatCurrency(double value, std::string_view code) const {
  if (code.size() != 3) return std::nullopt;
  icu::UnicodeString isoCode = icu::UnicodeString::fromUTF8(icu::StringPiece(code.data(), 3));
  if (isoCode.length() != 3) return std::nullopt;
  // Map nodes never move and are never erased, so the formatter may be used outside the lock.
  const number::LocalizedNumberFormatter* formatter = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl_->currencyMutex);
    auto it = impl_->currencyFormatters.find(code);
    if (it == impl_->currencyFormatters.end()) {
      UErrorCode status = U_ZERO_ERROR;
      icu::CurrencyUnit currency(isoCode.getTerminatedBuffer(), status);
      if (U_FAILURE(status)) return std::nullopt;
      it = impl_->currencyFormatters.emplace(std::string(code), impl_->currencyBase.unit(currency)).first;
    }
    formatter = &it->second;
  }
  return formatWith(*formatter, value);
}

std::string plainDecimal(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (ec != std::errc()) return std::string();
  return std::string(buffer, end);
}

}  // namespace pallix::calculator
