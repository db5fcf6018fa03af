// QueryParser: golden table of queries, tokenizer rules, sizes, categories,
// dates against fixed calendars, the regex cache, and randomized input.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "app/search/QueryParser.h"
#include "app/search/RegexCache.h"
#include "tests/query/QueryTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::describe;
using testing::readGoldenRows;

// 2024-03-10 15:30:00 UTC: the day US daylight saving time starts.
const Date kDstDay = dateFromSecondsSince1970(1710084600);

DateContext context(Date now, const std::string& zone) {
  return {.now = now, .timeZoneId = zone};
}

Date utc(int year, int month, int day, int hour = 0, int minute = 0) {
  using namespace std::chrono;
  const sys_days days = sys_days(std::chrono::year(year) / month / day);
  return Date(duration_cast<Date::duration>(days.time_since_epoch() + hours(hour) + minutes(minute)));
}

TEST(QueryParserGoldenTest, EveryRowParsesToItsExpectedQuery) {
  const auto rows = readGoldenRows("parser_golden.tsv");
  ASSERT_GT(rows.size(), 50u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.columns.size(), 2u) << "line " << row.line;
    EXPECT_EQ(describe(QueryParser::parse(row.columns[0])), row.columns[1])
        << "line " << row.line << ": query '" << row.columns[0] << "'";
  }
}

TEST(FileCategoryTest, EveryWordAndNothingElse) {
  const std::vector<std::pair<std::string, FileCategory>> words = {
      {"code", FileCategory::code},          {"source", FileCategory::code},     {"programming", FileCategory::code},
      {"document", FileCategory::document},  {"doc", FileCategory::document},    {"Text", FileCategory::document},
      {"image", FileCategory::image},        {"img", FileCategory::image},       {"picture", FileCategory::image},
      {"photo", FileCategory::image},        {"audio", FileCategory::audio},     {"sound", FileCategory::audio},
      {"music", FileCategory::audio},        {"video", FileCategory::video},     {"movie", FileCategory::video},
      {"film", FileCategory::video},         {"archive", FileCategory::archive}, {"zip", FileCategory::archive},
      {"compressed", FileCategory::archive}, {"app", FileCategory::app},         {"application", FileCategory::app},
      {"bundle", FileCategory::app}};
  for (const auto& [word, category] : words) EXPECT_EQ(fileCategoryFrom(word), category) << word;
  EXPECT_EQ(fileCategoryFrom("other"), std::nullopt);
  EXPECT_EQ(fileCategoryFrom("images"), std::nullopt);
}

TEST(RelativeDateTest, RangesUseCalendarDaysInTheGivenZone) {
  const DateContext ny = context(kDstDay, "America/New_York");
  const Date midnight = utc(2024, 3, 10, 5);  // 00:00 EST
  const Date march1st = utc(2024, 3, 1, 1);
  using enum RelativeDate;
  const struct {
    RelativeDate date;
    DateContext context;
    DateRange expected;
  } cases[] = {
      // 10:30 in New York on the day clocks spring forward: the day has 23 hours.
      {today, ny, {midnight, utc(2024, 3, 11, 4)}},
      {yesterday, ny, {utc(2024, 3, 9, 5), midnight}},
      {week, ny, {utc(2024, 3, 3, 5), kDstDay}},
      {month, ny, {utc(2024, 2, 10, 5), kDstDay}},
      {year, ny, {utc(2023, 3, 10, 5), kDstDay}},
      // 01:00 UTC on March 1st is still February 29th in Los Angeles.
      {today, context(march1st, "UTC"), {utc(2024, 3, 1), utc(2024, 3, 2)}},
      {today, context(march1st, "America/Los_Angeles"), {utc(2024, 2, 29, 8), utc(2024, 3, 1, 8)}},
      // A month before March 31st, or a year before February 29th, clamps to February 28th.
      {month, context(utc(2023, 3, 31, 12), "UTC"), {utc(2023, 2, 28), utc(2023, 3, 31, 12)}},
      {year, context(utc(2024, 2, 29, 12), "UTC"), {utc(2023, 2, 28), utc(2024, 2, 29, 12)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relativeDateRange(c.date, c.context), c.expected)
        << static_cast<int>(c.date) << " at " << secondsSince1970(c.context.now) << " in " << c.context.timeZoneId;
  }
}

TEST(ParseDateTest, PatternsInOrderRelativeWordsAndZones) {
  const struct {
    const char* text;
    const char* zone;
    Date expected;
  } cases[] = {{"2024-02-29", "UTC", utc(2024, 2, 29)},
               {"2023-11", "UTC", utc(2023, 11, 1)},
               {"2001", "UTC", utc(2001, 1, 1)},
               {"12/25/2022", "UTC", utc(2022, 12, 25)},
               {"25/12/2022", "UTC", utc(2022, 12, 25)},  // not a valid month first, so day first
               {"03/04/2022", "UTC", utc(2022, 3, 4)},    // both readings valid: month first wins
               {"1970", "UTC", utc(1970, 1, 1)},
               {"2100-12-31", "UTC", utc(2100, 12, 31)},
               {"2024-07-04", "Europe/Paris", utc(2024, 7, 3, 22)},  // midnight in the context zone
               {"today", "UTC", utc(2024, 3, 10)},                   // relative words give their range start
               {"Yesterday", "UTC", utc(2024, 3, 9)},
               {"week", "UTC", utc(2024, 3, 3)},
               {"this-week", "UTC", utc(2024, 3, 3)},
               {"thismonth", "UTC", utc(2024, 2, 10)},
               {"THIS-YEAR", "UTC", utc(2023, 3, 10)}};
  for (const auto& c : cases) EXPECT_EQ(QueryParser::parseDate(c.text, context(kDstDay, c.zone)), c.expected) << c.text;
}

TEST(ParseDateTest, RejectsMalformedAndOutOfRangeDates) {
  const DateContext c = context(kDstDay, "UTC");
  for (const char* bad : {"2024-13-01", "1969", "2101", "2024-02-30", "13/13/2024", "2024-01-01x", "", "soon",
                          "20240101", "2024/01/01", "12/25/1969", "-2024", "0000", "this week", "tomorrow"}) {
    EXPECT_EQ(QueryParser::parseDate(bad, c), std::nullopt) << bad;
  }
}

TEST(RegexCacheTest, ReusesCompiledPatternsAcrossKeystrokesAndRemembersFailures) {
  RegexCache cache(4);
  auto first = cache.regex("a+b");
  auto second = cache.regex("a+b");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(cache.regex("(unclosed"), nullptr);
  // The reason is ICU's, in words, with where it stopped.
  EXPECT_TRUE(testing::failsWith(cache.lookup("(unclosed"), "/(unclosed/ is not a valid regular expression ("));
  EXPECT_TRUE(testing::failsWith(cache.lookup("(unclosed"), "paren at character 10)"));
  EXPECT_EQ(cache.compileCount(), 2u);
  // The parser compiles case-insensitively, once for every keystroke.
  const ParsedQuery typed = QueryParser::parse("/^inv.*pdf$/ notes");
  ASSERT_EQ(typed.regexes.size(), 1u);
  EXPECT_TRUE(typed.regexes[0]->findIn("INVOICE-2024.PDF"));
  EXPECT_FALSE(typed.regexes[0]->findIn("my invoice.pdf"));
  const size_t compiles = RegexCache::shared().compileCount();
  const ParsedQuery retyped = QueryParser::parse("/^inv.*pdf$/ notes x");
  ASSERT_EQ(retyped.regexes.size(), 1u);
  EXPECT_EQ(typed.regexes[0].get(), retyped.regexes[0].get());
  EXPECT_EQ(RegexCache::shared().compileCount(), compiles);
}

TEST(RegexCacheTest, EvictsLeastRecentlyUsedBeyondCapacity) {
  RegexCache cache(2);
  auto a = cache.regex("a");
  cache.regex("b");
  cache.regex("a");  // a is now the most recent
  cache.regex("c");  // evicts b
  EXPECT_EQ(cache.size(), 2u);
  const size_t compiles = cache.compileCount();
  cache.regex("a");
  EXPECT_EQ(cache.compileCount(), compiles);
  cache.regex("b");
  EXPECT_EQ(cache.compileCount(), compiles + 1);
  // An evicted expression stays usable by whoever holds it.
  cache.clear();
  EXPECT_TRUE(a->findIn("A"));
}

TEST(RegexCacheTest, ConcurrentLookupsAndMatches) {
  RegexCache cache(8);
  std::atomic<int> matches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        auto regex = cache.regex("^item" + std::to_string((i + t) % 12) + "$");
        if (regex && regex->findIn("ITEM" + std::to_string((i + t) % 12))) ++matches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(matches.load(), 1200);
  EXPECT_LE(cache.size(), 8u);
}

// Random strings over the characters the tokenizer and filters care about.
std::string randomQuery(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      " ",       " ",    "\"",   "/",  ":",   ">",    "<",    "=",     ".",         "a",     "b",
      "x",       "1",    "9",    "0",  "NOT", "not",  "is:",  "ext:",  "size:",     "type:", "in:",
      "before:", "mod:", "app:", "mb", "gb",  "k",    "dir",  "image", "2024-01-0", "\\",    "(",
      "[",       "*",    "+",    "?",  "é",   "日本", "\xff", "\xc3",  ",",         "-",     "today"};
  std::uniform_int_distribution<size_t> length(0, 24);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::string out;
  for (size_t i = length(rng); i > 0; --i) out += pieces[pick(rng)];
  return out;
}

std::string withoutSpaces(std::string s) {
  std::erase(s, ' ');
  return s;
}

TEST(QueryParserFuzzTest, RandomInputKeepsTheParsedQueryWellFormed) {
  std::mt19937 rng(20240310);
  const DateContext c = context(kDstDay, "UTC");
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const std::string text = randomQuery(rng);
    SCOPED_TRACE("query: '" + text + "'");
    const std::vector<std::string> tokens = QueryParser::tokenize(text);
    std::string joined;
    for (const auto& token : tokens) {
      ASSERT_FALSE(token.empty());
      joined += token;
    }
    // Tokenizing only removes separating spaces; it never loses characters.
    ASSERT_EQ(withoutSpaces(joined), withoutSpaces(text));

    const ParsedQuery q = QueryParser::parse(text);
    ASSERT_EQ(q, QueryParser::parse(text));
    for (const auto& term : q.textTerms) {
      ASSERT_FALSE(term.empty());
      ASSERT_NE(term.front(), ' ');
      ASSERT_NE(term.back(), ' ');
    }
    for (const auto& phrase : q.exactPhrases) ASSERT_FALSE(phrase.empty());
    for (const auto& regex : q.regexes) ASSERT_NE(regex, nullptr);
    for (const auto* list : {&q.filters, &q.excludedFilters}) {
      for (const Filter& f : *list) {
        ASSERT_FALSE(f.value.empty());
        if (f.key == FilterKey::size) {
          ASSERT_TRUE(f.comparison.has_value());
          ASSERT_EQ(std::to_string(std::stoll(f.value)), f.value);
        } else {
          ASSERT_FALSE(f.comparison.has_value());
          (void)QueryParser::parseDate(f.value, c);
        }
      }
    }
  }
}

}  // namespace
}  // namespace pallix
