// The command-line pasteboard (xclip here) against a real X server: what it
// writes another application pastes, and what another application copies
// it reads back.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/CommandPasteboard.h"
#include "testing/TestProcess.h"

namespace pallix::testing {
namespace {

TEST(CommandPasteboardTest, WritesAndReadsTheClipboardThroughXclip) {
  if (findInPath("Xvfb").empty() || findInPath("xclip").empty())
    GTEST_SKIP() << "Xvfb and xclip are needed (scripts/setup.sh installs them)";
  XvfbDisplay display;
  ASSERT_TRUE(display.ok()) << display.failure();
  ::setenv("DISPLAY", display.name().c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
  CommandPasteboard pasteboard;
  ASSERT_EQ(CommandPasteboard::copyCommand().front(), "xclip");

  const std::string answer = "3.14159 \u2713";
  ASSERT_TRUE(pasteboard.writeString(answer).ok());
  EXPECT_EQ(runProcess({"xclip", "-selection", "clipboard", "-o"}, {{"DISPLAY", display.name()}}).out, answer);
  auto read = pasteboard.readString();
  ASSERT_TRUE(read.ok()) << read.error().description();
  EXPECT_EQ(read.value(), answer);
}

}  // namespace
}  // namespace pallix::testing
