// The calendar source over an in-memory store: which queries it handles,
// what a search finds, upcoming events, permission, and the event open URL
// both for repeating and single events, and how activation opens it.
#include "app/sources/CalendarSearchDataSource.h"
#include "testing/FakeCalendarStore.h"
#include "testing/RecordingCommandRunner.h"
#include "testing/RecordingWorkspace.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

CalendarEvent event(std::string title, Date start, Duration length, std::string uid = {}) {
  if (uid.empty()) uid = title + "@test";
  return {.uid = uid,
          .occurrenceId = uid,
          .title = std::move(title),
          .start = start,
          .end = start + length,
          .calendarTitle = "Work",
          .sourcePath = "/calendars/work.ics"};
}

class CalendarSourceTest : public SourcesFixture {
 protected:
  void SetUp() override {
    SourcesFixture::SetUp();
    store->all = {event("Standup", utc(2026, 3, 11, 9, 30), 15min), event("Dentist", utc(2026, 3, 11, 10, 45), 1h),
                  event("Standup", utc(2026, 3, 12, 9, 30), 15min, "standup-2@test"),
                  event("Dinner with Sam", utc(2026, 3, 13, 19), 2h), event("Offsite", utc(2026, 4, 20, 9), 8h)};
    store->all[3].location = "Chez Paul";
    store->all[3].notes = "Bring the tickets, see https://tickets.example/42 for the booking";
  }
  void create() {
    source = std::make_unique<CalendarSearchDataSource>(
        CalendarSearchDataSource::Dependencies{store, env.makeRunner("calendar"), env.mainRunner(), "UTC"});
    settle();
  }
  std::vector<std::string> titles(const std::string& query) {
    std::vector<std::string> out;
    source->performSearch(query, [&](std::optional<VCRDataSourceResult> r) {
      if (r) {
        for (const auto& e : std::get<std::vector<CalendarSearchResult>>(*r)) out.push_back(e.title);
      }
    });
    settle();
    return out;
  }
  std::shared_ptr<FakeCalendarStore> store = std::make_shared<FakeCalendarStore>();
  std::unique_ptr<CalendarSearchDataSource> source;
};

TEST_F(CalendarSourceTest, SearchesByTextAndIntervalAndHandlesKeywordsAndComingTitles) {
  create();
  using V = std::vector<std::string>;
  EXPECT_EQ(titles("standup"), (V{"Standup", "Standup"}));
  EXPECT_EQ(titles("standup tomorrow"), (V{"Standup"}));
  EXPECT_EQ(titles("events today"), (V{"Standup", "Dentist"}));
  EXPECT_EQ(titles("chez paul"), (V{"Dinner with Sam"})) << "the place matches too";
  EXPECT_EQ(titles("offsite"), V{}) << "beyond the 30 days searched without an interval";
  EXPECT_EQ(titles("events next hour"), (V{"Dentist"}));
  // It handles its keywords and the titles of the coming weeks.
  for (const char* text : {"my calendar", "Standup", "dinner sam"}) EXPECT_TRUE(source->shouldHandle(text)) << text;
  for (const char* text : {"dinner bob", "weather today", "st"}) EXPECT_FALSE(source->shouldHandle(text)) << text;
}

TEST_F(CalendarSourceTest, WithoutAccessNothingIsReadAndNothingAsks) {
  store->access = CalendarAccess::notDetermined;
  create();
  EXPECT_EQ(source->authorizationStatus(), PermissionStatus::notDetermined);
  EXPECT_FALSE(source->shouldHandle("calendar"));
  EXPECT_TRUE(titles("events today").empty());
  EXPECT_EQ(store->queries, 0);
  EXPECT_EQ(store->accessRequests, 0) << "the source does not prompt by itself";

  std::optional<bool> granted;
  source->requestAuthorization([&](bool g) { granted = g; });
  settle();
  EXPECT_EQ(granted, true);
  EXPECT_EQ(source->authorizationStatus(), PermissionStatus::authorized);
  EXPECT_TRUE(source->shouldHandle("standup")) << "the titles were read once access was granted";
}

TEST_F(CalendarSourceTest, UpcomingEventsStartWithinTheLookahead) {
  create();
  const auto upcoming = [this](int limit) {
    std::vector<std::string> out;
    source->upcomingEvents(3600, limit, [&](std::vector<CalendarSearchResult> events) {
      for (const auto& e : events) out.push_back(e.title);
    });
    settle();
    return out;
  };
  EXPECT_EQ(upcoming(5), std::vector<std::string>{"Dentist"}) << "started ones are not upcoming";
  store->all = {event("In an hour and a minute", utc(2026, 3, 11, 11, 1), 10min)};
  EXPECT_TRUE(upcoming(1).empty());
}

TEST_F(CalendarSourceTest, ResultsDescribeTheEvent) {
  auto r = CalendarSearchDataSource::resultFor(store->all[3], utc(2026, 3, 11, 10), "UTC");
  EXPECT_EQ(r.relativeDateDescription, "in 2 days");
  EXPECT_EQ(r.primaryDateDescription, "Fri 13 Mar");
  EXPECT_EQ(r.timeRangeDescription, "19:00 \u2013 21:00");
  EXPECT_EQ(r.meetingURL, "https://tickets.example/42");
  EXPECT_EQ(r.calendarTypeDescription, "Local calendar");
  CalendarEvent allDay = event("Holiday", utc(2026, 3, 12), 48h);
  allDay.isAllDay = true;
  auto h = CalendarSearchDataSource::resultFor(allDay, utc(2026, 3, 11, 10), "UTC");
  EXPECT_EQ(h.relativeDateDescription, "tomorrow");
  EXPECT_EQ(h.timeRangeDescription, "All day, until Fri 13 Mar");
}

TEST(CalendarOpenURLTest, RepeatingEventsCarryTheOccurrenceStart) {
  CalendarSearchResult single;
  single.identifier = "a/b c";
  single.calendarItemIdentifier = "4F2A@example.com";
  single.startDate = utc(2026, 3, 11, 9, 30);
  EXPECT_EQ(single.makeCalendarOpenURL(), "ical://ekevent/4F2A%40example.com?method=show&options=more");

  CalendarSearchResult repeating = single;
  repeating.hasRecurrenceRules = true;
  EXPECT_EQ(repeating.makeCalendarOpenURL("Europe/Paris"),
            "ical://ekevent/20260311T093000Z/4F2A%40example.com?method=show&options=more")
      << "in UTC";
  repeating.isAllDay = true;
  repeating.startDate = utc(2026, 3, 11, 23);  // midnight of 12 March in Paris
  EXPECT_EQ(repeating.makeCalendarOpenURL("Europe/Paris"),
            "ical://ekevent/20260312T000000Z/4F2A%40example.com?method=show&options=more")
      << "all-day events in the current zone";

  CalendarSearchResult fallback;
  fallback.identifier = "only-id";
  EXPECT_EQ(fallback.makeCalendarOpenURL(), "ical://ekevent/only-id?method=show&options=more");
  EXPECT_EQ(CalendarSearchResult{}.makeCalendarOpenURL(), std::nullopt);
}

TEST(CalendarActivationTest, OpensTheURLWhenAnApplicationTakesItElseTheFile) {
  CalendarSearchResult e;
  e.title = "Standup";
  e.calendarItemIdentifier = "standup@test";
  e.sourcePath = "/home/me/.local/share/Pallix/Calendars/work.ics";
  for (bool handler : {true, false}) {
    RecordingWorkspace workspace;
    RecordingCommandRunner runner;
    runner.setRunResult("xdg-mime", CommandOutput{0, handler ? "org.gnome.Calendar.desktop\n" : "", ""});
    ASSERT_TRUE(openCalendarEvent(e, workspace, runner).ok());
    EXPECT_EQ(runner.argvs(),
              (std::vector<std::vector<std::string>>{{"xdg-mime", "query", "default", "x-scheme-handler/ical"}}));
    const RecordingWorkspace::Request opened =
        handler ? RecordingWorkspace::Request{RecordingWorkspace::Action::openURL, *e.makeCalendarOpenURL(), ""}
                : RecordingWorkspace::Request{RecordingWorkspace::Action::openFile, *e.sourcePath, ""};
    EXPECT_EQ(workspace.requests(), std::vector<RecordingWorkspace::Request>{opened});
  }
  RecordingWorkspace workspace;
  RecordingCommandRunner runner;
  e.sourcePath.reset();
  EXPECT_FALSE(openCalendarEvent(e, workspace, runner).ok());
}

}  // namespace
}  // namespace pallix
