#include "app/intelligence/DateFormatting.h"

#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <chrono>
#include <memory>

namespace pallix {

std::string formatDate(Date date, std::string_view pattern, const std::string& timeZoneId, const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))),
      icu::Locale(locale), status);
  if (U_FAILURE(status)) return {};
  format.adoptTimeZone(timeZoneId.empty() ? icu::TimeZone::createDefault()
                                          : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZoneId)));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
  icu::UnicodeString text;
  format.format(static_cast<UDate>(ms), text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace pallix
