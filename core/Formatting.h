// Sizes and dates as people read them, for log lines and command-line output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/Clock.h"

namespace pallix {

// Decimal units, as file managers show them: "512 B", "1.5 KB", "2.0 MB",
// up to TB, one decimal past bytes.
std::string humanSize(int64_t bytes);

// ISO 8601 in UTC to the second ("2026-03-11T10:00:00Z"); empty for none.
std::string isoDate(Date date);
std::string isoDate(std::optional<Date> date);

// How long before `now` `date` was, as a list shows it: "just now", "2 min
// ago", "3 h ago", "yesterday", "4 days ago", then the local date
// ("2026-03-11"). A date after `now` (a clock set back) reads "just now".
std::string relativeAge(Date date, Date now);

}  // namespace pallix
