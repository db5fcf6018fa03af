// pallix-desktop on a real X server: in files mode, plain words typed with
// XTest (xdotool) become filter chips before the field once the typing
// pauses; Backspace on the empty field takes them back one by one, and a
// click takes back the one clicked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/shell/PanelRequests.h"
#include "testing/TestProcess.h"
#include "tests/integration/desktop/DesktopTestHome.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::pollUntil;
using Chips = std::vector<std::string>;

class DesktopFilterChipsTest : public testing::DesktopAgentTest {
 protected:
  void SetUp() override {
    DesktopAgentTest::SetUp();
    if (IsSkipped()) return;
    fs::create_directories(home_ + "/docs");
    std::ofstream(home_ + "/docs/taxes.pdf") << "%PDF";
    std::ofstream(dirs_.defaultsPath()) << nlohmann::json({{"FilesPreferences.indexedFolders", {home_ + "/docs"}}});
    startAgent();
  }

  // Whether the panel comes to show `chips` before a field holding `text`.
  bool shows(const Chips& chips, const std::string& text) {
    return pollUntil([&] {
      auto s = state();
      return s && s->chips == chips && s->text == text;
    });
  }
  std::string describe() {
    auto s = state();
    if (!s) return "no answer";
    std::string out = "text \"" + s->text + "\", chips:";
    for (const std::string& chip : s->chips) out += " " + chip;
    return out;
  }
};

TEST_F(DesktopFilterChipsTest, TypedPlainWordsBecomeChipsAndBackspaceOnTheEmptyFieldRemovesTheLast) {
  ASSERT_EQ(run({"xdotool", "key", "shift+alt+space"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->visible && s->intent == PresentationIntent::files;
  })) << "files mode did not open";
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "pdfs from last week"}), 0);
  ASSERT_TRUE(shows({"ext:pdf", "modified:lastweek"}, "")) << describe();
  snapshot("panel-files-filter-chips");

  ASSERT_EQ(run({"xdotool", "key", "BackSpace"}), 0);
  EXPECT_TRUE(shows({"ext:pdf"}, "")) << describe();

  // Backspace edits the words first; only on the empty field does it take a chip.
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "tax"}), 0);
  ASSERT_TRUE(shows({"ext:pdf"}, "tax")) << describe();
  ASSERT_EQ(run({"xdotool", "key", "--delay", "15", "BackSpace", "BackSpace", "BackSpace"}), 0);
  EXPECT_TRUE(shows({"ext:pdf"}, "")) << describe();
  ASSERT_EQ(run({"xdotool", "key", "BackSpace"}), 0);
  EXPECT_TRUE(shows({}, "")) << describe();

  // A file's name stays in the field.
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "today.txt"}), 0);
  EXPECT_TRUE(shows({}, "today.txt")) << describe();
  EXPECT_TRUE(state().has_value()) << "the agent ended";
}

TEST_F(DesktopFilterChipsTest, AClickOnAChipRemovesThatFilterAndKeepsTheOthers) {
  ASSERT_EQ(run({"xdotool", "key", "shift+alt+space"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->visible && s->intent == PresentationIntent::files;
  })) << "files mode did not open";
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "pdfs from last week"}), 0);
  ASSERT_TRUE(shows({"ext:pdf", "modified:lastweek"}, "")) << describe();
  std::optional<PanelState> s;
  ASSERT_TRUE(pollUntil([&] { return (s = state()) && s->chipFrames.size() == 2; })) << describe();
  const Rect first = s->chipFrames[0];
  EXPECT_LT(first.x + first.width, s->chipFrames[1].x) << "the chips are not in their order";
  ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(static_cast<int>(first.x + first.width / 2)),
                 std::to_string(static_cast<int>(first.y + first.height / 2)), "click", "1"}),
            0);
  EXPECT_TRUE(shows({"modified:lastweek"}, "")) << describe();
  // The keyboard stays in the field.
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "tax"}), 0);
  EXPECT_TRUE(shows({"modified:lastweek"}, "tax")) << describe();
}

}  // namespace
}  // namespace pallix
