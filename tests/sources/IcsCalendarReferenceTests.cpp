// The iCalendar store against an independent reader: every fixture of
// tests/data/calendar written the way calendar programs write it (a cancelled
// override, an all-day birthday, several RRULEs, date-only EXDATEs, Windows
// zone names without VTIMEZONE, an escaped RRULE) is expanded by the store and
// by python3-icalendar with python3-dateutil (tests/sources/ics_occurrences.py),
// and the two lists of occurrences must be the same.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "app/platform/linux/IcsCalendarStore.h"
#include "core/Formatting.h"
#include "testing/TestProcess.h"
#include "tests/platform/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLocalZone = "Europe/Paris";

std::string fixturePath(const std::string& name) {
  return std::string(PALLIX_SOURCE_ROOT) + "/tests/data/calendar/" + name;
}

struct Case {
  std::string label;
  std::string fixture;
  std::string readerFixture;  // what the reference reads: the fixture, or the fixture as its writer meant it
  std::string from;
  std::string to;
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
  return out << c.label;
}

class IcsCalendarReferenceTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { ::tzset(); }
  struct ZoneReset {
    ~ZoneReset() { ::tzset(); }
  } zoneReset;
  testing::ScopedEnv zone{"TZ", kLocalZone};
  pallix::testing::TempDir home;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

Date parseUtc(const std::string& text) {
  std::tm tm{};
  EXPECT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << text;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

TEST_P(IcsCalendarReferenceTest, OccurrencesMatchTheReferenceReader) {
  const Case& c = GetParam();
  auto reference =
      pallix::testing::runProcess({kPython, std::string(PALLIX_SOURCE_ROOT) + "/tests/sources/ics_occurrences.py",
                                   fixturePath(c.readerFixture), c.from, c.to, kLocalZone},
                                  {}, std::chrono::seconds(60));
  ASSERT_EQ(reference.exitCode, 0) << reference.err
                                   << "\nThe reference needs python3-icalendar and python3-dateutil (scripts/setup.sh)";
  const std::vector<std::string> expected = lines(reference.out);
  ASSERT_FALSE(expected.empty()) << "the reference found no occurrences in " << c.readerFixture;

  const std::string folder = home / "Calendars";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(fixturePath(c.fixture), folder + "/" + c.fixture);
  IcsCalendarStore store(folder);
  auto events = store.events(parseUtc(c.from), parseUtc(c.to));
  ASSERT_TRUE(events.ok()) << events.error().description();
  std::vector<std::string> actual;
  for (const CalendarEvent& e : events.value())
    actual.push_back(isoDate(e.start) + "|" + isoDate(e.end) + "|" + e.title);
  std::sort(actual.begin(), actual.end());
  EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, IcsCalendarReferenceTest,
    ::testing::Values(
        Case{"recurring", "recurring.ics", "recurring.ics", "2026-01-01T00:00:00Z", "2026-06-01T00:00:00Z"},
        Case{"allday", "allday.ics", "allday.ics", "2026-01-01T00:00:00Z", "2028-01-01T00:00:00Z"},
        Case{"zones", "zones.ics", "zones.ics", "2026-03-01T00:00:00Z", "2026-04-01T00:00:00Z"},
        Case{"cancelledOverride", "cancelled-override.ics", "cancelled-override.ics", "2026-01-01T00:00:00Z",
             "2026-05-01T00:00:00Z"},
        Case{"birthday", "birthday.ics", "birthday.ics", "2026-03-01T00:00:00Z", "2028-04-01T00:00:00Z"},
        // The day after the birthday, from local midnight to local midnight.
        Case{"birthdayNextDay", "birthday.ics", "birthday.ics", "2026-03-12T23:00:00Z", "2026-03-13T23:00:00Z"},
        Case{"multipleRrules", "multiple-rrules.ics", "multiple-rrules.ics", "2026-03-01T00:00:00Z",
             "2026-07-01T00:00:00Z"},
        Case{"exdateDateOnly", "exdate-date-only.ics", "exdate-date-only.ics", "2026-03-01T00:00:00Z",
             "2026-04-01T00:00:00Z"},
        Case{"windowsTzid", "windows-tzid.ics", "windows-tzid.ics", "2026-03-01T00:00:00Z", "2026-04-01T00:00:00Z"},
        Case{"malformed", "malformed.ics", "malformed-as-meant.ics", "2026-03-01T00:00:00Z", "2026-04-01T00:00:00Z"}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.label; });

}  // namespace
}  // namespace pallix
