// Shared helpers for the intelligence tests: UTC dates.
#pragma once

#include <ctime>

#include "core/Clock.h"

namespace pallix::testing_support {

inline Date utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

}  // namespace pallix::testing_support
