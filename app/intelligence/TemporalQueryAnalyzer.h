// TemporalQueryAnalyzer: pulls time references ("in 2023", "last week",
// "recently") out of a search text and turns them into a date range plus the
// text with the time phrases removed, for semantic conversation search.
//
// A value type: "now", the time zone and the locale (first weekday) are
// inputs so results are deterministic in tests. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Clock.h"
#include "core/DateRange.h"

namespace pallix {

struct RelativeTimeReference {
  enum class Kind { lastNDays, today, yesterday, thisWeek, lastWeek, thisMonth, lastMonth, thisYear, recently };
  Kind kind = Kind::recently;
  int days = 0;  // lastNDays only

  static RelativeTimeReference lastNDays(int n) { return {Kind::lastNDays, n}; }
  static RelativeTimeReference of(Kind kind) { return {kind, 0}; }
  // The phrase removed from the semantic query ("last week", "last 7 days", ...).
  std::string canonicalPhrase() const;
  friend bool operator==(const RelativeTimeReference&, const RelativeTimeReference&) = default;
};

class TemporalQueryAnalyzer {
 public:
  struct TemporalIntent {
    std::string semanticQuery;
    bool hasTemporalReference = false;
    std::optional<int> explicitYear;
    std::optional<RelativeTimeReference> relativeTime;
    std::optional<DateRange> dateRangeFilter;
    bool mentionsFutureYear = false;
    friend bool operator==(const TemporalIntent&, const TemporalIntent&) = default;
  };

  // System clock, default time zone and locale.
  TemporalQueryAnalyzer();
  // `timeZoneId` empty: the default zone. `localeId` decides the first weekday ("en_US": Sunday, "en_GB": Monday).
  TemporalQueryAnalyzer(Date now, std::string timeZoneId, std::string localeId = "en_US");

  TemporalIntent analyze(std::string_view text) const;

  // The range a reference covers relative to "now"; nullopt when the calendar cannot compute it.
  std::optional<DateRange> rangeFor(const RelativeTimeReference& reference) const;
  std::optional<DateRange> rangeForYear(int year) const;
  static std::string buildSemanticQuery(std::string_view text, std::optional<int> year,
                                        const std::optional<RelativeTimeReference>& relativeTime);

 private:
  Date now_;
  std::string timeZoneId_;
  std::string localeId_;
};

}  // namespace pallix
