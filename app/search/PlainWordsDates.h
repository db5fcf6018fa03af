// PlainWordsDates: the date phrases of plain-words file queries ("last
// week", "march 2024", "the past 3 days", "monday", "2024-06-15") read from
// lowercased words, and written as the date filters of the power-query
// syntax. The phrases follow those of the temporal analyzer
// (app/intelligence/TemporalQueryAnalyzer), which sits above the search
// library and so cannot be called from here; months, years and weekdays are
// added. English only, as the analyzers are.
//
// A pure value reader: dates are computed against a DateContext, so callers
// and tests decide what "now" is. Any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/search/QueryParser.h"

namespace pallix {

// A time a phrase names: a relative word of the modified: filter, or a
// calendar period [start, end) as power-query date values ("2024-03",
// "2024-04"); `end` is empty for a period that reaches to now. A whole day
// ("monday", "2024-06-15") is one value of modified: itself.
struct DateSpan {
  std::optional<RelativeDate> relative;
  std::string start;
  std::string end;
  bool wholeDay = false;
  friend bool operator==(const DateSpan&, const DateSpan&) = default;
};

struct DatePhraseMatch {
  size_t words = 0;  // how many words the phrase took
  DateSpan span;
  // The phrase is a calendar word that is also an everyday word or a name
  // ("march", "may", a bare weekday): it needs a leading word to count.
  bool needsLead = false;
};

// The prepositions and verbs that may lead a date phrase, and what they do
// to it: "since march" is after:2024-03, "before march" before:2024-03,
// "after march" after:2024-04; the others select the phrase's own period.
enum class DateLead { during, since, before, after };

class PlainWordsDates {
 public:
  // The longest date phrase at the start of `words` (lowercased), if any.
  static std::optional<DatePhraseMatch> read(std::span<const std::string> words, const DateContext& context);
  // `span` under `lead` as power-query filters on the modification date
  // (or the creation date for `created`, where the filter has the value);
  // empty when the combination means nothing ("since this week").
  static std::vector<std::string> filters(const DateSpan& span, DateLead lead, bool created);
  // `date`'s calendar day as "yyyy-MM-dd" in `context`'s time zone.
  static std::string dayText(Date date, const DateContext& context);
};

}  // namespace pallix
