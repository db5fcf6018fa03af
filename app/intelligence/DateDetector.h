// DateDetector: a small detector of day words, weekdays and clock times in
// free text ("today", "tonight", "tomorrow", "this weekend", "next week",
// "on monday", "at 5pm", "17:30", "tomorrow at 9am", ...). It stands in for
// the desktop platform's date data detector that the weather analyzer uses.
//
// A clock time without a day is its next occurrence ("at 9am" asked at
// 18:00 is tomorrow's), except that one passed less than an hour ago is still
// today's; a bare part of the day whose hours are over ("morning" at 23:00)
// is tomorrow's, while "this morning" stays today's.
//
// Deterministic: "now" and the time zone are inputs, and calendar arithmetic
// is ICU's. A value type; safe to use from any thread once built.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Clock.h"

namespace pallix {

struct DetectedDate {
  Date start;
  // Seconds; 0 for a point in time ("at 5pm"), a day for "tomorrow".
  double durationSeconds = 0;
  // Byte range of the matched text in the input.
  size_t begin = 0;
  size_t end = 0;
};

class DateDetector {
 public:
  static constexpr Duration kBareTimeGrace = std::chrono::hours(1);

  // `timeZoneId` is an Olson name ("Europe/Paris"); empty means the process's default zone.
  DateDetector(Date now, std::string timeZoneId = {});

  // The first date mentioned in `text` (matching is case-insensitive).
  std::optional<DetectedDate> firstMatch(std::string_view text) const;

  Date now() const { return now_; }
  const std::string& timeZoneId() const { return timeZoneId_; }

  // Calendar helpers in the detector's time zone.
  Date startOfDay(Date date, int dayOffset = 0) const;
  // `date`'s day at hour:minute, shifted by `dayOffset` days.
  Date atTime(Date date, int hour, int minute, int dayOffset = 0) const;
  int hourOf(Date date) const;
  // Today at hour:minute, or tomorrow when that passed more than kBareTimeGrace ago.
  Date nextOccurrence(int hour, int minute) const;
  // 1 = Sunday ... 7 = Saturday (ICU's UCAL_DAY_OF_WEEK).
  int weekdayOf(Date date) const;
  // Start of the week containing `date` per the locale's first weekday.
  Date startOfWeek(Date date) const;

 private:
  Date now_;
  std::string timeZoneId_;
};

}  // namespace pallix
