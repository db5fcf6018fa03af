// The iCalendar store against .ics fixtures (tests/data/calendar): repeating
// events with exceptions and moved occurrences, all-day events, time zones
// from the file and from the system, floating times, broken files, access,
// and importing.
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <latch>
#include <thread>

#include "app/platform/linux/IcsCalendarStore.h"
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
