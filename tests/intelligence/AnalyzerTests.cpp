// Golden tables for the date detector, the weather, temporal and calendar
// analyzers, and the rule-based source choice (fallback and forced sets) with
// the router label mapping. "Now" is fixed: Wednesday 2026-03-11 10:00 UTC.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/intelligence/CalendarQueryAnalyzer.h"
#include "app/intelligence/DateDetector.h"
#include "app/intelligence/IntelligenceText.h"
#include "app/intelligence/QueryRouting.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "app/intelligence/TemporalQueryAnalyzer.h"
#include "app/intelligence/WeatherQueryAnalyzer.h"
#include "tests/intelligence/IntelligenceTestSupport.h"

namespace pallix {
namespace {

using testing_support::utc;
using Focus = WeatherForecastFocus;
using Kind = RelativeTimeReference::Kind;

const Date kNow = utc(2026, 3, 11, 10, 0);

// ---------------------------------------------------------------- DateDetector

struct DetectorCase {
  const char* text;
  std::optional<Date> start;
  double duration;
  const char* matched;
};

TEST(DateDetectorTest, GoldenTable) {
  DateDetector detector(kNow, "UTC");
  const DetectorCase cases[] = {
      {"weather today", utc(2026, 3, 11), 86400, "today"},
      {"tonight", utc(2026, 3, 11, 20), 4 * 3600, "tonight"},
      {"lunch tomorrow", utc(2026, 3, 12), 86400, "tomorrow"},
      {"tomorrow at 9am", utc(2026, 3, 12, 9), 0, "tomorrow at 9am"},
      {"5pm tomorrow", utc(2026, 3, 12, 17), 0, "5pm tomorrow"},
      {"meet at 5:30 pm", utc(2026, 3, 11, 17, 30), 0, "at 5:30 pm"},
      {"standup 17:30", utc(2026, 3, 11, 17, 30), 0, "17:30"},
      {"lunch at noon", utc(2026, 3, 11, 12), 0, "at noon"},
      {"midnight", utc(2026, 3, 12, 0), 0, "midnight"},  // today's passed: the next one
      {"12am", utc(2026, 3, 12, 0), 0, "12am"},
      {"at 9:30am", utc(2026, 3, 11, 9, 30), 0, "at 9:30am"},  // passed less than an hour ago
      {"morning", utc(2026, 3, 11, 8), 4 * 3600, "morning"},
      {"12pm", utc(2026, 3, 11, 12), 0, "12pm"},
      {"this morning", utc(2026, 3, 11, 8), 4 * 3600, "this morning"},
      {"this afternoon", utc(2026, 3, 11, 13), 5 * 3600, "this afternoon"},
      {"this evening", utc(2026, 3, 11, 18), 6 * 3600, "this evening"},
      {"on monday", utc(2026, 3, 16), 86400, "on monday"},
      {"wednesday", utc(2026, 3, 11), 86400, "wednesday"},
      {"next wednesday", utc(2026, 3, 18), 86400, "next wednesday"},
      {"this weekend", utc(2026, 3, 14), 2 * 86400, "this weekend"},
      {"next week", utc(2026, 3, 15), 7 * 86400, "next week"},
      {"Friday at 8PM", utc(2026, 3, 13, 20), 0, "friday at 8pm"},
      {"13pm", std::nullopt, 0, ""},
      {"25:00", std::nullopt, 0, ""},
      {"todays", std::nullopt, 0, ""},
      {"5pmx", std::nullopt, 0, ""},
      {"version 2.5", std::nullopt, 0, ""},
      {"", std::nullopt, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto found = detector.firstMatch(c.text);
    ASSERT_EQ(found.has_value(), c.start.has_value());
    if (!found) continue;
    EXPECT_EQ(found->start, *c.start);
    EXPECT_DOUBLE_EQ(found->durationSeconds, c.duration);
    std::string lowered = intelligence::lowercasePosix(c.text);
    EXPECT_EQ(lowered.substr(found->begin, found->end - found->begin), c.matched);
  }
}

// Each detector reads days in its own zone, with their real lengths.
TEST(DateDetectorTest, UsesItsTimeZoneAndRealDayLengths) {
  const struct {
    const char* zone;
    Date now;
    const char* text;
    Date start;
  } cases[] = {
      {"Europe/Paris", kNow, "at 5pm", utc(2026, 3, 11, 16)},                             // 17:00 CET
      {"Asia/Tokyo", utc(2026, 3, 11, 23, 30), "today", utc(2026, 3, 11, 15)},            // already the 12th in Tokyo
      {"America/New_York", utc(2026, 3, 7, 17), "tomorrow at 9am", utc(2026, 3, 8, 13)},  // 09:00 EDT
  };
  for (const auto& c : cases) {
    auto found = DateDetector(c.now, c.zone).firstMatch(c.text);
    ASSERT_TRUE(found) << c.zone;
    EXPECT_EQ(found->start, c.start) << c.zone;
  }
  // US clocks spring forward on 2026-03-08: that day has 23 hours.
  DateDetector ny(utc(2026, 3, 7, 17), "America/New_York");
  EXPECT_EQ(ny.startOfDay(utc(2026, 3, 7, 17), 2) - ny.startOfDay(utc(2026, 3, 7, 17), 1), std::chrono::hours(23));
}

// ---------------------------------------------------------------- Weather

struct WeatherCase {
  const char* query;
  bool hasIntent;
  const char* location;
  Focus focus;
  bool useCurrent;
  bool keyword;
};

TEST(WeatherQueryAnalyzerTest, GoldenTable) {
  WeatherQueryAnalyzer analyzer(DateDetector(kNow, "UTC"));
  const char* here = WeatherQueryIntent::kCurrentLocation;
  const WeatherCase cases[] = {
      {"weather tomorrow", true, here, Focus::tomorrow, true, true},
      {"what's the weather in paris tonight", true, "paris", Focus::tonight, false, true},
      {"rain near me", true, here, Focus::current, true, true},
      {"paris", false, "", Focus::current, false, false},
      {"weather", true, here, Focus::current, true, true},
      {"weather in new york", true, "new york", Focus::current, false, true},
      {"WEATHER IN PARIS", true, "paris", Focus::current, false, true},
      {"weather in paris?", true, "paris", Focus::current, false, true},
      {"london forecast", true, "london", Focus::current, false, true},
      {"weather paris", true, "paris", Focus::current, false, true},
      {"forecast for berlin tomorrow", true, "berlin", Focus::tomorrow, false, true},
      {"what's the weather like in rome", true, "rome", Focus::current, false, true},
      {"how is the weather in san francisco today", true, "san francisco", Focus::today, false, true},
      {"temperature in tokyo this evening", true, "tokyo", Focus::tonight, false, true},
      {"snow in zürich", true, "zurich", Focus::current, false, true},
      {"weather next hour", true, here, Focus::nextHour, true, true},
      {"weather next hr", true, here, Focus::nextHour, true, true},
      {"hourly forecast", true, here, Focus::nextHour, true, true},
      {"weather tmrw", true, here, Focus::tomorrow, true, true},
      {"weather tommorow", true, here, Focus::tomorrow, true, true},
      {"is it going to rain at 11am", true, here, Focus::nextHour, true, true},
      {"weather at 5pm", true, here, Focus::today, true, true},
      {"weather at 7pm", true, here, Focus::tonight, true, true},
      {"weather 5pm tomorrow", true, here, Focus::tomorrow, true, true},
      {"weather on saturday", true, here, Focus::day, true, true},  // a later day
      {"weather in my location", true, here, Focus::current, true, true},
      {"weather here", true, here, Focus::current, true, true},
      {"dew point", true, here, Focus::current, true, true},
      {"is it cold tomorrow", true, here, Focus::tomorrow, true, false},
      {"tomorrow", true, here, Focus::tomorrow, true, false},
      {"cold", false, "", Focus::current, false, false},
      {"dinner tomorrow", false, "", Focus::current, false, false},
      {"rainbow six", false, "", Focus::current, false, false},
      {"uv index in sydney", true, "sydney", Focus::current, false, true},
      {"  Weather in Paris \n", true, "paris", Focus::current, false, true},
      {"   ", false, "", Focus::current, false, false},
      {"", false, "", Focus::current, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    auto intent = analyzer.intent(c.query);
    ASSERT_EQ(intent.has_value(), c.hasIntent);
    if (!intent) continue;
    EXPECT_EQ(intent->location, c.location);
    EXPECT_EQ(intent->focus, c.focus);
    EXPECT_EQ(intent->useCurrentLocation, c.useCurrent);
    EXPECT_EQ(intent->containsWeatherKeyword, c.keyword);
  }
}

TEST(WeatherQueryAnalyzerTest, LocationPreferenceAdjustsTheChoice) {
  WeatherQueryAnalyzer analyzer(DateDetector(kNow, "UTC"));
  auto preferHere = analyzer.intent("weather in paris", WeatherLocationPreference::preferCurrentLocation);
  ASSERT_TRUE(preferHere);
  EXPECT_TRUE(preferHere->useCurrentLocation);
  EXPECT_EQ(preferHere->location, WeatherQueryIntent::kCurrentLocation);
  auto preferMap = analyzer.intent("weather in paris", WeatherLocationPreference::preferMapItem);
  ASSERT_TRUE(preferMap);
  EXPECT_EQ(preferMap->location, "paris");
  EXPECT_FALSE(preferMap->useCurrentLocation);
  // A preference never creates an intent out of nothing.
  EXPECT_FALSE(analyzer.intent("paris", WeatherLocationPreference::preferCurrentLocation));
}

TEST(WeatherQueryAnalyzerTest, FocusFromDetectedDates) {
  WeatherQueryAnalyzer analyzer(DateDetector(kNow, "UTC"));
  auto focusAt = [&](Date start, double duration = 0) {
    return analyzer.focusForDetectedDate(DetectedDate{start, duration, 0, 0});
  };
  EXPECT_EQ(focusAt(kNow), Focus::nextHour);
  EXPECT_EQ(focusAt(kNow + std::chrono::seconds(5400)), Focus::nextHour);
  EXPECT_EQ(focusAt(kNow + std::chrono::seconds(5401)), Focus::today);
  EXPECT_EQ(focusAt(utc(2026, 3, 11, 17, 59)), Focus::today);
  EXPECT_EQ(focusAt(utc(2026, 3, 11, 18, 0)), Focus::tonight);
  EXPECT_EQ(focusAt(utc(2026, 3, 11, 8, 0)), Focus::today);  // earlier today
  EXPECT_EQ(focusAt(utc(2026, 3, 12, 23, 59)), Focus::tomorrow);
  EXPECT_EQ(focusAt(utc(2026, 3, 13, 0, 0)), Focus::day) << "a later day";
  EXPECT_EQ(focusAt(utc(2026, 3, 13), 86400), Focus::day);
  EXPECT_EQ(focusAt(utc(2026, 3, 14), 2 * 86400), Focus::weekend);
  EXPECT_EQ(focusAt(utc(2026, 3, 16), 7 * 86400), Focus::current) << "a week is no day";
  // A range is never the next hour, even when it starts within 90 minutes.
  EXPECT_EQ(focusAt(kNow + std::chrono::hours(1), 4 * 3600), Focus::today);
  // Ranges: judged by their end, which is exclusive.
  EXPECT_EQ(focusAt(utc(2026, 3, 10), 2 * 86400), Focus::today);
  EXPECT_EQ(focusAt(utc(2026, 3, 10), 86400), Focus::current);
  EXPECT_EQ(focusAt(utc(2026, 3, 10, 12), 86400), Focus::today);
  EXPECT_EQ(focusAt(utc(2026, 3, 10, 12), 2 * 86400), Focus::tomorrow);
  EXPECT_EQ(focusAt(utc(2026, 3, 9), 86400), Focus::current);
}

// The same phrases asked at four hours of one day, in a zone far from UTC.
// Local 2026-03-11 (a Wednesday) in Tokyo, UTC+9 all year.
Date tokyo(int month, int day, int hour = 0, int minute = 0) {
  return utc(2026, month, day, hour, minute) - std::chrono::hours(9);
}
constexpr std::pair<int, int> kHours[] = {{0, 30}, {10, 0}, {18, 45}, {23, 0}};

TEST(WeatherQueryAnalyzerTest, FocusHoldsAtEveryHourOfTheDay) {
  const struct {
    const char* query;
    Focus focus[4];  // at 00:30, 10:00, 18:45, 23:00
  } cases[] = {
      {"weather today", {Focus::today, Focus::today, Focus::today, Focus::today}},
      {"weather tonight", {Focus::tonight, Focus::tonight, Focus::tonight, Focus::tonight}},
      {"weather tomorrow", {Focus::tomorrow, Focus::tomorrow, Focus::tomorrow, Focus::tomorrow}},
      {"weather this morning", {Focus::today, Focus::today, Focus::today, Focus::today}},
      {"weather this evening", {Focus::tonight, Focus::tonight, Focus::tonight, Focus::tonight}},
      {"weather next hour", {Focus::nextHour, Focus::nextHour, Focus::nextHour, Focus::nextHour}},
      {"weather now", {Focus::current, Focus::current, Focus::current, Focus::current}},
      {"weather tomorrow at 9am", {Focus::tomorrow, Focus::tomorrow, Focus::tomorrow, Focus::tomorrow}},
      {"weather tonight at 9pm", {Focus::tonight, Focus::tonight, Focus::tonight, Focus::tonight}},
      {"weather in the morning", {Focus::today, Focus::today, Focus::tomorrow, Focus::tomorrow}},
      {"weather at 9am", {Focus::today, Focus::today, Focus::tomorrow, Focus::tomorrow}},
      {"weather at 11pm", {Focus::tonight, Focus::tonight, Focus::tonight, Focus::nextHour}},
      {"weather at midnight", {Focus::today, Focus::tomorrow, Focus::tomorrow, Focus::nextHour}},
      {"weather on friday", {Focus::day, Focus::day, Focus::day, Focus::day}},
      {"weather friday at 8pm", {Focus::day, Focus::day, Focus::day, Focus::day}},
      {"weather this weekend", {Focus::weekend, Focus::weekend, Focus::weekend, Focus::weekend}},
  };
  for (size_t h = 0; h < std::size(kHours); ++h) {
    WeatherQueryAnalyzer analyzer(DateDetector(tokyo(3, 11, kHours[h].first, kHours[h].second), "Asia/Tokyo"));
    for (const auto& c : cases) {
      auto intent = analyzer.intent(c.query);
      ASSERT_TRUE(intent) << c.query;
      EXPECT_EQ(intent->focus, c.focus[h]) << c.query << " at " << kHours[h].first << ":" << kHours[h].second;
    }
  }
}

// The time a question names travels with its intent, so that the forecast
// can show it; questions about now or the next hour name none.
TEST(WeatherQueryAnalyzerTest, TheNamedTimeComesWithTheIntent) {
  WeatherQueryAnalyzer analyzer(DateDetector(tokyo(3, 11, 9), "Asia/Tokyo"));
  const struct {
    const char* query;
    Focus focus;
    std::optional<Date> start, end;
  } cases[] = {
      {"weather tonight", Focus::tonight, tokyo(3, 11, 20), tokyo(3, 12)},
      {"weather this evening", Focus::tonight, tokyo(3, 11, 18), tokyo(3, 12)},
      {"weather at 9pm", Focus::tonight, tokyo(3, 11, 21), tokyo(3, 11, 21)},
      {"rain in osaka on friday", Focus::day, tokyo(3, 13), tokyo(3, 14)},
      {"weather this weekend", Focus::weekend, tokyo(3, 14), tokyo(3, 16)},
      {"weather now", Focus::current, std::nullopt, std::nullopt},
      {"weather next hour", Focus::nextHour, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto intent = analyzer.intent(c.query);
    ASSERT_TRUE(intent) << c.query;
    EXPECT_EQ(intent->focus, c.focus) << c.query;
    EXPECT_EQ(intent->focusStart, c.start) << c.query;
    EXPECT_EQ(intent->focusEnd, c.end) << c.query;
  }
  EXPECT_EQ(analyzer.intent("rain in osaka on friday")->location, "osaka");
  // A later day without a weather word is no weather question.
  EXPECT_FALSE(analyzer.intent("friday"));
  EXPECT_FALSE(analyzer.intent("on friday"));
  EXPECT_FALSE(analyzer.intent("this weekend"));
  EXPECT_TRUE(analyzer.intent("rainy this weekend")) << "a weather word alone is enough";
  for (auto focus : {Focus::day, Focus::weekend}) {
    EXPECT_EQ(weatherForecastFocusFromRawValue(weatherForecastFocusRawValue(focus)), focus);
  }
}

TEST(CalendarAndTemporalAnalyzerTest, RangesHoldAtEveryHourOfTheDay) {
  const DateRange yesterday{tokyo(3, 10), tokyo(3, 11)};
  const DateRange today{tokyo(3, 11), tokyo(3, 12)};
  const DateRange tomorrow{tokyo(3, 12), tokyo(3, 13)};
  for (auto [hour, minute] : kHours) {
    SCOPED_TRACE(std::to_string(hour) + ":" + std::to_string(minute));
    const Date now = tokyo(3, 11, hour, minute);
    CalendarQueryAnalyzer calendar(now, "Asia/Tokyo");
    EXPECT_EQ(calendar.analyze("events today").searchInterval, today);
    EXPECT_EQ(calendar.analyze("events tomorrow").searchInterval, tomorrow);
    EXPECT_EQ(calendar.analyze("events yesterday").searchInterval, yesterday);
    EXPECT_EQ(calendar.analyze("events next hour").searchInterval, (DateRange{now, now + std::chrono::hours(1)}));
    TemporalQueryAnalyzer temporal(now, "Asia/Tokyo", "en_US");
    EXPECT_EQ(temporal.analyze("notes today").dateRangeFilter, today);
    EXPECT_EQ(temporal.analyze("notes yesterday").dateRangeFilter, yesterday);
    EXPECT_EQ(temporal.analyze("notes this week").dateRangeFilter, (DateRange{tokyo(3, 8), tokyo(3, 15)}));
    EXPECT_EQ(temporal.analyze("notes this month").dateRangeFilter, (DateRange{tokyo(3, 1), tokyo(4, 1)}));
    EXPECT_EQ(temporal.analyze("notes recently").dateRangeFilter, (DateRange{now - std::chrono::hours(24 * 30), now}));
  }
}

TEST(WeatherQueryAnalyzerTest, TimeTokens) {
  for (const char* t : {"5pm", "5:30", "17:30", "11am", "oclock", "o'clock", "9"}) {
    EXPECT_TRUE(WeatherQueryAnalyzer::isTimeToken(t)) << t;
  }
  for (const char* t : {"paris", "pm5", "123", "am"}) EXPECT_FALSE(WeatherQueryAnalyzer::isTimeToken(t)) << t;
}

// ---------------------------------------------------------------- Temporal

struct TemporalCase {
  const char* text;
  const char* semantic;
  std::optional<int> year;
  std::optional<RelativeTimeReference> relative;
  std::optional<DateRange> range;
  bool future;
};

TEST(TemporalQueryAnalyzerTest, GoldenTable) {
  TemporalQueryAnalyzer analyzer(kNow, "UTC", "en_US");
  auto rel = [](Kind k) { return std::optional<RelativeTimeReference>(RelativeTimeReference::of(k)); };
  auto days = [](int n) { return std::optional<RelativeTimeReference>(RelativeTimeReference::lastNDays(n)); };
  auto range = [](Date a, Date b) { return std::optional<DateRange>(DateRange{a, b}); };
  const TemporalCase cases[] = {
      {"what did sam say about the lease in 2023", "did sam say the lease", 2023, std::nullopt,
       range(utc(2023, 1, 1), utc(2024, 1, 1)), false},
      {"dinner plans last week", "dinner plans", std::nullopt, rel(Kind::lastWeek),
       range(utc(2026, 3, 1), utc(2026, 3, 8)), false},
      {"trip in 2099", "trip", std::nullopt, std::nullopt, std::nullopt, true},
      {"photos from today in 2024", "photos", 2024, rel(Kind::today), range(utc(2024, 1, 1), utc(2025, 1, 1)), false},
      {"yesterday", "yesterday", std::nullopt, rel(Kind::yesterday), range(utc(2026, 3, 10), utc(2026, 3, 11)), false},
      {"notes today", "notes", std::nullopt, rel(Kind::today), range(utc(2026, 3, 11), utc(2026, 3, 12)), false},
      {"this week standup", "standup", std::nullopt, rel(Kind::thisWeek), range(utc(2026, 3, 8), utc(2026, 3, 15)),
       false},
      {"budget this month", "budget", std::nullopt, rel(Kind::thisMonth), range(utc(2026, 3, 1), utc(2026, 4, 1)),
       false},
      {"budget last month", "budget", std::nullopt, rel(Kind::lastMonth), range(utc(2026, 2, 1), utc(2026, 3, 1)),
       false},
      {"goals this year", "goals", std::nullopt, rel(Kind::thisYear), range(utc(2026, 1, 1), utc(2027, 1, 1)), false},
      {"recently shared links", "shared links", std::nullopt, rel(Kind::recently), range(utc(2026, 2, 9, 10), kNow),
       false},
      {"notes from past week", "notes past week", std::nullopt, rel(Kind::lastWeek),
       range(utc(2026, 3, 1), utc(2026, 3, 8)), false},
      {"pics last few days", "pics last few days", std::nullopt, days(7), range(utc(2026, 3, 4, 10), kNow), false},
      {"pics last couple days", "pics", std::nullopt, days(3), range(utc(2026, 3, 8, 10), kNow), false},
      {"pics last 90 days", "pics", std::nullopt, days(90), range(utc(2025, 12, 11, 10), kNow), false},
      {"pics last 7 days", "pics", std::nullopt, days(7), range(utc(2026, 3, 4, 10), kNow), false},
      {"pics last 30 days", "pics", std::nullopt, days(30), range(utc(2026, 2, 9, 10), kNow), false},
      {"LAST WEEK Dinner", "dinner", std::nullopt, rel(Kind::lastWeek), range(utc(2026, 3, 1), utc(2026, 3, 8)), false},
      {"taxes 2026", "taxes", 2026, std::nullopt, range(utc(2026, 1, 1), utc(2027, 1, 1)), false},
      {"taxes 2019", "taxes 2019", std::nullopt, std::nullopt, std::nullopt, false},
      {"order 12023", "order 12023", std::nullopt, std::nullopt, std::nullopt, false},
      {"2023", "2023", 2023, std::nullopt, range(utc(2023, 1, 1), utc(2024, 1, 1)), false},
      {"what was it", "it", std::nullopt, std::nullopt, std::nullopt, false},
      {"what is a", "what is a", std::nullopt, std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto intent = analyzer.analyze(c.text);
    EXPECT_EQ(intent.semanticQuery, c.semantic);
    EXPECT_EQ(intent.explicitYear, c.year);
    EXPECT_EQ(intent.relativeTime, c.relative);
    EXPECT_EQ(intent.dateRangeFilter, c.range);
    EXPECT_EQ(intent.mentionsFutureYear, c.future);
    EXPECT_EQ(intent.hasTemporalReference, c.year.has_value() || c.relative.has_value());
  }
}

// The week starts on the locale's first weekday; ranges cross the year boundary.
TEST(TemporalQueryAnalyzerTest, RangesFollowTheLocaleAndCrossTheYear) {
  const struct {
    Date now;
    const char* locale;
    Kind kind;
    DateRange range;
  } cases[] = {
      {kNow, "en_GB", Kind::thisWeek, {utc(2026, 3, 9), utc(2026, 3, 16)}},  // Monday
      // Friday 2027-01-01: the en_US week started on Sunday 2026-12-27.
      {utc(2027, 1, 1, 12), "en_US", Kind::thisWeek, {utc(2026, 12, 27), utc(2027, 1, 3)}},
      {utc(2027, 1, 1, 12), "en_US", Kind::lastMonth, {utc(2026, 12, 1), utc(2027, 1, 1)}},
  };
  for (const auto& c : cases) {
    TemporalQueryAnalyzer analyzer(c.now, "UTC", c.locale);
    EXPECT_EQ(analyzer.rangeFor(RelativeTimeReference::of(c.kind)), c.range) << c.locale;
  }
  EXPECT_EQ(TemporalQueryAnalyzer(kNow, "UTC", "en_GB").analyze("this week").dateRangeFilter, cases[0].range);
}

// ---------------------------------------------------------------- Calendar

struct CalendarCase {
  const char* query;
  std::optional<std::string> text;
  std::optional<DateRange> interval;
  bool calendarKeyword;
};

TEST(CalendarQueryAnalyzerTest, GoldenTable) {
  CalendarQueryAnalyzer analyzer(kNow, "UTC");
  auto range = [](Date a, Date b) { return std::optional<DateRange>(DateRange{a, b}); };
  const CalendarCase cases[] = {
      {"events tomorrow with sam", "with sam", range(utc(2026, 3, 12), utc(2026, 3, 13)), true},
      {"show me my calendar for today", std::nullopt, range(utc(2026, 3, 11), utc(2026, 3, 12)), true},
      {"dentist next hour", "dentist", range(kNow, kNow + std::chrono::hours(1)), false},
      {"dentist next  hr", "dentist", range(kNow, kNow + std::chrono::hours(1)), false},
      {"standup yesterday", "standup", range(utc(2026, 3, 10), utc(2026, 3, 11)), false},
      {"yesterday's events", std::nullopt, range(utc(2026, 3, 10), utc(2026, 3, 11)), true},
      {"Lunch on Friday", "lunch friday", std::nullopt, false},
      {"cal", std::nullopt, std::nullopt, true},
      {"calendars", std::nullopt, std::nullopt, true},
      {"eventually", "eventually", std::nullopt, false},
      {"today tomorrow", "tomorrow", range(utc(2026, 3, 11), utc(2026, 3, 12)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    auto intent = analyzer.analyze(c.query);
    EXPECT_EQ(intent.originalQuery, c.query);
    EXPECT_EQ(intent.textQuery, c.text);
    EXPECT_EQ(intent.searchInterval, c.interval);
    EXPECT_EQ(intent.hasCalendarKeyword, c.calendarKeyword);
  }
}

// ---------------------------------------------------------------- Text helpers

TEST(IntelligenceTextTest, FoldingSplittingAndPhrases) {
  using namespace intelligence;
  EXPECT_EQ(foldAndLowercase("Zürich CAFÉ"), "zurich cafe");
  EXPECT_EQ(splitNonAlphanumeric("what's-the  weather?"), (std::vector<std::string>{"what", "s", "the", "weather"}));
  EXPECT_TRUE(containsPhrase("rain near me", "near me"));
  EXPECT_FALSE(containsPhrase("rainbow", "rain"));
  EXPECT_EQ(collapseWhitespace("a  \n b"), "a b");
  EXPECT_EQ(trimmed("\n\t x y \u00a0"), "x y");
  EXPECT_FALSE(regexContains("(unclosed", "(unclosed"));
  EXPECT_EQ(regexReplaceAll("\\d+", "a1b22", "#"), "a#b#");
}

// Random texts built from analyzer vocabulary, digits, punctuation and
// multi-byte characters: the analyzers never crash and keep their invariants.
TEST(AnalyzerFuzzTest, RandomTextsKeepInvariants) {
  const char* pieces[] = {"weather", "in",  "paris",   "tomorrow", "at",   "5pm",    "17:30", "last week", "2023",
                          "2099",    "def", "near me", "é",        "日本", "🙂",   "?",     "'s",        "  ",
                          "\n",      "uv",  "next hr", "today",    "cal",  "events", "the",   "o'clock",   "\xc3"};
  WeatherQueryAnalyzer weather(DateDetector(kNow, "UTC"));
  TemporalQueryAnalyzer temporal(kNow, "UTC", "en_US");
  CalendarQueryAnalyzer calendar(kNow, "UTC");
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(next() % 8);
    for (int i = 0; i < count; ++i) {
      text += pieces[next() % std::size(pieces)];
      if (next() % 2) text += ' ';
    }
    SCOPED_TRACE(text);
    if (auto intent = weather.intent(text)) {
      EXPECT_EQ(intent->useCurrentLocation, intent->location == WeatherQueryIntent::kCurrentLocation);
      EXPECT_FALSE(intent->location.empty());
      EXPECT_EQ(intent->originalQuery, intelligence::trimmed(text));
    }
    auto t = temporal.analyze(text);
    if (t.dateRangeFilter) {
      EXPECT_LE(t.dateRangeFilter->start, t.dateRangeFilter->end);
    }
    EXPECT_FALSE(t.explicitYear && t.mentionsFutureYear);
    if (!intelligence::trimmed(text).empty()) {
      EXPECT_FALSE(t.semanticQuery.empty());
    }
    auto c = calendar.analyze(text);
    EXPECT_EQ(c.matchedTemporalKeyword, c.searchInterval.has_value());
    if (c.textQuery) {
      EXPECT_FALSE(c.textQuery->empty());
      EXPECT_FALSE(intelligence::regexContains("\\b(cal|calendar|calendars|event|events)\\b", *c.textQuery));
    }
  }
}

// ---------------------------------------------------------------- Source selection rules

using Id = VCRDataSourceIdentifier;
using Ids = std::set<Id>;

struct RulesCase {
  const char* text;
  Ids fallback;
  Ids forced;
};

class SourceSelectionRulesTest : public ::testing::Test {
 protected:
  SourceSelectionContext context() {
    SourceSelectionContext c;
    c.isEnabled = [this](Id id) { return !disabled.count(id); };
    c.weatherAnalyzer = &analyzer;
    c.dictionaryResolvesCandidate = [this](const std::string&) { return dictionaryResolves; };
    c.addressDetector = addressDetector;
    return c;
  }
  WeatherQueryAnalyzer analyzer{DateDetector(utc(2026, 3, 11, 10), "UTC")};
  std::set<Id> disabled;
  bool dictionaryResolves = true;
  std::function<bool(const std::string&)> addressDetector = [](const std::string& text) {
    return text.find("1 infinite loop") != std::string::npos;
  };
};

TEST_F(SourceSelectionRulesTest, GoldenTable) {
  const RulesCase cases[] = {
      {"weather tomorrow", {Id::weather}, {Id::weather}},
      // "louvre" contains the forcing keyword "uv".
      {"directions to the louvre", {Id::maps}, {Id::maps, Id::weather}},
      {"directions to oslo", {Id::maps}, {Id::maps}},
      {"coffee near me", {Id::maps}, {Id::maps}},
      {"navigate home", {Id::maps}, {Id::maps}},
      {"Route 66 diner", {Id::maps}, {Id::maps}},
      {"roadmap q3", {}, {}},
      {"def serendipity", {Id::dictionary}, {Id::dictionary}},
      {"serendipity definition", {Id::dictionary}, {Id::dictionary}},
      {"DEF: ennui", {Id::dictionary}, {Id::dictionary}},
      {"define serendipity", {}, {}},
      {"default settings", {}, {}},
      {"rain in tokyo", {Id::weather}, {Id::weather}},
      {"air quality", {}, {Id::weather}},
      {"sunset", {Id::weather}, {Id::weather}},
      // The forcing keywords are substrings: "windows" contains "wind".
      {"windows update", {}, {Id::weather}},
      {"tomorrow", {Id::weather}, {}},
      {"history of rome", {}, {}},
      // What the address detector recognises forces maps and weather.
      {"1 infinite loop cupertino", {Id::maps}, {Id::maps, Id::weather}},
      {"", {}, {}},
      {"   ", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SourceSelectionRules::fallbackIdentifiers(c.text, context()), c.fallback);
    EXPECT_EQ(SourceSelectionRules::forcedIdentifiers(c.text, context()), c.forced);
  }
}

TEST_F(SourceSelectionRulesTest, SwitchesAndTheDictionaryCandidateGateTheRules) {
  disabled = {Id::weather, Id::maps};
  EXPECT_TRUE(SourceSelectionRules::fallbackIdentifiers("weather directions to paris", context()).empty());
  EXPECT_TRUE(SourceSelectionRules::forcedIdentifiers("weather directions to paris", context()).empty());
  disabled.clear();
  dictionaryResolves = false;
  EXPECT_TRUE(SourceSelectionRules::fallbackIdentifiers("def serendipity", context()).empty());
  EXPECT_TRUE(SourceSelectionRules::forcedIdentifiers("def serendipity", context()).empty());
}

TEST(QueryRoutingTest, LabelsMapToIdentifiers) {
  const std::pair<DataSource, Id> labels[] = {{DataSource::maps, Id::maps},
                                              {DataSource::weather, Id::weather},
                                              {DataSource::dictionary, Id::dictionary},
                                              {DataSource::knowledge, Id::wikipedia},
                                              {DataSource::messages, Id::messages},
                                              {DataSource::files, Id::files}};
  for (auto [source, id] : labels) EXPECT_EQ(identifierForRouterSource(source), id) << routerDataSourceRawValue(source);
  for (DataSource s : kAllRouterDataSources) EXPECT_EQ(routerDataSourceFromRawValue(routerDataSourceRawValue(s)), s);
  EXPECT_FALSE(routerDataSourceFromRawValue("wikipedia"));
}

}  // namespace
}  // namespace pallix
