// Plain-words file queries: an oracle of phrasings and the power queries
// they compile to, grouped by what they exercise, and real-looking file
// names that must stay name searches. "Now" is Wednesday 2026-12-09 12:00
// UTC; weeks start on Sunday (en_US_POSIX), so this week began on
// 2026-12-06 and last week on 2026-11-29.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/search/PlainWordsDates.h"
#include "app/search/PlainWordsFilters.h"
#include "app/search/QueryParser.h"

namespace pallix {
namespace {

using Reading = PlainWordsQuery::Reading;

const char* readingName(Reading reading) {
  switch (reading) {
    case Reading::name:
      return "name";
    case Reading::filters:
      return "filters";
    case Reading::both:
      return "both";
  }
  return "?";
}

DateContext wednesdayNoon() {
  return {.now = dateFromSecondsSince1970(1796817600), .timeZoneId = "UTC"};
}

struct Phrasing {
  std::string text;
  std::string compiled;
};

struct Group {
  const char* name;
  std::vector<Phrasing> phrasings;
};

const std::string kSheets = "ext:xls,xlsx,ods,csv,numbers";
const std::string kSlides = "ext:ppt,pptx,odp,key,keynote";

// Phrasings that compile: the filters and the words they leave.
const std::vector<Group>& compilingGroups() {
  static const std::vector<Group> groups = {
      {"kinds of file",
       {
           {"pdfs from last week", "ext:pdf modified:lastweek"},
           {"pdf files from today", "ext:pdf modified:today"},
           {"documents from yesterday", "type:document modified:yesterday"},
           {"docs from this week", "type:document modified:week"},
           {"word documents from last month", "ext:doc,docx,odt modified:lastmonth"},
           {"spreadsheets from today", kSheets + " modified:today"},
           {"presentations from last year", kSlides + " modified:lastyear"},
           {"slides from yesterday", kSlides + " modified:yesterday"},
           {"slide decks from this month", kSlides + " modified:month"},
           {"photos from today", "type:image modified:today"},
           {"pictures from last week", "type:image modified:lastweek"},
           {"pics from yesterday", "type:image modified:yesterday"},
           {"images from this year", "type:image modified:year"},
           {"image files from last month", "type:image modified:lastmonth"},
           {"videos from today", "type:video modified:today"},
           {"movies from last year", "type:video modified:lastyear"},
           {"video files from yesterday", "type:video modified:yesterday"},
           {"clips from this week", "type:video modified:week"},
           {"songs from last month", "type:audio modified:lastmonth"},
           {"music from this week", "type:audio modified:week"},
           {"audio files from today", "type:audio modified:today"},
           {"archives from last week", "type:archive modified:lastweek"},
           {"zips from yesterday", "ext:zip modified:yesterday"},
           {"zip files from today", "ext:zip modified:today"},
           {"code from today", "type:code modified:today"},
           {"source files from yesterday", "type:code modified:yesterday"},
           {"python scripts from last week", "ext:py modified:lastweek"},
           {"ebooks from last year", "ext:epub,mobi modified:lastyear"},
           {"text files from today", "ext:txt modified:today"},
           {"mp3s from last month", "ext:mp3 modified:lastmonth"},
           {"mkv files from this week", "ext:mkv modified:week"},
           {"pngs from yesterday", "ext:png modified:yesterday"},
           {"csv files from today", "ext:csv modified:today"},
           {"docx files from last week", "ext:docx modified:lastweek"},
           {"pdfs and spreadsheets from today", "ext:pdf,xls,xlsx,ods,csv,numbers modified:today"},
           {"jpgs and pngs from yesterday", "ext:jpg,png modified:yesterday"},
           {"folders from today", "is:folder modified:today"},
           {"directories created last week", "is:folder created:lastweek"},
       }},
      {"dates",
       {
           {"pdfs modified today", "ext:pdf modified:today"},
           {"spreadsheets I changed today", kSheets + " modified:today"},
           {"documents i edited yesterday", "type:document modified:yesterday"},
           {"files I worked on last week", "modified:lastweek"},
           {"files changed this week", "modified:week"},
           {"files updated in the past week", "modified:week"},
           {"photos from the past month", "type:image modified:month"},
           {"files saved recently", "modified:month"},
           {"files modified in the last 3 days", "after:2026-12-06"},
           {"photos from the last 30 days", "type:image after:2026-11-09"},
           {"videos from the past 2 weeks", "type:video after:2026-11-25"},
           {"documents from the last 6 months", "type:document after:2026-06-09"},
           {"files from the last few days", "modified:week"},
           {"files from the last couple of days", "after:2026-12-06"},
           {"files from the last 7 days", "modified:week"},
           {"photos from march", "type:image after:2026-03 before:2026-04"},
           {"photos in march", "type:image after:2026-03 before:2026-04"},
           {"videos from december", "type:video after:2026-12 before:2027-01"},
           {"pdfs from january", "ext:pdf after:2026-01 before:2026-02"},
           {"photos from march 2024", "type:image after:2024-03 before:2024-04"},
           {"photos taken in may", "type:image after:2026-05 before:2026-06"},
           {"documents from sept", "type:document after:2026-09 before:2026-10"},
           {"pdfs from feb 2025", "ext:pdf after:2025-02 before:2025-03"},
           {"documents from june of 2025", "type:document after:2025-06 before:2025-07"},
           {"photos from 2023", "type:image after:2023 before:2024"},
           {"videos in 2021", "type:video after:2021 before:2022"},
           {"files from monday", "modified:2026-12-07"},
           {"files on monday", "modified:2026-12-07"},
           {"files from last friday", "modified:2026-12-04"},
           {"documents from wednesday", "type:document modified:2026-12-02"},
           {"files changed 3 days ago", "modified:2026-12-06"},
           {"files from 2024-06-15", "modified:2024-06-15"},
           {"files from 2024-06", "after:2024-06 before:2024-07"},
           {"pdfs since march", "ext:pdf after:2026-03"},
           {"pdfs since yesterday", "ext:pdf after:2026-12-08"},
           {"documents since 2024", "type:document after:2024"},
           {"photos before 2020", "type:image before:2020"},
           {"documents before last week", "type:document before:2026-11-29"},
           {"videos after june 2025", "type:video after:2025-07"},
           {"files after last month", "after:2026-12-01"},
           {"files since 2024-06-15", "after:2024-06-15"},
           {"files modified after 2024-06-15", "after:2024-06-16"},
           {"pdfs today", "ext:pdf modified:today"},
           {"videos yesterday", "type:video modified:yesterday"},
           {"spreadsheets last week", kSheets + " modified:lastweek"},
           {"recent pdfs", "ext:pdf modified:month"},
           {"photos recently", "type:image modified:month"},
       }},
      {"created",
       {
           {"files created today", "created:today"},
           {"photos taken yesterday", "type:image created:yesterday"},
           {"documents created last week", "type:document created:lastweek"},
           {"files i downloaded today", "created:today"},
           {"files added this month", "created:month"},
           {"videos recorded on monday", "type:video created:2026-12-07"},
           {"files made in 2024", "after:2024 before:2025"},
       }},
      {"sizes",
       {
           {"big videos", "type:video size:>100mb"},
           {"huge videos", "type:video size:>1gb"},
           {"small videos", "type:video size:<10mb"},
           {"large photos", "type:image size:>10mb"},
           {"tiny images", "type:image size:<100kb"},
           {"big pdfs", "ext:pdf size:>10mb"},
           {"small documents", "type:document size:<100kb"},
           {"big files", "size:>100mb"},
           {"huge files", "size:>1gb"},
           {"small files", "size:<1mb"},
           {"tiny files", "size:<100kb"},
           {"empty files", "size:0"},
           {"massive archives", "type:archive size:>1gb"},
           {"big songs", "type:audio size:>20mb"},
           {"large mkv files", "ext:mkv size:>100mb"},
           {"files over 2gb", "size:>2gb"},
           {"videos over 500 mb", "type:video size:>500mb"},
           {"files larger than 1gb", "size:>1gb"},
           {"files bigger than 100 megabytes", "size:>100mb"},
           {"photos under 1mb", "type:image size:<1mb"},
           {"files smaller than 10kb", "size:<10kb"},
           {"files less than 1.5 gb", "size:<1.5gb"},
           {"files at least 4gb", "size:>=4gb"},
           {"pdfs at most 200kb", "ext:pdf size:<=200kb"},
           {"videos above 1 gigabytes", "type:video size:>1gb"},
           {"big videos from last week", "type:video size:>100mb modified:lastweek"},
           {"huge files from this year", "size:>1gb modified:year"},
           {"tiny pngs from yesterday", "ext:png size:<100kb modified:yesterday"},
           {"videos over 1gb from 2023", "type:video size:>1gb after:2023 before:2024"},
           {"my big files", "size:>100mb"},
       }},
      {"topics",
       {
           {"presentations about the budget", kSlides + " budget"},
           {"documents about taxes", "type:document taxes"},
           {"pdfs named invoice", "ext:pdf invoice"},
           {"spreadsheets called forecast", kSheets + " forecast"},
           {"photos of the beach", "type:image beach"},
           {"videos with dogs", "type:video dogs"},
           {"presentations on the roadmap", kSlides + " roadmap"},
           {"documents regarding the lease", "type:document lease"},
           {"pdfs about taxes from 2023", "ext:pdf after:2023 before:2024 taxes"},
           {"budget spreadsheets from last month", kSheets + " modified:lastmonth budget"},
           {"tax pdfs from last year", "ext:pdf modified:lastyear tax"},
           {"vacation photos from march", "type:image after:2026-03 before:2026-04 vacation"},
           {"invoice pdfs I changed today", "ext:pdf modified:today invoice"},
           {"show me presentations about marketing", kSlides + " marketing"},
           {"find all my pdfs about insurance", "ext:pdf insurance"},
           {"documents titled report from yesterday", "type:document modified:yesterday report"},
           {"slides for the offsite", kSlides + " offsite"},
       }},
      {"folders",
       {
           {"pdfs in downloads", "ext:pdf in:downloads"},
           {"photos on the desktop", "type:image in:desktop"},
           {"videos in my videos folder", "type:video in:videos"},
           {"files in the invoices folder from last week", "in:invoices modified:lastweek"},
           {"spreadsheets in folder finance", kSheets + " in:finance"},
           {"big files in downloads", "in:downloads size:>100mb"},
           {"documents in the projects directory", "type:document in:projects"},
       }},
      {"with power-query tokens",
       {
           {"ext:pdf from last week", "ext:pdf modified:lastweek"},
           {"ext:pdf today", "ext:pdf modified:today"},
           {"type:video big", "type:video size:>100mb"},
           {"in:work spreadsheets from yesterday", "in:work " + kSheets + " modified:yesterday"},
           {"NOT ext:tmp files from today", "NOT ext:tmp modified:today"},
           {"\"annual report\" pdfs", "\"annual report\" ext:pdf"},
           {"size:>1mb photos since 2024", "size:>1mb type:image after:2024"},
       }},
      {"punctuation and case",
       {
           {"PDFs from Last Week", "ext:pdf modified:lastweek"},
           {"Big Videos", "type:video size:>100mb"},
           {"photos from March?", "type:image after:2026-03 before:2026-04"},
           {"Spreadsheets I changed TODAY!", kSheets + " modified:today"},
           {"  pdfs   from   yesterday  ", "ext:pdf modified:yesterday"},
       }},
  };
  return groups;
}

// Phrasings whose words may also be a name: both are searched, the name
// as typed first.
const std::vector<Phrasing>& bothWays() {
  static const std::vector<Phrasing> phrasings = {
      {"march madness", "after:2026-03 before:2026-04 madness"},
      {"big fish", "size:>100mb fish"},
      {"last week tonight", "modified:lastweek tonight"},
      {"today", "modified:today"},
      {"yesterday", "modified:yesterday"},
      {"videos", "type:video"},
      {"photos", "type:image"},
      {"music", "type:audio"},
      {"pdfs", "ext:pdf"},
      {"budget spreadsheets", kSheets + " budget"},
      {"the big lebowski", "size:>100mb lebowski"},
      {"small world", "size:<1mb world"},
      {"tiny house videos", "type:video size:<1mb house"},
      {"pdfs i changed", "ext:pdf changed"},
  };
  return phrasings;
}

// Real-looking names: searched as typed, nothing compiled.
const std::vector<const char*>& names() {
  static const std::vector<const char*> list = {
      "march madness.mp4",
      "big fish.mkv",
      "today.txt",
      "last week tonight s01e02.mkv",
      "photos.zip",
      "videos.txt",
      "big lebowski 1998.mkv",
      "yesterday.mp3",
      "small.png",
      "huge-backup.tar",
      "invoice 2023.pdf",
      "budget 2024.xlsx",
      "presentation final.pptx",
      "my documents.lnk",
      "pdfs from last week.txt",
      "from dusk till dawn",
      "the last of us",
      "in the mood for love",
      "back to the future",
      "may the force be with you",
      "2001 a space odyssey",
      "report",
      "quarterly report",
      "kestrel.conf",
      "resume",
      "notes",
      "IMG_2031.JPG",
      "DSC00042",
      "the office s03e07",
      "friday night lights s01e01.mkv",
      "monday.com export.csv",
      "june recap.docx",
      "april fools.mov",
      "sunday morning.flac",
      "this is us s02e05.mkv",
      "recent changes.md",
      "empty.txt",
      "large_dataset.parquet",
      "tiny desk concert.webm",
      "old photos.7z",
      "movies.db",
      "song of the sea.mp4",
      "code review notes.txt",
      "archive.org dump.json",
      "taxes",
      "dec 2023 statement.pdf",
      "week 12 slides.key",
      "over the garden wall s01e03.mkv",
      "under pressure.mp3",
      "at least once.doc",
      "photo album",
      "pdf",
      "tax pdf",
      "video",
  };
  return list;
}

TEST(PlainWordsFiltersTest, PhrasingsCompileToTheirPowerQueries) {
  size_t count = 0;
  for (const Group& group : compilingGroups()) {
    for (const Phrasing& p : group.phrasings) {
      ++count;
      const PlainWordsQuery query = PlainWordsFilters::read(p.text, wednesdayNoon());
      EXPECT_STREQ(readingName(query.reading), "filters") << group.name << ": " << p.text << " -> " << query.compiled();
      EXPECT_EQ(query.compiled(), p.compiled) << group.name << ": " << p.text;
    }
  }
  EXPECT_GE(count, 150u);
}

TEST(PlainWordsFiltersTest, WordsThatMayBeANameAreSearchedBothWays) {
  for (const Phrasing& p : bothWays()) {
    const PlainWordsQuery query = PlainWordsFilters::read(p.text, wednesdayNoon());
    EXPECT_STREQ(readingName(query.reading), "both") << p.text << " -> " << query.compiled();
    EXPECT_EQ(query.compiled(), p.compiled) << p.text;
    EXPECT_EQ(query.typed, p.text);
  }
}

TEST(PlainWordsFiltersTest, RealLookingFileNamesStayNameSearches) {
  EXPECT_GE(names().size(), 50u);
  for (const char* name : names()) {
    const PlainWordsQuery query = PlainWordsFilters::read(name, wednesdayNoon());
    EXPECT_STREQ(readingName(query.reading), "name") << name << " -> " << query.compiled();
    EXPECT_TRUE(query.filters.empty()) << name;
  }
}

TEST(PlainWordsFiltersTest, KindsNoFileIsAtOnceCompileToNothing) {
  // ext:pdf type:video would find nothing; the words are searched as typed.
  EXPECT_STREQ(readingName(PlainWordsFilters::read("pdfs and videos", wednesdayNoon()).reading), "name");
  EXPECT_STREQ(readingName(PlainWordsFilters::read("photos and songs from today", wednesdayNoon()).reading), "name");
}

TEST(PlainWordsFiltersTest, EveryCompiledQueryParsesWithoutProblems) {
  for (const Group& group : compilingGroups()) {
    for (const Phrasing& p : group.phrasings) {
      const ParsedQuery parsed = QueryParser::parse(PlainWordsFilters::read(p.text, wednesdayNoon()).compiled());
      EXPECT_TRUE(parsed.problems.empty()) << p.text << ": " << parsed.problems.front().description;
      EXPECT_FALSE(parsed.filters.empty() && parsed.excludedFilters.empty()) << p.text;
    }
  }
}

TEST(PlainWordsFiltersTest, ChipsAreTheKeptTokensAndTheCompiledFiltersWordsStayInTheField) {
  const PlainWordsQuery query = PlainWordsFilters::read("ext:pdf about taxes from last week", wednesdayNoon());
  ASSERT_EQ(query.reading, Reading::filters);
  EXPECT_EQ(query.chips(), (std::vector<std::string>{"ext:pdf", "modified:lastweek"}));
  EXPECT_EQ(query.words, std::vector<std::string>{"taxes"});
}

TEST(PlainWordsFiltersTest, MonthsAreTheLatestOnesThatHaveBegun) {
  DateContext february = wednesdayNoon();
  february.now = dateFromSecondsSince1970(1771243200);  // 2026-02-16 12:00 UTC
  EXPECT_EQ(PlainWordsFilters::read("photos from march", february).compiled(),
            "type:image after:2025-03 before:2025-04");
  EXPECT_EQ(PlainWordsFilters::read("photos from february", february).compiled(),
            "type:image after:2026-02 before:2026-03");
}

TEST(PlainWordsFiltersTest, DaysFollowTheTimeZone) {
  DateContext tokyo = wednesdayNoon();
  tokyo.now = dateFromSecondsSince1970(1796817600 + 13 * 3600);  // 01:00 on Thursday in Tokyo
  tokyo.timeZoneId = "Asia/Tokyo";
  EXPECT_EQ(PlainWordsFilters::read("files from monday", tokyo).compiled(), "modified:2026-12-07");
  EXPECT_EQ(PlainWordsFilters::read("files since yesterday", tokyo).compiled(), "after:2026-12-09");
}

TEST(PlainWordsFiltersTest, LastWeekIsTheCalendarWeekBeforeThisOne) {
  const DateContext now = wednesdayNoon();
  const DateRange last = relativeDateRange(RelativeDate::lastWeek, now);
  EXPECT_EQ(PlainWordsDates::dayText(last.start, now), "2026-11-29");
  EXPECT_EQ(PlainWordsDates::dayText(last.end, now), "2026-12-06");
  DateContext monday = now;
  monday.calendarLocale = "en_GB";
  const DateRange british = relativeDateRange(RelativeDate::lastWeek, monday);
  EXPECT_EQ(PlainWordsDates::dayText(british.start, now), "2026-11-30");
  EXPECT_EQ(PlainWordsDates::dayText(british.end, now), "2026-12-07");
  const DateRange lastMonth = relativeDateRange(RelativeDate::lastMonth, now);
  EXPECT_EQ(PlainWordsDates::dayText(lastMonth.start, now), "2026-11-01");
  EXPECT_EQ(PlainWordsDates::dayText(lastMonth.end, now), "2026-12-01");
  const DateRange lastYear = relativeDateRange(RelativeDate::lastYear, now);
  EXPECT_EQ(PlainWordsDates::dayText(lastYear.start, now), "2025-01-01");
  EXPECT_EQ(PlainWordsDates::dayText(lastYear.end, now), "2026-01-01");
}

}  // namespace
}  // namespace pallix
