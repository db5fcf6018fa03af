#include "app/intelligence/TemporalQueryAnalyzer.h"

#include <unicode/calendar.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>
#include <set>
#include <vector>

#include "app/intelligence/IntelligenceText.h"
#include "core/Strings.h"

namespace pallix {

namespace {

using namespace intelligence;
using Kind = RelativeTimeReference::Kind;

constexpr const char* kYearPattern = "\\b(20[2-9]\\d)\\b";

const std::set<std::string_view> kStopWords = {"in",   "on",  "at", "from", "during", "around", "about", "when",
                                               "what", "was", "is", "are",  "were",   "will",   "be"};

struct PhraseEntry {
  std::string_view phrase;
  RelativeTimeReference reference;
};

const std::vector<PhraseEntry>& phraseTable() {
  static const std::vector<PhraseEntry> table = {
      {"today", RelativeTimeReference::of(Kind::today)},
      {"yesterday", RelativeTimeReference::of(Kind::yesterday)},
      {"this week", RelativeTimeReference::of(Kind::thisWeek)},
      {"last week", RelativeTimeReference::of(Kind::lastWeek)},
      {"this month", RelativeTimeReference::of(Kind::thisMonth)},
      {"last month", RelativeTimeReference::of(Kind::lastMonth)},
      {"this year", RelativeTimeReference::of(Kind::thisYear)},
      {"recently", RelativeTimeReference::of(Kind::recently)},
      {"past week", RelativeTimeReference::of(Kind::lastWeek)},
      {"past month", RelativeTimeReference::of(Kind::lastMonth)},
      {"past few days", RelativeTimeReference::lastNDays(7)},
      {"last few days", RelativeTimeReference::lastNDays(7)},
      {"last couple days", RelativeTimeReference::lastNDays(3)},
      {"last 7 days", RelativeTimeReference::lastNDays(7)},
      {"last 30 days", RelativeTimeReference::lastNDays(30)},
      {"last 90 days", RelativeTimeReference::lastNDays(90)},
  };
  return table;
}

UDate toUDate(Date date) {
  return static_cast<UDate>(std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count());
}
Date fromUDate(UDate ms) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double, std::milli>(ms)));
}

// Case-insensitive replacement of every occurrence of an ASCII phrase.
std::string replaceCaseInsensitive(std::string_view text, std::string_view phrase, std::string_view replacement) {
  std::string lowered = asciiLowercase(text);
  std::string needle = asciiLowercase(phrase);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = lowered.find(needle, pos);
    if (hit == std::string::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + needle.size();
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace

std::string RelativeTimeReference::canonicalPhrase() const {
  switch (kind) {
    case Kind::today:
      return "today";
    case Kind::yesterday:
      return "yesterday";
    case Kind::thisWeek:
      return "this week";
    case Kind::lastWeek:
      return "last week";
    case Kind::thisMonth:
      return "this month";
    case Kind::lastMonth:
      return "last month";
    case Kind::thisYear:
      return "this year";
    case Kind::recently:
      return "recently";
    case Kind::lastNDays:
      if (days == 3) return "last couple days";
      if (days == 7) return "last 7 days";
      if (days == 30) return "last 30 days";
      if (days == 90) return "last 90 days";
      return "last few days";
  }
  return "recently";
}

TemporalQueryAnalyzer::TemporalQueryAnalyzer() : TemporalQueryAnalyzer(SystemClock::instance().wallNow(), "", "") {}

TemporalQueryAnalyzer::TemporalQueryAnalyzer(Date now, std::string timeZoneId, std::string localeId)
    : now_(now), timeZoneId_(std::move(timeZoneId)), localeId_(std::move(localeId)) {}

namespace {

std::unique_ptr<icu::Calendar> makeCalendar(const std::string& zone, const std::string& locale, Date now) {
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone* tz =
      zone.empty() ? icu::TimeZone::createDefault() : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone));
  icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
  std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(tz, loc, status));
  if (U_FAILURE(status)) return nullptr;
  cal->setTime(toUDate(now), status);
  if (U_FAILURE(status)) return nullptr;
  return cal;
}

void clearTime(icu::Calendar& cal) {
  cal.set(UCAL_HOUR_OF_DAY, 0);
  cal.set(UCAL_MINUTE, 0);
  cal.set(UCAL_SECOND, 0);
  cal.set(UCAL_MILLISECOND, 0);
}

// start + amount of `field`; falls back to `fallback` when the calendar fails.
Date adding(const icu::Calendar& base, UDate start, UCalendarDateFields field, int amount, Date fallback) {
  std::unique_ptr<icu::Calendar> cal(base.clone());
  UErrorCode status = U_ZERO_ERROR;
  cal->setTime(start, status);
  cal->add(field, amount, status);
  UDate out = cal->getTime(status);
  return U_FAILURE(status) ? fallback : fromUDate(out);
}

}  // namespace

std::optional<DateRange> TemporalQueryAnalyzer::rangeForYear(int year) const {
  auto cal = makeCalendar(timeZoneId_, localeId_, now_);
  if (!cal) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  cal->clear();
  cal->set(year, UCAL_JANUARY, 1, 0, 0, 0);
  UDate start = cal->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return DateRange{fromUDate(start), adding(*cal, start, UCAL_YEAR, 1, now_)};
}

std::optional<DateRange> TemporalQueryAnalyzer::rangeFor(const RelativeTimeReference& reference) const {
  auto cal = makeCalendar(timeZoneId_, localeId_, now_);
  if (!cal) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  auto startOf = [&](auto configure) -> std::optional<UDate> {
    std::unique_ptr<icu::Calendar> c(cal->clone());
    configure(*c);
    UErrorCode s = U_ZERO_ERROR;
    UDate t = c->getTime(s);
    if (U_FAILURE(s)) return std::nullopt;
    return t;
  };
  const UDate nowMs = toUDate(now_);
  switch (reference.kind) {
    case Kind::today:
    case Kind::yesterday: {
      auto today = startOf([](icu::Calendar& c) { clearTime(c); });
      if (!today) return std::nullopt;
      if (reference.kind == Kind::today) return DateRange{fromUDate(*today), adding(*cal, *today, UCAL_DATE, 1, now_)};
      return DateRange{adding(*cal, *today, UCAL_DATE, -1, now_), fromUDate(*today)};
    }
    case Kind::thisWeek:
    case Kind::lastWeek: {
      int yearForWeek = cal->get(UCAL_YEAR_WOY, status);
      int week = cal->get(UCAL_WEEK_OF_YEAR, status);
      if (U_FAILURE(status)) return std::nullopt;
      auto weekStart = startOf([&](icu::Calendar& c) {
        c.clear();
        c.set(UCAL_YEAR_WOY, yearForWeek);
        c.set(UCAL_WEEK_OF_YEAR, week);
        c.set(UCAL_DAY_OF_WEEK, c.getFirstDayOfWeek());
      });
      if (!weekStart) return std::nullopt;
      if (reference.kind == Kind::thisWeek) {
        return DateRange{fromUDate(*weekStart), adding(*cal, *weekStart, UCAL_WEEK_OF_YEAR, 1, now_)};
      }
      return DateRange{adding(*cal, *weekStart, UCAL_WEEK_OF_YEAR, -1, now_), fromUDate(*weekStart)};
    }
    case Kind::thisMonth:
    case Kind::lastMonth: {
      auto monthStart = startOf([](icu::Calendar& c) {
        c.set(UCAL_DATE, 1);
        clearTime(c);
      });
      if (!monthStart) return std::nullopt;
      if (reference.kind == Kind::thisMonth) {
        return DateRange{fromUDate(*monthStart), adding(*cal, *monthStart, UCAL_MONTH, 1, now_)};
      }
      return DateRange{adding(*cal, *monthStart, UCAL_MONTH, -1, now_), fromUDate(*monthStart)};
    }
    case Kind::thisYear: {
      auto yearStart = startOf([](icu::Calendar& c) {
        c.set(UCAL_DAY_OF_YEAR, 1);
        clearTime(c);
      });
      if (!yearStart) return std::nullopt;
      return DateRange{fromUDate(*yearStart), adding(*cal, *yearStart, UCAL_YEAR, 1, now_)};
    }
    case Kind::recently:
      return DateRange{adding(*cal, nowMs, UCAL_DATE, -30, now_), now_};
    case Kind::lastNDays:
      return DateRange{adding(*cal, nowMs, UCAL_DATE, -reference.days, now_), now_};
  }
  return std::nullopt;
}

std::string TemporalQueryAnalyzer::buildSemanticQuery(std::string_view text, std::optional<int> year,
                                                      const std::optional<RelativeTimeReference>& relativeTime) {
  std::string working(text);
  if (year) working = replaceAll(working, std::to_string(*year), " ");
  if (relativeTime) working = replaceCaseInsensitive(working, relativeTime->canonicalPhrase(), " ");
  std::vector<std::string> kept;
  for (const std::string& piece : splitString(lowercasePosix(working), ' ')) {
    if (piece.empty() || kStopWords.count(piece)) continue;
    kept.push_back(piece);
  }
  std::string result = trimmed(joinStrings(splitWhitespace(joinStrings(kept, " ")), " "));
  if (result.size() < 2) return trimmed(text);
  return result;
}

TemporalQueryAnalyzer::TemporalIntent TemporalQueryAnalyzer::analyze(std::string_view text) const {
  TemporalIntent intent;
  const std::string lowered = lowercasePosix(text);
  int currentYear = 0;
  if (auto cal = makeCalendar(timeZoneId_, localeId_, now_)) {
    UErrorCode status = U_ZERO_ERROR;
    currentYear = cal->get(UCAL_YEAR, status);
  }

  std::optional<int> foundYear;
  if (auto match = regexFind(kYearPattern, lowered); match && match->groups.size() > 1 && match->groups[1]) {
    int year = std::stoi(*match->groups[1]);
    foundYear = year;
    if (year > currentYear) {
      intent.mentionsFutureYear = true;
    } else {
      intent.explicitYear = year;
      intent.hasTemporalReference = true;
      intent.dateRangeFilter = rangeForYear(year);
    }
  }

  for (const PhraseEntry& entry : phraseTable()) {
    if (lowered.find(entry.phrase) == std::string::npos) continue;
    intent.relativeTime = entry.reference;
    intent.hasTemporalReference = true;
    if (!intent.dateRangeFilter && !intent.mentionsFutureYear) intent.dateRangeFilter = rangeFor(entry.reference);
    break;
  }

  intent.semanticQuery = buildSemanticQuery(text, foundYear, intent.relativeTime);
  return intent;
}

}  // namespace pallix
