// CalendarQueryAnalyzer: splits a calendar query ("events tomorrow with sam")
// into a text part and a search interval for the calendar source.
//
// A value type: the reference date and time zone are inputs. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/intelligence/TemporalQueryAnalyzer.h"
#include "core/Clock.h"

namespace pallix {

struct CalendarQueryIntent {
  std::string originalQuery;
  std::optional<std::string> textQuery;
  std::optional<DateRange> searchInterval;
  bool hasCalendarKeyword = false;
  bool matchedTemporalKeyword = false;
  friend bool operator==(const CalendarQueryIntent&, const CalendarQueryIntent&) = default;
};

class CalendarQueryAnalyzer {
 public:
  enum class TemporalKeyword { nextHour, today, tomorrow, yesterday };

  // `timeZoneId` empty: the process's default zone.
  explicit CalendarQueryAnalyzer(Date referenceDate, std::string timeZoneId = {});

  CalendarQueryIntent analyze(std::string_view query) const;
  // The interval of a keyword relative to the reference date.
  std::optional<DateRange> interval(TemporalKeyword keyword) const;

  Date referenceDate() const { return referenceDate_; }

 private:
  struct Descriptor {
    TemporalKeyword keyword;
    std::string pattern;
  };
  Date referenceDate_;
  std::string timeZoneId_;
  std::vector<Descriptor> descriptors_;  // patterns that failed to compile are left out
};

}  // namespace pallix
