#include "app/search/QueryParser.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <array>
#include <chrono>
#include <cmath>
#include <utility>

#include "core/Strings.h"

namespace pallix {

namespace {

bool equalsAny(std::string_view word, std::initializer_list<std::string_view> candidates) {
  for (std::string_view candidate : candidates) {
    if (word == candidate) return true;
  }
  return false;
}

double toUDate(Date date) {
  return std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
}

Date fromUDate(double udate) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double, std::milli>(udate)));
}

icu::TimeZone* createZone(const DateContext& context) {
  if (context.timeZoneId.empty()) return icu::TimeZone::createDefault();
  return icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(context.timeZoneId));
}

std::unique_ptr<icu::Calendar> createCalendar(const DateContext& context) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(createZone(context), icu::Locale(context.calendarLocale.c_str()), status));
  if (U_FAILURE(status)) return nullptr;
  return calendar;
}

// Midnight at the start of `date`'s day, or none when the calendar fails.
std::optional<Date> startOfDay(icu::Calendar& calendar, Date date) {
  UErrorCode status = U_ZERO_ERROR;
  calendar.setTime(toUDate(date), status);
  calendar.set(UCAL_HOUR_OF_DAY, 0);
  calendar.set(UCAL_MINUTE, 0);
  calendar.set(UCAL_SECOND, 0);
  calendar.set(UCAL_MILLISECOND, 0);
  double udate = calendar.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromUDate(udate);
}

// `date` moved by `amount` calendar units, or none when the calendar fails.
std::optional<Date> addCalendarUnits(icu::Calendar& calendar, Date date, UCalendarDateFields field, int32_t amount) {
  UErrorCode status = U_ZERO_ERROR;
  calendar.setTime(toUDate(date), status);
  calendar.add(field, amount, status);
  double udate = calendar.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromUDate(udate);
}

// The start of today in `context`, falling back to the UTC day when no
// calendar can be built.
Date startOfToday(icu::Calendar* calendar, const DateContext& context) {
  if (calendar) {
    if (auto start = startOfDay(*calendar, context.now)) return *start;
  }
  auto days = std::chrono::floor<std::chrono::days>(context.now);
  return Date(std::chrono::duration_cast<Date::duration>(days.time_since_epoch()));
}

Date shifted(icu::Calendar* calendar, Date date, UCalendarDateFields field, int32_t amount, double fallbackSeconds) {
  if (calendar) {
    if (auto moved = addCalendarUnits(*calendar, date, field, amount)) return *moved;
  }
  return date + std::chrono::duration_cast<Date::duration>(seconds(fallbackSeconds));
}

// The start of the week, month or year holding `today` (a midnight); `today`
// itself when no calendar can be built.
Date startOfPeriod(icu::Calendar* calendar, Date today, RelativeDate period) {
  if (!calendar) return today;
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(toUDate(today), status);
  if (period == RelativeDate::lastWeek) {
    calendar->set(UCAL_DAY_OF_WEEK, calendar->getFirstDayOfWeek());
    // Setting the weekday may land after today; step back a week then.
    if (calendar->getTime(status) > toUDate(today)) calendar->add(UCAL_WEEK_OF_YEAR, -1, status);
  } else if (period == RelativeDate::lastMonth) {
    calendar->set(UCAL_DATE, 1);
  } else {
    calendar->set(UCAL_DAY_OF_YEAR, 1);
  }
  const double udate = calendar->getTime(status);
  return U_FAILURE(status) ? today : fromUDate(udate);
}

// Size units and their multipliers, matched on the lowercased unit.
struct SizeUnit {
  std::string_view word;
  int64_t multiplier;
};
constexpr std::array<SizeUnit, 15> kSizeUnits = {{
    {"", 1},
    {"b", 1},
    {"bytes", 1},
    {"k", 1024},
    {"kb", 1024},
    {"kilobytes", 1024},
    {"m", 1048576},
    {"mb", 1048576},
    {"megabytes", 1048576},
    {"g", 1073741824},
    {"gb", 1073741824},
    {"gigabytes", 1073741824},
    {"t", 1099511627776},
    {"tb", 1099511627776},
    {"terabytes", 1099511627776},
}};

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isRegexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::optional<IndexedItem::ItemType> itemTypeFromWord(std::string_view word) {
  if (equalsAny(word, {"app", "application"})) return IndexedItem::ItemType::app;
  if (equalsAny(word, {"file", "files"})) return IndexedItem::ItemType::file;
  if (equalsAny(word, {"folder", "directory", "dir"})) return IndexedItem::ItemType::folder;
  return std::nullopt;
}

bool isWrapped(std::string_view token, char delimiter) {
  return token.size() >= 3 && token.front() == delimiter && token.back() == delimiter;
}

// Why a recognised filter cannot match anything as written; none when it can.
std::optional<std::string> filterProblem(const Filter& filter, std::string_view token) {
  switch (filter.key) {
    case FilterKey::before:
    case FilterKey::after:
    case FilterKey::modified:
    case FilterKey::created:
      // Whether a text is a date does not depend on when it is read.
      if (QueryParser::parseDate(filter.value, DateContext{})) return std::nullopt;
      return std::string(token) + " has no date: write 2024-06-15, 2024-06, 2024, 06/15/2024 or 15/06/2024, " +
             "or one of today, yesterday, week, month, year, lastweek, lastmonth, lastyear";
    case FilterKey::type:
      if (fileCategoryFrom(filter.value)) return std::nullopt;
      return std::string(token) + " names no kind of file: write code, document, image, audio, video or archive";
    default:
      return std::nullopt;
  }
}

}  // namespace

const char* filterKeyRawValue(FilterKey key) {
  switch (key) {
    case FilterKey::ext:
      return "ext";
    case FilterKey::type:
      return "type";
    case FilterKey::before:
      return "before";
    case FilterKey::after:
      return "after";
    case FilterKey::modified:
      return "modified";
    case FilterKey::created:
      return "created";
    case FilterKey::size:
      return "size";
    case FilterKey::inFolder:
      return "inFolder";
    case FilterKey::app:
      return "app";
  }
  return "ext";
}

std::optional<FilterKey> filterKeyFrom(std::string_view text) {
  std::string key = asciiLowercase(text);
  if (equalsAny(key, {"extension", "ext"})) return FilterKey::ext;
  if (key == "type") return FilterKey::type;
  if (key == "before") return FilterKey::before;
  if (key == "after") return FilterKey::after;
  if (equalsAny(key, {"modified", "mod"})) return FilterKey::modified;
  if (key == "created") return FilterKey::created;
  if (key == "size") return FilterKey::size;
  if (equalsAny(key, {"in", "folder", "path"})) return FilterKey::inFolder;
  if (equalsAny(key, {"app", "bundle"})) return FilterKey::app;
  return std::nullopt;
}

const char* comparisonRawValue(Comparison comparison) {
  switch (comparison) {
    case Comparison::equal:
      return "equal";
    case Comparison::greaterThan:
      return "greaterThan";
    case Comparison::lessThan:
      return "lessThan";
    case Comparison::greaterOrEqual:
      return "greaterOrEqual";
    case Comparison::lessOrEqual:
      return "lessOrEqual";
  }
  return "equal";
}

std::optional<ComparisonPrefix> comparisonFrom(std::string_view text) {
  if (startsWith(text, ">=")) return ComparisonPrefix{Comparison::greaterOrEqual, 2};
  if (startsWith(text, "<=")) return ComparisonPrefix{Comparison::lessOrEqual, 2};
  if (startsWith(text, ">")) return ComparisonPrefix{Comparison::greaterThan, 1};
  if (startsWith(text, "<")) return ComparisonPrefix{Comparison::lessThan, 1};
  return std::nullopt;
}

const char* fileCategoryRawValue(FileCategory category) {
  switch (category) {
    case FileCategory::code:
      return "code";
    case FileCategory::document:
      return "document";
    case FileCategory::image:
      return "image";
    case FileCategory::audio:
      return "audio";
    case FileCategory::video:
      return "video";
    case FileCategory::archive:
      return "archive";
    case FileCategory::app:
      return "app";
    case FileCategory::other:
      return "other";
  }
  return "other";
}

std::optional<FileCategory> fileCategoryFrom(std::string_view text) {
  std::string word = asciiLowercase(text);
  if (equalsAny(word, {"code", "source", "programming"})) return FileCategory::code;
  if (equalsAny(word, {"document", "doc", "text"})) return FileCategory::document;
  if (equalsAny(word, {"image", "img", "picture", "photo"})) return FileCategory::image;
  if (equalsAny(word, {"audio", "sound", "music"})) return FileCategory::audio;
  if (equalsAny(word, {"video", "movie", "film"})) return FileCategory::video;
  if (equalsAny(word, {"archive", "zip", "compressed"})) return FileCategory::archive;
  if (equalsAny(word, {"app", "application", "bundle"})) return FileCategory::app;
  return std::nullopt;
}

DateContext DateContext::current(const Clock& clock) {
  DateContext context;
  context.now = clock.wallNow();
  return context;
}

const char* relativeDateRawValue(RelativeDate date) {
  switch (date) {
    case RelativeDate::today:
      return "today";
    case RelativeDate::yesterday:
      return "yesterday";
    case RelativeDate::week:
      return "week";
    case RelativeDate::month:
      return "month";
    case RelativeDate::year:
      return "year";
    case RelativeDate::lastWeek:
      return "lastweek";
    case RelativeDate::lastMonth:
      return "lastmonth";
    case RelativeDate::lastYear:
      return "lastyear";
  }
  return "today";
}

std::optional<RelativeDate> relativeDateFrom(std::string_view text) {
  std::string word = asciiLowercase(text);
  if (word == "today") return RelativeDate::today;
  if (word == "yesterday") return RelativeDate::yesterday;
  if (equalsAny(word, {"week", "thisweek", "this-week"})) return RelativeDate::week;
  if (equalsAny(word, {"month", "thismonth", "this-month"})) return RelativeDate::month;
  if (equalsAny(word, {"year", "thisyear", "this-year"})) return RelativeDate::year;
  if (equalsAny(word, {"lastweek", "last-week"})) return RelativeDate::lastWeek;
  if (equalsAny(word, {"lastmonth", "last-month"})) return RelativeDate::lastMonth;
  if (equalsAny(word, {"lastyear", "last-year"})) return RelativeDate::lastYear;
  return std::nullopt;
}

DateRange relativeDateRange(RelativeDate date, const DateContext& context) {
  std::unique_ptr<icu::Calendar> calendar = createCalendar(context);
  const Date today = startOfToday(calendar.get(), context);
  switch (date) {
    case RelativeDate::today:
      return {today, shifted(calendar.get(), today, UCAL_DATE, 1, 86400)};
    case RelativeDate::yesterday:
      return {shifted(calendar.get(), today, UCAL_DATE, -1, -86400), today};
    case RelativeDate::week:
      return {shifted(calendar.get(), today, UCAL_DATE, -7, -604800), context.now};
    case RelativeDate::month:
      return {shifted(calendar.get(), today, UCAL_MONTH, -1, -2592000), context.now};
    case RelativeDate::year:
      return {shifted(calendar.get(), today, UCAL_YEAR, -1, -31536000), context.now};
    case RelativeDate::lastWeek:
    case RelativeDate::lastMonth:
    case RelativeDate::lastYear: {
      const Date current = startOfPeriod(calendar.get(), today, date);
      const UCalendarDateFields field = date == RelativeDate::lastWeek    ? UCAL_WEEK_OF_YEAR
                                        : date == RelativeDate::lastMonth ? UCAL_MONTH
                                                                          : UCAL_YEAR;
      const double fallback = date == RelativeDate::lastWeek    ? -604800
                              : date == RelativeDate::lastMonth ? -2592000
                                                                : -31536000;
      return {shifted(calendar.get(), current, field, -1, fallback), current};
    }
  }
  return {today, context.now};
}

DateRange calendarDayRange(Date date, const DateContext& context) {
  std::unique_ptr<icu::Calendar> calendar = createCalendar(context);
  DateContext dayContext = context;
  dayContext.now = date;
  const Date start = startOfToday(calendar.get(), dayContext);
  return {start, shifted(calendar.get(), start, UCAL_DATE, 1, 86400)};
}

std::optional<SizeValue> SizeValue::parse(std::string_view text) {
  SizeValue size;
  if (auto prefix = comparisonFrom(text)) {
    size.comparison = prefix->comparison;
    text.remove_prefix(prefix->operatorLength);
  }
  // ^([0-9]+(?:\.[0-9]+)?)\s*([a-zA-Z]*) -- anchored at the start only.
  size_t i = 0;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == 0) return std::nullopt;
  const std::string_view integerPart = text.substr(0, i);
  std::string_view fractionPart;
  if (i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
    size_t end = i + 1;
    while (end < text.size() && isDigit(text[end])) ++end;
    fractionPart = text.substr(i + 1, end - i - 1);
    i = end;
  }
  while (i < text.size() && isRegexSpace(text[i])) ++i;
  size_t unitEnd = i;
  while (unitEnd < text.size() && isAsciiLetter(text[unitEnd])) ++unitEnd;
  const std::string unit = asciiLowercase(text.substr(i, unitEnd - i));

  std::optional<int64_t> multiplier;
  for (const SizeUnit& candidate : kSizeUnits) {
    if (candidate.word == unit) multiplier = candidate.multiplier;
  }
  if (!multiplier) return std::nullopt;

  if (fractionPart.empty()) {
    int64_t number = 0;
    for (char c : integerPart) {
      if (__builtin_mul_overflow(number, int64_t{10}, &number)) return std::nullopt;
      if (__builtin_add_overflow(number, int64_t{c - '0'}, &number)) return std::nullopt;
    }
    if (__builtin_mul_overflow(number, *multiplier, &size.bytes)) return std::nullopt;
    return size;
  }
  const std::string number = std::string(integerPart) + "." + std::string(fractionPart);
  const double bytes = std::strtod(number.c_str(), nullptr) * static_cast<double>(*multiplier);
  // 2^63 is the first double that does not fit.
  if (!std::isfinite(bytes) || bytes >= 9223372036854775808.0) return std::nullopt;
  size.bytes = static_cast<int64_t>(bytes);
  return size;
}

bool ParsedQuery::isEmpty() const {
  return textTerms.empty() && exactPhrases.empty() && filters.empty() && excludedFilters.empty() && regexes.empty() &&
         !itemType;
}

bool operator==(const ParsedQuery& a, const ParsedQuery& b) {
  if (a.textTerms != b.textTerms || a.exactPhrases != b.exactPhrases || a.filters != b.filters ||
      a.excludedFilters != b.excludedFilters || a.itemType != b.itemType || a.problems != b.problems ||
      a.regexes.size() != b.regexes.size()) {
    return false;
  }
  for (size_t i = 0; i < a.regexes.size(); ++i) {
    if (a.regexes[i]->pattern() != b.regexes[i]->pattern()) return false;
  }
  return true;
}

std::vector<std::string> QueryParser::tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::string current;
  bool inQuotes = false;
  bool inRegex = false;
  auto emit = [&](std::string token) {
    if (!token.empty()) tokens.push_back(std::move(token));
  };
  for (char c : text) {
    if (c == '"' && !inRegex) {
      if (inQuotes) {
        current.push_back(c);
        emit(std::move(current));
        current.clear();
        inQuotes = false;
      } else {
        emit(std::move(current));
        current.assign(1, c);
        inQuotes = true;
      }
    } else if (c == '/' && !inQuotes) {
      if (inRegex) {
        current.push_back(c);
        emit(std::move(current));
        current.clear();
        inRegex = false;
      } else if (!current.empty() && current.back() != ' ') {
        current.push_back(c);
      } else {
        emit(std::string(trimWhitespace(current)));
        current.assign(1, c);
        inRegex = true;
      }
    } else if (c == ' ' && !inQuotes && !inRegex) {
      emit(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  emit(std::move(current));
  return tokens;
}

std::optional<Filter> QueryParser::parseFilter(std::string_view token) {
  const size_t colon = token.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view value = token.substr(colon + 1);
  if (value.empty()) return std::nullopt;
  const std::optional<FilterKey> key = filterKeyFrom(token.substr(0, colon));
  if (!key) return std::nullopt;
  if (*key == FilterKey::size) {
    const std::optional<SizeValue> size = SizeValue::parse(value);
    if (!size) return std::nullopt;
    return Filter{FilterKey::size, std::to_string(size->bytes), size->comparison};
  }
  return Filter{*key, std::string(value), std::nullopt};
}

ParsedQuery QueryParser::parse(std::string_view text) {
  ParsedQuery query;
  if (text.empty()) return query;
  const std::vector<std::string> tokens = tokenize(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (asciiLowercase(token) == "not" && i + 1 < tokens.size()) {
      if (auto filter = parseFilter(tokens[i + 1])) {
        if (auto problem = filterProblem(*filter, tokens[i + 1])) query.problems.push_back({tokens[i + 1], *problem});
        query.excludedFilters.push_back(std::move(*filter));
      }
      ++i;
      continue;
    }
    if (isWrapped(token, '"')) {
      std::string inner = token.substr(1, token.size() - 2);
      if (!inner.empty()) query.exactPhrases.push_back(std::move(inner));
      continue;
    }
    if (isWrapped(token, '/')) {
      auto regex = RegexCache::shared().lookup(token.substr(1, token.size() - 2));
      if (regex.ok()) {
        query.regexes.push_back(std::move(regex.value()));
      } else {
        query.problems.push_back({token, regex.error().description()});
      }
      continue;
    }
    const std::string lowered = asciiLowercase(token);
    if (startsWith(lowered, "is:")) {
      if (auto type = itemTypeFromWord(std::string_view(lowered).substr(3))) query.itemType = type;
      continue;
    }
    if (auto filter = parseFilter(token)) {
      if (auto problem = filterProblem(*filter, token)) query.problems.push_back({token, *problem});
      query.filters.push_back(std::move(*filter));
      continue;
    }
    const std::string_view trimmed = trimWhitespace(token);
    if (!trimmed.empty()) query.textTerms.emplace_back(trimmed);
  }
  return query;
}

std::optional<Date> QueryParser::parseDate(std::string_view text, const DateContext& context) {
  if (auto relative = relativeDateFrom(text)) return relativeDateRange(*relative, context).start;
  static constexpr std::array<const char*, 5> kPatterns = {"yyyy-MM-dd", "yyyy-MM", "yyyy", "MM/dd/yyyy", "dd/MM/yyyy"};
  const icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::unique_ptr<icu::Calendar> calendar = createCalendar(context);
  for (const char* pattern : kPatterns) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString(pattern), icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) continue;
    format.adoptTimeZone(createZone(context));
    format.setLenient(false);
    icu::ParsePosition position(0);
    const double udate = format.parse(input, position);
    if (position.getErrorIndex() != -1 || position.getIndex() != input.length()) continue;
    if (calendar) {
      calendar->setTime(udate, status);
      const int32_t year = calendar->get(UCAL_EXTENDED_YEAR, status);
      if (U_FAILURE(status) || year < 1970 || year > 2100) continue;
    }
    return fromUDate(udate);
  }
  return std::nullopt;
}

}  // namespace pallix
