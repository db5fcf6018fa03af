// The iCalendar store against .ics fixtures (tests/data/calendar): repeating
// events with exceptions and moved occurrences, all-day events, time zones
// from the file and from the system, floating times, broken files, access,
// and importing.
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>

#include "app/platform/linux/IcsCalendarStore.h"
#include "app/sources/CalendarSearchDataSource.h"
#include "core/Formatting.h"
#include "tests/platform/ScopedEnvironment.h"
#include "tests/sources/SourcesTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace testing_support;
using pallix::testing::TempDir;

class IcsCalendarStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ::tzset(); }
  void add(const std::string& fixture) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(testDataPath("calendar/" + fixture), folder + "/" + fixture,
                               std::filesystem::copy_options::overwrite_existing);
  }
  // "title@start" of the occurrences in [from, to).
  std::vector<std::string> occurrences(Date from, Date to) {
    auto events = store.events(from, to);
    EXPECT_TRUE(events.ok()) << (events.ok() ? "" : events.error().description());
    std::vector<std::string> out;
    if (!events.ok()) return out;
    for (const auto& e : events.value()) out.push_back(e.title + "@" + isoDate(e.start));
    return out;
  }

  // Floating times and all-day dates are read in the process's zone (the
  // zone is read again once the variable is put back).
  struct ZoneReset {
    ~ZoneReset() { ::tzset(); }
  } zoneReset;
  testing::ScopedEnv zone{"TZ", "Europe/Paris"};
  TempDir home;
  std::string folder = home / "Calendars";
  IcsCalendarStore store{folder};
};

TEST_F(IcsCalendarStoreTest, RepeatingEventsHonourExceptionsMovesAndTimeZones) {
  add("recurring.ics");
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 1), utc(2026, 4, 1)),
            (V{"Team standup@2026-03-02T08:30:00Z", "Monthly review@2026-03-02T13:00:00Z",
               "Team standup@2026-03-09T08:30:00Z", "Team standup (moved)@2026-03-23T10:00:00Z",
               "Team standup@2026-03-30T07:30:00Z"}))
      << "16 March is excluded, 23 March moved to 11:00, 30 March is summer time; the cancelled call is gone";
  EXPECT_EQ(occurrences(utc(2026, 4, 1), utc(2026, 4, 8)), (V{"Team standup@2026-04-06T07:30:00Z"}))
      << "the monthly review had three occurrences";

  auto events = store.events(utc(2026, 3, 9), utc(2026, 3, 10));
  ASSERT_TRUE(events.ok());
  ASSERT_EQ(events->size(), 1u);
  const CalendarEvent& standup = events->front();
  EXPECT_TRUE(standup.isRecurring);
  EXPECT_EQ(standup.uid, "standup@pallix.test");
  EXPECT_NE(standup.occurrenceId, standup.uid) << "each occurrence is told apart";
  EXPECT_EQ(standup.end - standup.start, std::chrono::minutes(15));
  EXPECT_EQ(standup.calendarTitle, "Team");
  EXPECT_EQ(standup.location, "Room 4");
}

TEST_F(IcsCalendarStoreTest, AllDayFloatingAndZonedTimes) {
  add("allday.ics");
  add("zones.ics");
  auto events = store.events(utc(2026, 3, 11), utc(2026, 3, 13));
  ASSERT_TRUE(events.ok());
  std::map<std::string, CalendarEvent> byTitle;
  for (const auto& e : *events) byTitle[e.title] = e;
  ASSERT_EQ(byTitle.size(), 4u);
  EXPECT_EQ(byTitle["Call with New York"].start, utc(2026, 3, 11, 13)) << "09:00 in New York, summer time";
  EXPECT_EQ(byTitle["Release"].start, utc(2026, 3, 11, 12));
  EXPECT_EQ(byTitle["Release"].geo, (LocationCoordinate{48.8566, 2.3522}));
  EXPECT_EQ(byTitle["Release"].url, "https://meet.example/release");
  EXPECT_EQ(byTitle["Lunch"].start, utc(2026, 3, 11, 11, 30)) << "floating 12:30 in the process's zone";
  const CalendarEvent& holiday = byTitle["Spring holiday"];
  EXPECT_TRUE(holiday.isAllDay);
  EXPECT_EQ(holiday.start, utc(2026, 3, 11, 23)) << "local midnight";
  EXPECT_EQ(holiday.end, utc(2026, 3, 14, 23));
  EXPECT_TRUE(holiday.isSubscription);
  EXPECT_EQ(occurrences(utc(2026, 12, 9), utc(2026, 12, 11)),
            std::vector<std::string>{"Ada's birthday@2026-12-09T23:00:00Z"});
}

TEST_F(IcsCalendarStoreTest, ACancelledChangedOccurrenceRemovesTheOccurrence) {
  add("cancelled-override.ics");
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 4), utc(2026, 3, 26)),
            (V{"Yoga class@2026-03-04T17:30:00Z", "Yoga class (Studio 1)@2026-03-18T18:00:00Z",
               "Yoga class@2026-03-25T17:30:00Z"}))
      << "11 March is cancelled, 18 March moved to 19:00";
}

// As when two exports are joined into one file: the series in the first VCALENDAR, its changes in the second.
TEST_F(IcsCalendarStoreTest, ChangedOccurrencesInALaterCalendarOfTheFileApply) {
  std::ifstream in(testDataPath("calendar/cancelled-override.ics"), std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  std::string text = read.str();
  const size_t zoneBegin = text.find("BEGIN:VTIMEZONE");
  const std::string zone = text.substr(zoneBegin, text.find("BEGIN:VEVENT") - zoneBegin);
  const size_t secondEvent = text.find("BEGIN:VEVENT", text.find("END:VEVENT"));
  text.insert(secondEvent, "END:VCALENDAR\r\nBEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + zone);
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/joined.ics", std::ios::binary) << text;
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 4), utc(2026, 3, 26)),
            (V{"Yoga class@2026-03-04T17:30:00Z", "Yoga class (Studio 1)@2026-03-18T18:00:00Z",
               "Yoga class@2026-03-25T17:30:00Z"}));
}

TEST_F(IcsCalendarStoreTest, AllDayEventsCoverExactlyTheirLocalDates) {
  add("birthday.ics");
  using V = std::vector<std::string>;
  // 13 March, midnight to midnight in Paris.
  EXPECT_EQ(occurrences(utc(2026, 3, 12, 23), utc(2026, 3, 13, 23)), (V{"Ski weekend@2026-03-12T23:00:00Z"}))
      << "the birthday on 12 March ends at midnight";
  EXPECT_EQ(occurrences(utc(2026, 3, 11, 23), utc(2026, 3, 12, 23)), (V{"Marie's birthday@2026-03-11T23:00:00Z"}));
  auto events = store.events(utc(2026, 3, 28, 23), utc(2026, 3, 29, 22));
  ASSERT_TRUE(events.ok());
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(events->front().title, "Clocks go forward");
  EXPECT_EQ(events->front().end, utc(2026, 3, 29, 22)) << "without DTEND one day, of 23 hours on this one";
  EXPECT_TRUE(occurrences(utc(2026, 3, 29, 22), utc(2026, 3, 30, 22)).empty());
}

TEST_F(IcsCalendarStoreTest, TodayAndTomorrowShowAllDayEventsOnTheirDay) {
  add("birthday.ics");
  const Date morning = utc(2026, 3, 12, 8);
  auto titles = [&](const std::string& query) {
    std::vector<std::string> out;
    for (const auto& r : CalendarSearchDataSource::search(store, query, morning, "")) {
      out.push_back(r.title + " " + r.relativeDateDescription + " " + r.timeRangeDescription);
    }
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(titles("events today"), (V{"Marie's birthday today All day"}));
  EXPECT_EQ(titles("events tomorrow"), (V{"Ski weekend tomorrow All day, until Sun 15 Mar"}));
}

TEST_F(IcsCalendarStoreTest, EveryRepeatRuleAndExtraDateIsRead) {
  add("multiple-rrules.ics");
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 1), utc(2026, 4, 13)),
            (V{"Bin collection@2026-03-03T07:00:00Z", "Bin collection@2026-03-07T07:00:00Z",
               "Bin collection@2026-03-10T07:00:00Z", "Bin collection@2026-03-21T07:00:00Z",
               "Bin collection@2026-03-24T07:00:00Z", "Bin collection@2026-03-26T07:00:00Z",
               "Bin collection@2026-03-31T06:00:00Z", "Bin collection@2026-04-04T06:00:00Z",
               "Bin collection@2026-04-12T06:00:00Z"}))
      << "Tuesdays until March but the 17th, first Saturdays, and three extra dates";
}

// A series changed "for this and the following events" (RANGE=THISANDFUTURE), as calendar servers
// write it, and extra dates given as periods.
TEST_F(IcsCalendarStoreTest, AChangeForThisAndTheFollowingOccurrencesAndExtraPeriods) {
  add("this-and-future.ics");
  using V = std::vector<std::string>;
  EXPECT_EQ(
      occurrences(utc(2026, 3, 1), utc(2026, 5, 1)),
      (V{"Open day@2026-03-03T09:00:00Z", "Book club@2026-03-05T18:00:00Z", "Open day@2026-03-10T09:00:00Z",
         "Book club@2026-03-12T18:00:00Z", "Open day@2026-03-17T09:00:00Z", "Book club (new room)@2026-03-19T19:00:00Z",
         "Book club (new room)@2026-03-26T19:00:00Z", "Book club (early)@2026-04-02T16:00:00Z",
         "Book club (new room)@2026-04-16T18:00:00Z", "Book club (new room)@2026-04-23T18:00:00Z"}))
      << "from 19 March an hour later and renamed (summer time from 29 March); 2 April moved on its own, 9 April "
         "excluded, eight in all";

  auto late = store.events(utc(2026, 4, 16), utc(2026, 4, 17));
  ASSERT_TRUE(late.ok());
  ASSERT_EQ(late->size(), 1u);
  EXPECT_EQ(late->front().end - late->front().start, std::chrono::minutes(90)) << "the change's length holds on";
  EXPECT_TRUE(late->front().isRecurring);
  auto march26 = store.events(utc(2026, 3, 26), utc(2026, 3, 27));
  ASSERT_TRUE(march26.ok());
  ASSERT_EQ(march26->size(), 1u);
  EXPECT_NE(march26->front().occurrenceId, late->front().occurrenceId);

  auto openDays = store.events(utc(2026, 3, 10), utc(2026, 3, 18));
  ASSERT_TRUE(openDays.ok());
  std::vector<std::chrono::minutes> lengths;
  for (const auto& e : *openDays) {
    if (e.title == "Open day") lengths.push_back(std::chrono::duration_cast<std::chrono::minutes>(e.end - e.start));
  }
  EXPECT_EQ(lengths, (std::vector<std::chrono::minutes>{std::chrono::hours(8), std::chrono::hours(3)}))
      << "each period's own end or length";
}

TEST_F(IcsCalendarStoreTest, ADateOnlyExceptionRemovesThatDaysOccurrence) {
  add("exdate-date-only.ics");
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 5), utc(2026, 3, 13)),
            (V{"Morning sync@2026-03-05T14:00:00Z", "Morning sync@2026-03-09T13:00:00Z",
               "Morning sync@2026-03-12T13:00:00Z"}))
      << "6, 10 and 11 March are excluded by date";
}

TEST_F(IcsCalendarStoreTest, WindowsZoneNamesAreMappedAndUnknownZonesReported) {
  ASSERT_TRUE(store.requestAccess().ok());
  auto imported = store.importCalendar(testDataPath("calendar/windows-tzid.ics"));
  ASSERT_TRUE(imported.ok()) << imported.error().description();
  EXPECT_EQ(imported->notes, (std::vector<CalendarImportNote>{{CalendarImportNote::Kind::unknownTimeZone,
                                                               "Supplier review", "Customized Time Zone"}}));
  using V = std::vector<std::string>;
  EXPECT_EQ(occurrences(utc(2026, 3, 11), utc(2026, 3, 14)),
            (V{"Board meeting@2026-03-11T17:00:00Z", "Call with Tokyo@2026-03-12T00:00:00Z",
               "West coast weekly@2026-03-12T17:00:00Z", "Supplier review@2026-03-13T14:00:00Z"}))
      << "18:00 in Berlin, 09:00 in Tokyo, 10:00 in Los Angeles in summer time; the unknown zone is local time";
}

TEST_F(IcsCalendarStoreTest, CommonMalformationsAreReadAndSkippedEventsExplained) {
  ASSERT_TRUE(store.requestAccess().ok());
  auto imported = store.importCalendar(testDataPath("calendar/malformed.ics"));
  ASSERT_TRUE(imported.ok()) << imported.error().description();
  EXPECT_EQ(imported->eventCount, 5u);
  EXPECT_EQ(imported->skippedCount(), 2u);
  std::vector<std::string> described;
  for (const auto& note : imported->notes) described.push_back(describe(note));
  EXPECT_EQ(described,
            (std::vector<std::string>{
                "\"Picnic\" skipped: it has no start (DTSTART)",
                "\"Concert\" skipped: its start \"next friday\" cannot be read",
                "\"Book club\": RRULE \"FREQ=MONTLY;BYDAY=1TH\" cannot be read; only its first occurrence is shown",
            }));
  using V = std::vector<std::string>;
  EXPECT_EQ(
      occurrences(utc(2026, 3, 1), utc(2026, 4, 1)),
      (V{"French course@2026-03-02T17:00:00Z", "Book club@2026-03-05T18:00:00Z", "French course@2026-03-09T17:00:00Z",
         "Dentist@2026-03-12T08:00:00Z", "French course@2026-03-16T17:00:00Z", "Swimming@2026-03-17T07:00:00Z",
         "Choir@2026-03-18T18:00:00Z", "French course@2026-03-23T17:00:00Z"}))
      << "the escaped rule repeats four times; the dentist is at 09:00 in Paris; swimming lacks its seconds; the "
         "choir's zone has an old prefix";
}

TEST_F(IcsCalendarStoreTest, BrokenFilesAreSkippedAndChangesAreReadAgain) {
  add("broken.ics");
  add("zones.ics");
  EXPECT_EQ(occurrences(utc(2026, 3, 11), utc(2026, 3, 12)).size(), 3u);
  std::filesystem::remove(folder + "/zones.ics");
  EXPECT_TRUE(occurrences(utc(2026, 3, 11), utc(2026, 3, 12)).empty());
  add("allday.ics");
  EXPECT_EQ(occurrences(utc(2026, 3, 11), utc(2026, 3, 12)).size(), 1u);
}

// The calendar source reads on its worker while the command line reads on its main thread: the first reads of
// a fresh store, which both parse and cache the same file, must not free what the other is expanding.
TEST_F(IcsCalendarStoreTest, ReadersOnTwoThreadsShareTheParsedFiles) {
  add("recurring.ics");
  for (int round = 0; round < 20; ++round) {
    IcsCalendarStore fresh{folder};
    std::latch start(2);
    auto count = [&] {
      start.arrive_and_wait();
      auto events = fresh.events(utc(2026, 1, 1), utc(2027, 1, 1));
      return events.ok() ? events.value().size() : 0u;
    };
    std::size_t onWorker = 0;
    std::thread worker([&] { onWorker = count(); });
    const std::size_t onMain = count();
    worker.join();
    EXPECT_GT(onMain, 0u);
    EXPECT_EQ(onWorker, onMain);
  }
}

TEST_F(IcsCalendarStoreTest, AccessFollowsTheFolderAndImportsCopyValidFiles) {
  EXPECT_EQ(store.accessStatus(), CalendarAccess::notDetermined);
  EXPECT_FALSE(store.events(utc(2026, 1, 1), utc(2027, 1, 1)).ok());
  auto granted = store.requestAccess();
  ASSERT_TRUE(granted.ok());
  EXPECT_TRUE(granted.value());
  EXPECT_EQ(store.accessStatus(), CalendarAccess::authorized);

  auto first = store.importCalendar(testDataPath("calendar/zones.ics"));
  ASSERT_TRUE(first.ok()) << first.error().description();
  EXPECT_EQ(first->eventCount, 3u);
  EXPECT_EQ(first->storedPath, folder + "/zones.ics");
  auto second = store.importCalendar(testDataPath("calendar/zones.ics"));
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->storedPath, folder + "/zones-2.ics") << "an import never overwrites another calendar";

  if (::geteuid() != 0) {
    std::filesystem::permissions(folder, std::filesystem::perms::none);
    EXPECT_EQ(store.accessStatus(), CalendarAccess::denied);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  }
}

}  // namespace
}  // namespace pallix
