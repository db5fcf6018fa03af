#include "app/intelligence/DateDetector.h"

#include <unicode/calendar.h>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <memory>
#include <vector>

#include "app/intelligence/IntelligenceText.h"
#include "core/Strings.h"

namespace pallix {

namespace {

using intelligence::regexFind;
using intelligence::RegexMatch;

constexpr double kDay = 86400.0;

UDate toUDate(Date date) {
  return static_cast<UDate>(std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count());
}

Date fromUDate(UDate ms) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double, std::milli>(ms)));
}

std::unique_ptr<icu::Calendar> makeCalendar(const std::string& zone, Date date) {
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone* tz =
      zone.empty() ? icu::TimeZone::createDefault() : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone));
  std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(tz, icu::Locale("en_US"), status));
  if (U_FAILURE(status)) return nullptr;
  cal->setTime(toUDate(date), status);
  return cal;
}

const char* const kWeekdays[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};

// Day expressions. Group 1: the whole day phrase.
constexpr const char* kDayPattern =
    "\\b((?:this\\s+)?(?:morning|afternoon|evening)|today|tonight|tomorrow|tmrw|this\\s+weekend|next\\s+week|"
    "(?:on\\s+|next\\s+|this\\s+)?(?:sunday|monday|tuesday|wednesday|thursday|friday|saturday))\\b";
// Clock times: "5pm", "5:30 pm", "at 17:30", "noon", "midnight". The optional
// "at"/"by"/"around" lead-in belongs to the match.
constexpr const char* kTimePattern =
    "\\b(?:(?:at|by|around)\\s+)?(?:(\\d{1,2})(?::([0-5]\\d))?\\s*(am|pm|a\\.m\\.|p\\.m\\.)(?![a-z])|"
    "([01]?\\d|2[0-3]):([0-5]\\d)\\b|(noon|midnight)\\b)";

struct DayPart {
  int dayOffset = 0;  // relative to today
  int hour = -1;      // default hour for the phrase, -1 = start of day
  double duration = kDay;
  bool pointLike = false;
};

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
};

std::optional<TimeOfDay> parseTime(const RegexMatch& m) {
  auto group = [&](size_t i) -> std::optional<std::string> { return i < m.groups.size() ? m.groups[i] : std::nullopt; };
  if (group(1)) {
    int hour = std::stoi(*group(1));
    int minute = group(2) ? std::stoi(*group(2)) : 0;
    if (hour < 1 || hour > 12) return std::nullopt;
    bool pm = group(3)->front() == 'p';
    hour = hour % 12 + (pm ? 12 : 0);
    return TimeOfDay{hour, minute};
  }
  if (group(4)) return TimeOfDay{std::stoi(*group(4)), std::stoi(*group(5))};
  if (group(6)) return TimeOfDay{*group(6) == "noon" ? 12 : 0, 0};
  return std::nullopt;
}

}  // namespace

DateDetector::DateDetector(Date now, std::string timeZoneId) : now_(now), timeZoneId_(std::move(timeZoneId)) {}

Date DateDetector::nextOccurrence(int hour, int minute) const {
  const Date today = atTime(now_, hour, minute);
  return today < now_ - kBareTimeGrace ? atTime(now_, hour, minute, 1) : today;
}

Date DateDetector::startOfDay(Date date, int dayOffset) const {
  return atTime(date, 0, 0, dayOffset);
}

Date DateDetector::atTime(Date date, int hour, int minute, int dayOffset) const {
  auto cal = makeCalendar(timeZoneId_, date);
  if (!cal) return date;
  UErrorCode status = U_ZERO_ERROR;
  cal->set(UCAL_HOUR_OF_DAY, hour);
  cal->set(UCAL_MINUTE, minute);
  cal->set(UCAL_SECOND, 0);
  cal->set(UCAL_MILLISECOND, 0);
  if (dayOffset != 0) cal->add(UCAL_DATE, dayOffset, status);
  UDate out = cal->getTime(status);
  return U_FAILURE(status) ? date : fromUDate(out);
}

int DateDetector::hourOf(Date date) const {
  auto cal = makeCalendar(timeZoneId_, date);
  UErrorCode status = U_ZERO_ERROR;
  return cal ? cal->get(UCAL_HOUR_OF_DAY, status) : 0;
}

int DateDetector::weekdayOf(Date date) const {
  auto cal = makeCalendar(timeZoneId_, date);
  UErrorCode status = U_ZERO_ERROR;
  return cal ? cal->get(UCAL_DAY_OF_WEEK, status) : 1;
}

Date DateDetector::startOfWeek(Date date) const {
  auto cal = makeCalendar(timeZoneId_, date);
  if (!cal) return date;
  int first = cal->getFirstDayOfWeek();
  int back = (weekdayOf(date) - first + 7) % 7;
  return startOfDay(date, -back);
}

std::optional<DetectedDate> DateDetector::firstMatch(std::string_view rawText) const {
  std::string text = intelligence::lowercasePosix(rawText);
  // Lowercasing can change byte lengths outside ASCII; offsets then refer to
  // the lowercased form, which callers also work on.
  auto dayMatch = regexFind(kDayPattern, text);
  auto timeMatch = regexFind(kTimePattern, text);
  std::optional<TimeOfDay> time;
  if (timeMatch) {
    time = parseTime(*timeMatch);
    if (!time) timeMatch.reset();
  }
  if (!dayMatch && !timeMatch) return std::nullopt;

  // "this morning" is today's; a bare "morning" whose hours are over is tomorrow's.
  auto partOfDay = [&](const std::string& phrase, int hour, int hours) {
    DayPart part{0, hour, hours * 3600.0};
    if (!startsWith(phrase, "this") && atTime(now_, hour + hours, 0) <= now_) part.dayOffset = 1;
    return part;
  };
  std::optional<DayPart> day;
  if (dayMatch) {
    std::string phrase = intelligence::collapseWhitespace(*dayMatch->groups[1]);
    DayPart part;
    if (phrase == "today") {
    } else if (phrase == "tonight") {
      part = {0, 20, 4 * 3600.0};
    } else if (phrase == "tomorrow" || phrase == "tmrw") {
      part.dayOffset = 1;
    } else if (phrase.find("morning") != std::string::npos) {
      part = partOfDay(phrase, 8, 4);
    } else if (phrase.find("afternoon") != std::string::npos) {
      part = partOfDay(phrase, 13, 5);
    } else if (phrase.find("evening") != std::string::npos) {
      part = partOfDay(phrase, 18, 6);
    } else if (phrase == "this weekend") {
      int weekday = weekdayOf(now_);  // 7 = Saturday, 1 = Sunday
      part.dayOffset = weekday == 1 ? -1 : 7 - weekday;
      part.duration = 2 * kDay;
    } else if (phrase == "next week") {
      Date next = startOfWeek(startOfDay(now_, 7));
      DetectedDate result{next, 7 * kDay, dayMatch->begin, dayMatch->end};
      if (timeMatch) {
        // A clock time does not narrow "next week"; keep the first mention only.
        if (timeMatch->begin < dayMatch->begin)
          return DetectedDate{nextOccurrence(time->hour, time->minute), 0, timeMatch->begin, timeMatch->end};
      }
      return result;
    } else {
      for (int i = 0; i < 7; ++i) {
        if (phrase.find(kWeekdays[i]) == std::string::npos) continue;
        int target = i + 1;
        int offset = (target - weekdayOf(now_) + 7) % 7;
        if (offset == 0 && startsWith(phrase, "next")) offset = 7;
        part.dayOffset = offset;
      }
    }
    day = part;
  }

  auto adjacent = [&](const RegexMatch& a, const RegexMatch& b) {
    // `a` ends where `b` begins, with only spaces between.
    if (a.end > b.begin) return false;
    for (size_t i = a.end; i < b.begin; ++i) {
      if (text[i] != ' ') return false;
    }
    return true;
  };

  if (day && time && (adjacent(*dayMatch, *timeMatch) || adjacent(*timeMatch, *dayMatch))) {
    Date start = atTime(now_, time->hour, time->minute, day->dayOffset);
    return DetectedDate{start, 0, std::min(dayMatch->begin, timeMatch->begin), std::max(dayMatch->end, timeMatch->end)};
  }
  bool timeFirst = timeMatch && (!dayMatch || timeMatch->begin < dayMatch->begin);
  if (timeFirst) return DetectedDate{nextOccurrence(time->hour, time->minute), 0, timeMatch->begin, timeMatch->end};
  Date start = day->hour >= 0 ? atTime(now_, day->hour, 0, day->dayOffset) : startOfDay(now_, day->dayOffset);
  return DetectedDate{start, day->duration, dayMatch->begin, dayMatch->end};
}

}  // namespace pallix
