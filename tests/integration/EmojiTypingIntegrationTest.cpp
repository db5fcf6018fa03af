// The emoji picker typing into a real X11 window (Xvfb and a test window
// that records its key presses), and its copy path without a display.
#include <gtest/gtest.h>

#include "app/platform/linux/ChildProcess.h"
#include "core/FileUtil.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

TEST(EmojiTypingIntegrationTest, MultiScalarEmojiAreTypedIntoTheFocusedWindow) {
  if (findInPath("Xvfb").empty()) GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs xvfb)";
  XvfbDisplay display;
  ASSERT_TRUE(display.ok()) << display.failure();
  TempDir home;
  const std::map<std::string, std::string> env = {
      {"PALLIX_HOME", home.path()}, {"DISPLAY", display.name()}, {"PALLIX_LOG", "off"}};
  const std::string typed = home / "typed.txt";
  BackgroundProcess window({KEY_RECORDER_BINARY, typed}, env);
  ASSERT_EQ(window.readLine(), "ready");
  ASSERT_EQ(runProcess({PALLIX_BINARY, "emoji", "tone", "medium"}, env).exitCode, 0);
  std::string expected;
  for (const std::string pick : {"👨‍👩‍👧‍👦", "🇯🇵", "👍", "a"}) {
    auto result = runProcess({PALLIX_BINARY, "emoji", "pick", pick == "a" ? "🙂" : pick}, env);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Typed"), std::string::npos) << result.out;
    expected += pick == "👍" ? "👍🏽" : pick == "a" ? "🙂" : pick;
    ASSERT_TRUE(pollUntil([&] { return readFileToString(typed).valueOr("") == expected; }))
        << "typed so far: " << readFileToString(typed).valueOr("");
  }
  // Typed picks count: the most used comes first for an empty query.
  auto recents = runProcess({PALLIX_BINARY, "emoji", "--json", "--limit", "1"}, env);
  EXPECT_NE(recents.out.find("\"isRecent\": true"), std::string::npos) << recents.out;
}

TEST(EmojiTypingIntegrationTest, WithoutADesktopThePickSaysWhatIsMissing) {
  TempDir home;
  auto result =
      runProcess({PALLIX_BINARY, "emoji", "pick", "🔥"},
                 {{"PALLIX_HOME", home.path()}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"PALLIX_LOG", "off"}});
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_NE(result.err.find("Unable to prepare the emoji for pasting."), std::string::npos) << result.err;
  EXPECT_EQ(runProcess({PALLIX_BINARY, "emoji", "pick", "nothing"}, {{"PALLIX_HOME", home.path()}}).exitCode, 1);
}

}  // namespace
}  // namespace pallix::testing
