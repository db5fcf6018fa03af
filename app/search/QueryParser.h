// QueryParser: turns the text typed in files mode into a ParsedQuery (free
// text, exact phrases, regular expressions, key:value filters, negated
// filters, an is: restriction). A pure value parser: every function is static,
// never fails (unrecognised constructs degrade to plain words or are dropped)
// and may run on any thread. What it had to drop or cannot evaluate (an
// invalid regular expression, a date filter without a date) is listed in
// `problems`, so that callers say so instead of answering another query. Dates are computed against a DateContext (now,
// calendar, time zone) so callers and tests decide what "today" means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/search/IndexedItem.h"
#include "app/search/RegexCache.h"
#include "core/Clock.h"
#include "core/DateRange.h"

namespace pallix {

// The canonical key names are the raw values, in this order.
enum class FilterKey { ext, type, before, after, modified, created, size, inFolder, app };
const char* filterKeyRawValue(FilterKey key);
// Accepts the key words of a filter (extension/ext, in/folder/path, ...), any case.
std::optional<FilterKey> filterKeyFrom(std::string_view text);

enum class Comparison { equal, greaterThan, lessThan, greaterOrEqual, lessOrEqual };
const char* comparisonRawValue(Comparison comparison);
struct ComparisonPrefix {
  Comparison comparison;
  size_t operatorLength;
  friend bool operator==(const ComparisonPrefix&, const ComparisonPrefix&) = default;
};
// The comparison operator at the start of `text` (">=", "<=", ">", "<").
std::optional<ComparisonPrefix> comparisonFrom(std::string_view text);

// The category named by a type: filter. `other` is never produced from text.
enum class FileCategory { code, document, image, audio, video, archive, app, other };
const char* fileCategoryRawValue(FileCategory category);
std::optional<FileCategory> fileCategoryFrom(std::string_view text);

// The calendar inputs of date arithmetic. `timeZoneId` is an Olson name
// ("Europe/Paris"); empty means the process's default zone. `calendarLocale`
// selects the calendar system (Gregorian for "en_US_POSIX").
struct DateContext {
  Date now{};
  std::string timeZoneId;
  std::string calendarLocale = "en_US_POSIX";

  // The wall clock's now in the default time zone.
  static DateContext current(const Clock& clock);
};

// week, month and year reach back from now; lastweek, lastmonth and lastyear
// are the calendar periods before the current one (weeks start on the
// calendar locale's first weekday).
enum class RelativeDate { today, yesterday, week, month, year, lastWeek, lastMonth, lastYear };
const char* relativeDateRawValue(RelativeDate date);
std::optional<RelativeDate> relativeDateFrom(std::string_view text);
// The range a relative date covers, relative to the start of today in `context`.
DateRange relativeDateRange(RelativeDate date, const DateContext& context);
// The calendar day containing `date` in `context`'s calendar and time zone.
DateRange calendarDayRange(Date date, const DateContext& context);

struct SizeValue {
  int64_t bytes = 0;
  Comparison comparison = Comparison::equal;

  // "[>=|<=|>|<]NUMBER[ ]UNIT", e.g. ">1.5mb"; none when the unit is unknown
  // or the byte count does not fit in a signed 64-bit integer.
  static std::optional<SizeValue> parse(std::string_view text);
  friend bool operator==(const SizeValue&, const SizeValue&) = default;
};

struct Filter {
  FilterKey key = FilterKey::ext;
  // The text after the colon, unchanged; for size filters the byte count.
  std::string value;
  // Present only for size filters.
  std::optional<Comparison> comparison;
  friend bool operator==(const Filter&, const Filter&) = default;
};

// A token that cannot be used as typed, and why, in words for the user.
struct QueryProblem {
  std::string token;
  std::string description;
  friend bool operator==(const QueryProblem&, const QueryProblem&) = default;
};

struct ParsedQuery {
  std::vector<std::string> textTerms;
  std::vector<std::string> exactPhrases;
  std::vector<Filter> filters;
  std::vector<Filter> excludedFilters;
  std::vector<std::shared_ptr<const CompiledRegex>> regexes;
  std::optional<IndexedItem::ItemType> itemType;
  // In token order; not part of isEmpty().
  std::vector<QueryProblem> problems;

  static ParsedQuery empty() { return ParsedQuery(); }
  bool isEmpty() const;
  // Regular expressions compare by pattern text.
  friend bool operator==(const ParsedQuery& a, const ParsedQuery& b);
};

class QueryParser {
 public:
  static ParsedQuery parse(std::string_view text);
  // The tokens of `text`: words, "quoted phrases" and /regex runs/, in order.
  static std::vector<std::string> tokenize(std::string_view text);
  // A key:value token as a filter; none when the key is unknown, the value
  // empty or a size value unparseable.
  static std::optional<Filter> parseFilter(std::string_view token);
  // A relative date word gives the start of its range; otherwise the first of
  // "yyyy-MM-dd", "yyyy-MM", "yyyy", "MM/dd/yyyy", "dd/MM/yyyy" (locale
  // "en_US_POSIX") that parses the whole text to a year in 1970...2100.
  static std::optional<Date> parseDate(std::string_view text, const DateContext& context);
};

}  // namespace pallix
