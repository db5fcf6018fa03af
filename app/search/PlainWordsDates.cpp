#include "app/search/PlainWordsDates.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

#include "core/Strings.h"

namespace pallix {

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"january",   "february", "march",    "april",
                                                      "may",       "june",     "july",     "august",
                                                      "september", "october",  "november", "december"};
constexpr std::array<std::string_view, 12> kMonthAbbreviations = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                  "jul", "aug", "sep", "oct", "nov", "dec"};
// ICU's UCAL_DAY_OF_WEEK order: 1 is Sunday.
constexpr std::array<std::string_view, 7> kWeekdays = {"sunday",   "monday", "tuesday", "wednesday",
                                                       "thursday", "friday", "saturday"};
constexpr std::array<std::string_view, 12> kNumberWords = {"one",   "two",   "three", "four", "five",   "six",
                                                           "seven", "eight", "nine",  "ten",  "eleven", "twelve"};

std::unique_ptr<icu::Calendar> calendarAt(Date date, const DateContext& context) {
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone* zone = context.timeZoneId.empty()
                            ? icu::TimeZone::createDefault()
                            : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(context.timeZoneId));
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(zone, icu::Locale(context.calendarLocale.c_str()), status));
  if (U_FAILURE(status)) return nullptr;
  calendar->setTime(std::chrono::duration<double, std::milli>(date.time_since_epoch()).count(), status);
  if (U_FAILURE(status)) return nullptr;
  return calendar;
}

std::string pad(int value, int width) {
  std::string text = std::to_string(value);
  while (static_cast<int>(text.size()) < width) text.insert(text.begin(), '0');
  return text;
}

std::string monthText(int year, int month) {
  return pad(year, 4) + "-" + pad(month, 2);
}

// The year and month (1...12) of now.
std::optional<std::pair<int, int>> currentMonth(const DateContext& context) {
  auto calendar = calendarAt(context.now, context);
  if (!calendar) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const int year = calendar->get(UCAL_YEAR, status);
  const int month = calendar->get(UCAL_MONTH, status) + 1;
  if (U_FAILURE(status)) return std::nullopt;
  return std::pair(year, month);
}

DateSpan monthSpan(int year, int month) {
  return {std::nullopt, monthText(year, month), month == 12 ? monthText(year + 1, 1) : monthText(year, month + 1)};
}

// Today moved by `amount` of `field`, as a day text.
std::optional<std::string> todayShifted(const DateContext& context, UCalendarDateFields field, int amount) {
  auto calendar = calendarAt(context.now, context);
  if (!calendar) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  calendar->add(field, amount, status);
  const double udate = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return PlainWordsDates::dayText(
      Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double, std::milli>(udate))), context);
}

// The day `offset` days from today, as a whole day.
std::optional<DateSpan> daySpan(const DateContext& context, int offset) {
  auto start = todayShifted(context, UCAL_DATE, offset);
  auto end = todayShifted(context, UCAL_DATE, offset + 1);
  if (!start || !end) return std::nullopt;
  return DateSpan{std::nullopt, *start, *end, true};
}

DateSpan relativeSpan(RelativeDate relative, const DateContext& context) {
  const DateRange range = relativeDateRange(relative, context);
  DateSpan span{relative, PlainWordsDates::dayText(range.start, context), ""};
  // The periods reaching back from now end now: "after this week" means nothing.
  if (relative == RelativeDate::today || relative == RelativeDate::yesterday || relative == RelativeDate::lastWeek ||
      relative == RelativeDate::lastMonth || relative == RelativeDate::lastYear) {
    span.end = PlainWordsDates::dayText(range.end, context);
  }
  return span;
}

std::optional<int> indexIn(std::span<const std::string_view> table, std::string_view word) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i] == word) return static_cast<int>(i);
  }
  return std::nullopt;
}

std::optional<int> smallNumber(std::string_view word) {
  if (auto index = indexIn(kNumberWords, word)) return *index + 1;
  if (word.empty() || word.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value > 0 ? std::optional<int>(value) : std::nullopt;
}

std::optional<int> yearNumber(std::string_view word) {
  if (word.size() != 4) return std::nullopt;
  int value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1970 || value > 2100) return std::nullopt;
  return value;
}

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2024-06-15" or "2024-06".
std::optional<DateSpan> isoSpan(std::string_view word, const DateContext& context) {
  if (word.size() != 7 && word.size() != 10) return std::nullopt;
  if (word[4] != '-' || !yearNumber(word.substr(0, 4)) || !allDigits(word.substr(5, 2))) return std::nullopt;
  const int month = (word[5] - '0') * 10 + (word[6] - '0');
  if (month < 1 || month > 12) return std::nullopt;
  const int year = *yearNumber(word.substr(0, 4));
  if (word.size() == 7) return monthSpan(year, month);
  if (word[7] != '-' || !allDigits(word.substr(8, 2))) return std::nullopt;
  const std::optional<Date> date = QueryParser::parseDate(word, context);
  if (!date) return std::nullopt;
  return DateSpan{std::nullopt, std::string(word),
                  PlainWordsDates::dayText(calendarDayRange(*date, context).end, context), true};
}

// Units of "the past N days" and "N days ago".
std::optional<UCalendarDateFields> unitField(std::string_view word) {
  if (word == "day" || word == "days") return UCAL_DATE;
  if (word == "week" || word == "weeks") return UCAL_WEEK_OF_YEAR;
  if (word == "month" || word == "months") return UCAL_MONTH;
  if (word == "year" || word == "years") return UCAL_YEAR;
  return std::nullopt;
}

std::optional<DatePhraseMatch> readAt(std::span<const std::string> w, const DateContext& context) {
  auto at = [&](size_t i) -> std::string_view { return i < w.size() ? std::string_view(w[i]) : std::string_view(); };
  auto relative = [&](size_t words, RelativeDate date) {
    return DatePhraseMatch{words, relativeSpan(date, context), false};
  };
  const std::string_view first = at(0);
  if (first == "today") return relative(1, RelativeDate::today);
  if (first == "yesterday") return relative(1, RelativeDate::yesterday);
  if (first == "recently" || first == "lately" || first == "recent") return relative(1, RelativeDate::month);
  if (first == "this" || first == "last" || first == "past") {
    const std::string_view unit = at(1);
    const bool last = first == "last";
    if (unit == "week") return relative(2, last ? RelativeDate::lastWeek : RelativeDate::week);
    if (unit == "month") return relative(2, last ? RelativeDate::lastMonth : RelativeDate::month);
    if (unit == "year") return relative(2, last ? RelativeDate::lastYear : RelativeDate::year);
    if (first != "this") {
      // "the last few days", "past couple of days", "last 3 weeks"
      size_t i = 1;
      std::optional<int> count;
      if (at(i) == "few") {
        count = 7;
        ++i;
      } else if (at(i) == "couple") {
        count = 3;
        ++i;
        if (at(i) == "of") ++i;
      } else if ((count = smallNumber(at(i)))) {
        ++i;
      }
      if (count && unitField(at(i))) {
        const UCalendarDateFields field = *unitField(at(i));
        if (at(1) == "few" || at(1) == "couple") {
          if (field != UCAL_DATE) return std::nullopt;
        }
        if (field == UCAL_DATE && *count == 7) return relative(i + 1, RelativeDate::week);
        auto start = todayShifted(context, field, -*count);
        if (!start) return std::nullopt;
        return DatePhraseMatch{i + 1, DateSpan{std::nullopt, *start, ""}, false};
      }
    }
    if (last) {
      if (indexIn(kWeekdays, unit)) {
        auto match = readAt(w.subspan(1), context);
        if (match) match->words += 1;
        return match;
      }
    }
    return std::nullopt;
  }
  // "3 days ago"
  if (auto count = smallNumber(first); count && unitField(at(1)) == UCAL_DATE && at(2) == "ago") {
    auto day = daySpan(context, -*count);
    if (!day) return std::nullopt;
    return DatePhraseMatch{3, *day, false};
  }
  std::optional<int> month = indexIn(kMonths, first);
  bool abbreviated = false;
  if (!month) {
    month = indexIn(kMonthAbbreviations, first);
    if (!month && first == "sept") month = 8;
    abbreviated = month.has_value();
  }
  if (month) {
    size_t words = 1;
    std::optional<int> year;
    if (at(1) == "of" && yearNumber(at(2))) {
      year = yearNumber(at(2));
      words = 3;
    } else if ((year = yearNumber(at(1)))) {
      words = 2;
    }
    if (!year) {
      auto now = currentMonth(context);
      if (!now) return std::nullopt;
      // The latest such month that has begun.
      year = *month + 1 <= now->second ? now->first : now->first - 1;
    }
    // "may" is a verb and short forms are parts of names: only after a lead.
    const bool needsLead = (abbreviated || first == "may") && words == 1;
    return DatePhraseMatch{words, monthSpan(*year, *month + 1), needsLead};
  }
  if (auto weekday = indexIn(kWeekdays, first)) {
    auto calendar = calendarAt(context.now, context);
    if (!calendar) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const int today = calendar->get(UCAL_DAY_OF_WEEK, status);
    if (U_FAILURE(status)) return std::nullopt;
    int back = (today - (*weekday + 1) + 7) % 7;
    if (back == 0) back = 7;
    auto day = daySpan(context, -back);
    if (!day) return std::nullopt;
    return DatePhraseMatch{1, *day, false};
  }
  if (auto year = yearNumber(first)) {
    return DatePhraseMatch{1, DateSpan{std::nullopt, pad(*year, 4), pad(*year + 1, 4)}, true};
  }
  if (auto iso = isoSpan(first, context)) return DatePhraseMatch{1, *iso, true};
  return std::nullopt;
}

}  // namespace

std::optional<DatePhraseMatch> PlainWordsDates::read(std::span<const std::string> words, const DateContext& context) {
  if (words.empty()) return std::nullopt;
  // "the past week", "the last 3 days"
  if (words[0] == "the" && words.size() > 1 && (words[1] == "past" || words[1] == "last")) {
    auto match = readAt(words.subspan(1), context);
    if (match) match->words += 1;
    return match;
  }
  return readAt(words, context);
}

std::vector<std::string> PlainWordsDates::filters(const DateSpan& span, DateLead lead, bool created) {
  const char* dayKey = created ? "created:" : "modified:";
  switch (lead) {
    case DateLead::during:
      if (span.relative) return {dayKey + std::string(relativeDateRawValue(*span.relative))};
      if (span.wholeDay) return {dayKey + span.start};
      if (span.end.empty()) return {"after:" + span.start};
      return {"after:" + span.start, "before:" + span.end};
    case DateLead::since:
      return {"after:" + span.start};
    case DateLead::before:
      return {"before:" + span.start};
    case DateLead::after:
      if (span.end.empty()) return {};
      return {"after:" + span.end};
  }
  return {};
}

std::string PlainWordsDates::dayText(Date date, const DateContext& context) {
  auto calendar = calendarAt(date, context);
  if (!calendar) {
    const auto days = std::chrono::floor<std::chrono::days>(date);
    const std::chrono::year_month_day ymd{days};
    return pad(static_cast<int>(ymd.year()), 4) + "-" + pad(static_cast<int>(static_cast<unsigned>(ymd.month())), 2) +
           "-" + pad(static_cast<int>(static_cast<unsigned>(ymd.day())), 2);
  }
  UErrorCode status = U_ZERO_ERROR;
  const int year = calendar->get(UCAL_YEAR, status);
  const int month = calendar->get(UCAL_MONTH, status) + 1;
  const int day = calendar->get(UCAL_DATE, status);
  return pad(year, 4) + "-" + pad(month, 2) + "-" + pad(day, 2);
}

}  // namespace pallix
