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
using testing::BackgroundProcess;
using testing::pollUntil;
using testing::XvfbDisplay;
using Chips = std::vector<std::string>;

class DesktopFilterChipsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.ok()) GTEST_SKIP() << "Xvfb cannot start here: " << display_.failure();
    env_ = testing::prepareDesktopHome(display_.name(), home_);
    dirs_ = DataDirectories::fromEnvironment();
    fs::create_directories(home_ + "/docs");
    std::ofstream(home_ + "/docs/taxes.pdf") << "%PDF";
    std::ofstream(dirs_.defaultsPath()) << nlohmann::json({{"FilesPreferences.indexedFolders", {home_ + "/docs"}}});
    agent_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{PALLIX_DESKTOP_BINARY}, env_);
    ASSERT_TRUE(pollUntil([&] { return state().has_value(); }, std::chrono::seconds(20)))
        << "pallix-desktop did not answer on its socket";
  }

  std::optional<PanelState> state(const std::string& request = kAgentPanelStateRequest) {
    return testing::askPanelState(dirs_, request);
  }
  int run(const std::vector<std::string>& argv) {
    BackgroundProcess p(argv, env_);
    return p.waitForExit(std::chrono::seconds(10));
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
  void snapshot(const std::string& name) {
    fs::create_directories(PANEL_ARTEFACTS_DIR);
    const std::string path = std::string(PANEL_ARTEFACTS_DIR) + "/" + name + ".png";
    ASSERT_TRUE(state(std::string(kAgentSnapshotRequest) + " " + path).has_value());
    EXPECT_GT(fs::file_size(path), 1000u) << path;
  }

  testing::TempDir tmp_;
  const std::string home_ = tmp_.path();
  XvfbDisplay display_;
  std::map<std::string, std::string> env_;
  DataDirectories dirs_;
  std::unique_ptr<BackgroundProcess> agent_;
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
