#include <gtest/gtest.h>

#include <set>

#include "core/Error.h"
#include "core/Logger.h"
#include "core/NotificationCenter.h"
#include "core/Strings.h"
#include "core/Telemetry.h"
#include "core/UUID.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

Result<int> parsePositive(int v) {
  if (v <= 0) return Error("TestError", 7, "not positive: " + std::to_string(v));
  return v;
}

Result<int> doubled(int v) {
  PALLIX_ASSIGN_OR_RETURN(int x, parsePositive(v));
  return x * 2;
}

Status check(int v) {
  PALLIX_RETURN_IF_ERROR(parsePositive(v));
  return okStatus();
}

TEST(ErrorTest, ResultPropagatesTheOriginalError) {
  EXPECT_EQ(doubled(4).value(), 8);
  auto bad = doubled(-1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().domain(), "TestError");
  EXPECT_EQ(bad.error().code(), 7);
  EXPECT_EQ(bad.error().description(), "not positive: -1");
  EXPECT_TRUE(check(1).ok());
  EXPECT_EQ(check(0).error().withContext("loading").description(), "loading: not positive: 0");
  EXPECT_EQ(Error::fromErrno("Cannot open x", ENOENT).description(), "Cannot open x: No such file or directory");
}

TEST(UUIDTest, RandomIdsAreVersion4UniqueAndRoundTrip) {
  std::set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    UUID u = UUID::random();
    std::string s = u.string();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_TRUE(s[19] == '8' || s[19] == '9' || s[19] == 'A' || s[19] == 'B');
    EXPECT_EQ(UUID::parse(s), u);
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_FALSE(UUID::parse("not-a-uuid").has_value());
  EXPECT_FALSE(UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5").has_value());
  EXPECT_FALSE(UUID::parse("E621E1F8xC36C-495A-93FC-0C247A3E6E5F").has_value());
  EXPECT_TRUE(UUID().isNil());
}

TEST(NotificationCenterTest, ObserversMayUnregisterWhileHandling) {
  NotificationCenter center;
  int first = 0, second = 0;
  NotificationCenter::Token firstToken = 0;
  firstToken = center.addObserver("FilesPreferencesDidChange", [&](const Notification&) {
    ++first;
    center.removeObserver(firstToken);
  });
  center.addObserver("FilesPreferencesDidChange",
                     [&](const Notification& n) { second += std::any_cast<int>(n.object); });
  center.addObserver("Other", [&](const Notification&) { FAIL(); });
  center.post("FilesPreferencesDidChange", 5);
  center.post("FilesPreferencesDidChange", 5);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 10);
  EXPECT_EQ(center.observerCount("FilesPreferencesDidChange"), 1u);
}

TEST(TelemetryTest, NothingIsRecordedUnlessASinkIsInstalled) {
  TelemetryService::signal("Dropped.signal");
  ScopedTelemetryRecorder recorder;
  TelemetryService::signal("IndexingService.snapshotPersisted", {{"appCount", "3"}, {"mutated", "1"}});
  TelemetryService::errorOccurred("E1", "Store", "failed");
  ASSERT_EQ(recorder.sink().names(), (std::vector<std::string>{"IndexingService.snapshotPersisted", "errorOccurred"}));
  EXPECT_EQ(recorder.sink().named("IndexingService.snapshotPersisted")[0].parameters.at("mutated"), "1");
  EXPECT_TRUE(recorder.sink().events()[1].isError);
}

TEST(LoggerTest, RecordsFormattedMessagesAboveTheThreshold) {
  testing::ScopedLogCapture capture(LogLevel::info);
  Logger log("IndexingService");
  log.debug("hidden %d", 1);
  log.info("Snapshot unchanged for %ld items; skipping persistence", 42L);
  ASSERT_EQ(capture.sink().records().size(), 1u);
  EXPECT_EQ(capture.sink().records()[0].category, "IndexingService");
  EXPECT_TRUE(capture.contains("Snapshot unchanged for 42 items"));
}

// A file name that retitles the terminal and clears the screen reaches the
// default sink (stderr) as visible escapes, on one line.
TEST(LoggerTest, StderrLinesCarryNoRawControlCharacters) {
  auto previous = Logger::setSink(nullptr);
  const LogLevel threshold = Logger::threshold();
  Logger::setThreshold(LogLevel::info);
  ::testing::internal::CaptureStderr();
  Logger("CatalogWriter").info("Incremental: created file %s", "/home/a/\x1b]0;title\x07\x1b[2J\nforged\xff.txt");
  const std::string written = ::testing::internal::GetCapturedStderr();
  Logger::setThreshold(threshold);
  Logger::setSink(previous);
  EXPECT_EQ(written,
            "[info] CatalogWriter: Incremental: created file /home/a/\\e]0;title\\a\\e[2J\\nforged\\xff.txt\n");
}

TEST(StringsTest, SplitJoinTrimAndLongFormats) {
  EXPECT_EQ(splitString("a::b:", ':'), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(joinStrings({"a", "b", "c"}, ", "), "a, b, c");
  EXPECT_EQ(trimWhitespace("  \tx y\n"), "x y");
  EXPECT_EQ(asciiLowercase("ÄbC"), "Äbc");
  std::string encoded;
  for (char32_t c : {U'A', U'\u00e9', U'\u20ac', U'\U0001F600'}) appendUtf8(encoded, c);
  EXPECT_EQ(encoded, "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  std::string long_(2000, 'x');
  EXPECT_EQ(stringPrintf("%s!", long_.c_str()).size(), 2001u);
}

}  // namespace
}  // namespace pallix
