// DateFormatting: dates as text through ICU, in a given time zone, for the
// sources' display strings and the calendar's event URLs. Pure and
// thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "core/Clock.h"

namespace pallix {

// `pattern` is an ICU date pattern ("yyyyMMdd'T'HHmmss'Z'", "EEE d MMM").
// `timeZoneId` is an Olson name or "UTC"; empty means the process's zone.
std::string formatDate(Date date, std::string_view pattern, const std::string& timeZoneId,
                       const char* locale = "en_US_POSIX");

}  // namespace pallix
