#include "app/intelligence/CalendarQueryAnalyzer.h"

#include <set>

#include "app/intelligence/DateDetector.h"
#include "app/intelligence/IntelligenceText.h"
#include "core/Strings.h"

namespace pallix {

namespace {

using namespace intelligence;

constexpr const char* kCalendarKeywordPattern = "\\b(cal|calendar|calendars|event|events)\\b";
const std::set<std::string_view> kConnectorWords = {"for", "the", "my", "show", "me", "to", "please", "a", "an", "on"};

}  // namespace

CalendarQueryAnalyzer::CalendarQueryAnalyzer(Date referenceDate, std::string timeZoneId)
    : referenceDate_(referenceDate), timeZoneId_(std::move(timeZoneId)) {
  const Descriptor all[] = {{TemporalKeyword::nextHour, "\\bnext\\s+(hour|hr)\\b"},
                            {TemporalKeyword::today, "\\btoday\\b"},
                            {TemporalKeyword::tomorrow, "\\btomorrow\\b"},
                            {TemporalKeyword::yesterday, "\\byesterday\\b"}};
  for (const Descriptor& d : all) {
    if (regexIsValid(d.pattern)) descriptors_.push_back(d);
  }
}

std::optional<DateRange> CalendarQueryAnalyzer::interval(TemporalKeyword keyword) const {
  DateDetector calendar(referenceDate_, timeZoneId_);
  switch (keyword) {
    case TemporalKeyword::nextHour:
      return DateRange{referenceDate_, referenceDate_ + std::chrono::hours(1)};
    case TemporalKeyword::today:
      return DateRange{calendar.startOfDay(referenceDate_), calendar.startOfDay(referenceDate_, 1)};
    case TemporalKeyword::tomorrow:
      return DateRange{calendar.startOfDay(referenceDate_, 1), calendar.startOfDay(referenceDate_, 2)};
    case TemporalKeyword::yesterday:
      return DateRange{calendar.startOfDay(referenceDate_, -1), calendar.startOfDay(referenceDate_)};
  }
  return std::nullopt;
}

CalendarQueryIntent CalendarQueryAnalyzer::analyze(std::string_view query) const {
  CalendarQueryIntent intent;
  intent.originalQuery = std::string(query);
  std::string text = lowercasePosix(trimmed(query));
  intent.hasCalendarKeyword = regexContains(kCalendarKeywordPattern, text);

  for (const Descriptor& d : descriptors_) {
    if (auto match = regexFind(d.pattern, text)) {
      intent.searchInterval = interval(d.keyword);
      intent.matchedTemporalKeyword = true;
      size_t end = match->end;
      // A possessive belongs to the keyword ("tomorrow's events").
      for (std::string_view possessive : {"'s", "\u2019s"}) {
        if (text.compare(end, possessive.size(), possessive) == 0) end += possessive.size();
      }
      text = text.substr(0, match->begin) + " " + text.substr(end);
      break;
    }
  }
  text = regexReplaceAll(kCalendarKeywordPattern, text, " ");
  std::vector<std::string> kept;
  for (const std::string& word : splitWhitespace(text)) {
    if (kConnectorWords.count(word) || splitNonAlphanumeric(word).empty()) continue;
    kept.push_back(word);
  }
  std::string remainder = joinStrings(kept, " ");
  if (!remainder.empty()) intent.textQuery = remainder;
  return intent;
}

}  // namespace pallix
