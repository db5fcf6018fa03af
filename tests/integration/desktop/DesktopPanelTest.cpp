// pallix-desktop on a real X server: the global hot keys grabbed with xcb,
// pressed through XTest (xdotool), the panel appearing in each mode at its
// place, `pallix toggle`, a combination another client holds, and the reset
// of an unusable stored shortcut at start-up. Screenshots of each mode are
// written to the test's artefact folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/XcbGlobalHotKeys.h"
#include "app/shell/KeyboardShortcut.h"
#include "app/shell/PanelPlacement.h"
#include "app/shell/PanelRequests.h"
#include "core/FileUtil.h"
#include "testing/TestProcess.h"
#include "tests/integration/desktop/DesktopTestHome.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::BackgroundProcess;
using testing::pollUntil;
using testing::XvfbDisplay;

// Ctrl+Shift+K: the combination "another application" holds.
const KeyboardShortcut kTaken{40, modifier::kControl | modifier::kShift, "K"};

class DesktopPanelTest : public testing::DesktopAgentTest {
 protected:
  void SetUp() override {
    DesktopAgentTest::SetUp();
    if (IsSkipped()) return;
    writeApps({"Calculator", "Text Editor", "Terminal", "Web Browser"});
  }

  void writeDefaults(const nlohmann::json& values) { std::ofstream(dirs_.defaultsPath()) << values.dump(); }
  nlohmann::json readDefaults() const {
    std::ifstream in(dirs_.defaultsPath());
    return nlohmann::json::parse(in, nullptr, false);
  }
  bool panelShows(bool visible, PresentationIntent intent = PresentationIntent::standard) {
    return pollUntil([&] {
      auto s = state();
      return s && s->visible == visible && (!visible || s->intent == intent);
    });
  }
};

TEST_F(DesktopPanelTest, HotKeysOpenEachModeAtItsPlaceAndTakenShortcutsFallBack) {
  // Another client holds Ctrl+Shift+K, which the stored panel shortcut names.
  auto other = XcbGlobalHotKeys::connect(display_.name());
  ASSERT_TRUE(other.ok()) << other.error().description();
  ASSERT_EQ((*other)->registerHotKey(1, 1, kTaken.keyCode, kTaken.modifierFlags), GlobalHotKeys::kStatusOK);
  writeDefaults(
      {{"KeyboardShortcut", kTaken.dictionaryRepresentation()}, {"ClipboardPreferences.historyEnabled", true}});
  startAgent();

  // The stored shortcut could not be registered: Option+Space replaces it.
  EXPECT_TRUE(pollUntil([&] {
    auto d = readDefaults();
    return d.contains("KeyboardShortcut") &&
           d["KeyboardShortcut"] == defaultShortcut(HotKeyKind::panel).dictionaryRepresentation();
  }));

  struct Case {
    const char* keys;
    PresentationIntent intent;
  };
  const Case cases[] = {
      {"alt+space", PresentationIntent::standard},    {"shift+super+v", PresentationIntent::clipboard},
      {"shift+super+e", PresentationIntent::emoji},   {"shift+super+m", PresentationIntent::messages},
      {"shift+alt+space", PresentationIntent::files},
  };
  const ScreenGeometry screen{{0, 0, 640, 480}, {0, 0, 640, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    ASSERT_EQ(run({"xdotool", "key", c.keys}), 0);
    ASSERT_TRUE(panelShows(true, c.intent));
    auto s = state();
    Point origin = panelOrigin(PanelPosition::bottomTrailing, {s->frame.width, s->frame.height}, screen);
    EXPECT_EQ(s->frame.x, origin.x);
    EXPECT_EQ(s->frame.y, origin.y);
    if (c.intent == PresentationIntent::standard) {
      ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "2+3*4"}), 0);
      snapshot("panel-standard-calculator");
      ASSERT_EQ(run({"xdotool", "key", "ctrl+a", "BackSpace"}), 0);
    }
    snapshot("panel-" + std::string(rawValue(c.intent)));
  }
  // The panel hot key switches another mode to standard; pressed again it hides.
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::standard));
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  EXPECT_TRUE(panelShows(false));

  // pallix toggle shows a mode and hides it when it already shows.
  EXPECT_EQ(run({PALLIX_BINARY, "toggle", "--mode", "files"}), 0);
  EXPECT_TRUE(panelShows(true, PresentationIntent::files));
  ASSERT_EQ(run({"xdotool", "key", "Escape"}), 0);
  EXPECT_TRUE(panelShows(false));

  // Switching workspaces dismisses the panel.
  EXPECT_EQ(run({PALLIX_BINARY, "toggle", "--mode", "emoji"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::emoji));
  ASSERT_EQ(run({"xprop", "-root", "-f", "_NET_CURRENT_DESKTOP", "32c", "-set", "_NET_CURRENT_DESKTOP", "1"}), 0);
  EXPECT_TRUE(panelShows(false));
  EXPECT_EQ(run({PALLIX_BINARY, "toggle", "--mode", "nonsense"}), 2);

  // A shortcut another process stores while the agent runs takes effect.
  ASSERT_EQ(run({"xdotool", "key", "Escape"}), 0);
  EXPECT_TRUE(panelShows(false));
  const KeyboardShortcut files{38, modifier::kControl | modifier::kShift, "J"};
  auto stored = readDefaults();
  stored["FilesShortcut"] = files.dictionaryRepresentation();
  writeDefaults(stored);
  EXPECT_TRUE(pollUntil([&] {
    run({"xdotool", "key", "ctrl+shift+j"});
    auto s = state();
    return s && s->visible && s->intent == PresentationIntent::files;
  }));
}

TEST_F(DesktopPanelTest, TypingAndEnterLaunchTheSelectedApp) {
  const std::string marker = home_ + "/launched";
  std::ofstream(home_ + "/.local/share/applications/marker-maker.desktop")
      << "[Desktop Entry]\nType=Application\nName=Marker Maker\nExec=touch " << marker << "\n";
  fs::create_directories(home_ + "/docs");
  std::ofstream(home_ + "/docs/quarterly-report.txt") << "numbers";
  writeDefaults({{"FilesPreferences.indexedFolders", {home_ + "/docs"}}});
  startAgent();
  // The agent's first scan has put the app in the catalog.
  ASSERT_TRUE(pollUntil([&] { return run({PALLIX_BINARY, "search", "marker"}) == 0; }, std::chrono::seconds(20)));
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  ASSERT_TRUE(panelShows(true));
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "marker"}), 0);
  snapshot("panel-standard-apps");
  ASSERT_EQ(run({"xdotool", "key", "Return"}), 0);
  EXPECT_TRUE(pollUntil([&] { return fs::exists(marker); })) << "Marker Maker was not launched";
  EXPECT_TRUE(panelShows(false));

  // In files mode Enter opens the selected file (once the search answered) and hides the panel.
  ASSERT_EQ(run({"xdotool", "key", "shift+alt+space"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::files));
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "quarterly"}), 0);
  EXPECT_TRUE(pollUntil([&] {
    run({"xdotool", "key", "Return"});
    auto s = state();
    return s && !s->visible;
  }));
  EXPECT_TRUE(state().has_value()) << "the agent ended";
}

TEST_F(DesktopPanelTest, DraggingByATileMovesThePanelAndAClickLaunchesIt) {
  const std::string marker = home_ + "/launched";
  std::ofstream(home_ + "/.local/share/applications/marker-maker.desktop")
      << "[Desktop Entry]\nType=Application\nName=Marker Maker\nExec=touch " << marker << "\n";
  startAgent();
  ASSERT_TRUE(pollUntil([&] { return run({PALLIX_BINARY, "search", "marker"}) == 0; }, std::chrono::seconds(20)));
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  ASSERT_TRUE(panelShows(true));
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "marker"}), 0);
  const Rect home = state()->frame;
  // The first row of the results, below the search field.
  const int tileX = static_cast<int>(home.x) + 120, tileY = static_cast<int>(home.y) + 110;
  ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(tileX), std::to_string(tileY), "mousedown", "1"}), 0);
  for (int step = 1; step <= 4; ++step) {
    ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(tileX + 30 * step), std::to_string(tileY + 25 * step)}), 0);
  }
  EXPECT_TRUE(pollUntil([&] { return state()->frame.x != home.x; })) << "the panel did not follow the drag";
  ASSERT_EQ(run({"xdotool", "mouseup", "1"}), 0);
  // Released, it snaps back to its place and stays open; nothing was launched.
  EXPECT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->frame == home;
  }));
  EXPECT_TRUE(state()->visible);
  EXPECT_FALSE(fs::exists(marker));
  // A click without moving launches the tile.
  ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(tileX), std::to_string(tileY), "click", "1"}), 0);
  EXPECT_TRUE(pollUntil([&] { return fs::exists(marker); })) << "the click did not launch Marker Maker";
}

TEST_F(DesktopPanelTest, TheWheelScrollsTheAppGridThatHoldsEveryApp) {
  for (int i = 0; i < 41; ++i) {
    std::ofstream(home_ + "/.local/share/applications/app" + std::to_string(i) + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=App " << i << "\nExec=true\n";
  }
  startAgent();
  ASSERT_TRUE(pollUntil([&] { return run({PALLIX_BINARY, "search", "app 40"}) == 0; }, std::chrono::seconds(20)));
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  ASSERT_TRUE(panelShows(true));
  snapshot("panel-grid-top");
  const std::string top = readFileToString(std::string(PANEL_ARTEFACTS_DIR) + "/panel-grid-top.png").valueOr("");
  const Rect frame = state()->frame;
  ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(int(frame.x) + 200), std::to_string(int(frame.y) + 250)}), 0);
  // Wheel down (button 5) until what the panel shows changes.
  EXPECT_TRUE(pollUntil([&] {
    run({"xdotool", "click", "5"});
    snapshot("panel-grid-scrolled");
    return readFileToString(std::string(PANEL_ARTEFACTS_DIR) + "/panel-grid-scrolled.png").valueOr("") != top;
  })) << "the wheel did not scroll the app grid";
}

// A copied link is asked for its preview only when clipboard mode shows it
// (copying a sign-in link must send nothing); the title then reaches the
// history, which `pallix clipboard list` shows.
TEST_F(DesktopPanelTest, ALinksPreviewIsFetchedWhenClipboardModeShowsIt) {
  const std::string requests = home_ + "/requests.log";
  BackgroundProcess server({"python3", LINK_PREVIEW_SERVER, requests}, env_);
  const std::string port = server.readLine();
  ASSERT_FALSE(port.empty()) << "the fixture server did not start";
  writeDefaults({{"ClipboardPreferences.historyEnabled", true}});
  startAgent();
  auto listed = [&] {
    testing::ProcessResult r = testing::runProcess({PALLIX_BINARY, "clipboard", "list", "--json"}, env_);
    return nlohmann::json::parse(r.out, nullptr, false);
  };
  const std::string url = "http://127.0.0.1:" + port + "/page";
  const std::string file = home_ + "/link.txt";
  std::ofstream(file) << url;
  ASSERT_EQ(run({"sh", "-c", "xclip -selection clipboard " + file + " >/dev/null 2>&1"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto items = listed();
    return items.is_array() && !items.empty() && items[0]["detectedURLString"] == url;
  })) << "the copy was not recorded";
  EXPECT_EQ(readFileToString(requests).valueOr(""), "") << "copying asked the page for its preview";

  ASSERT_EQ(run({"xdotool", "key", "shift+super+v"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::clipboard));
  EXPECT_TRUE(pollUntil([&] { return listed()[0]["linkTitle"] == "Open Graph title"; }, std::chrono::seconds(20)))
      << listed().dump();
  EXPECT_NE(readFileToString(requests).valueOr("").find("/page\n"), std::string::npos);
  snapshot("panel-clipboard-link");
}

// In clipboard mode Delete removes the selected item and selects the next;
// Ctrl+P pins that one. The command line sees both in the stored history.
TEST_F(DesktopPanelTest, DeleteAndCtrlPInClipboardModeRemoveAndPinTheSelectedItems) {
  writeDefaults({{"ClipboardPreferences.historyEnabled", true}});
  startAgent();
  auto listed = [&] {
    testing::ProcessResult r = testing::runProcess({PALLIX_BINARY, "clipboard", "list", "--json"}, env_);
    return nlohmann::json::parse(r.out, nullptr, false);
  };
  for (const std::string text : {"first pick", "second pick"}) {
    const std::string file = home_ + "/copy.txt";
    std::ofstream(file) << text;
    ASSERT_EQ(run({"sh", "-c", "xclip -selection clipboard " + file + " >/dev/null 2>&1"}), 0);
    ASSERT_TRUE(pollUntil([&] {
      auto items = listed();
      return items.is_array() && !items.empty() && items[0]["primaryText"] == text;
    })) << "the copy of "
        << text << " was not recorded: " << listed().dump();
  }
  ASSERT_EQ(run({"xdotool", "key", "shift+super+v"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::clipboard));
  // The newest item is selected when the mode opens.
  ASSERT_EQ(run({"xdotool", "key", "Delete"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto items = listed();
    return items.is_array() && items.size() == 1 && items[0]["primaryText"] == "first pick";
  })) << listed().dump();
  ASSERT_EQ(run({"xdotool", "key", "ctrl+p"}), 0);
  EXPECT_TRUE(pollUntil([&] { return listed()[0]["pinned"] == true; })) << listed().dump();
  EXPECT_TRUE(panelShows(true, PresentationIntent::clipboard)) << "the keys hid the panel";
  snapshot("panel-clipboard-pinned");
  // Clearing keeps the pinned item.
  testing::ProcessResult cleared = testing::runProcess({PALLIX_BINARY, "clipboard", "clear"}, env_);
  EXPECT_NE(cleared.out.find("Kept 1 pinned item"), std::string::npos) << cleared.out;
  auto items = listed();
  ASSERT_TRUE(items.is_array());
  ASSERT_EQ(items.size(), 1u) << items.dump();
  EXPECT_EQ(items[0]["primaryText"], "first pick");
}

// A desktop that keeps Alt+Space for itself (as openbox, GNOME, Xfce and
// Cinnamon do for the window menu): the panel opens with Ctrl+Alt+Space, and
// the default stays stored, to be tried again next time.
TEST_F(DesktopPanelTest, WhenAltSpaceIsTakenThePanelOpensWithCtrlAltSpace) {
  const KeyboardShortcut alt = defaultShortcut(HotKeyKind::panel);
  auto desktop = XcbGlobalHotKeys::connect(display_.name());
  ASSERT_TRUE(desktop.ok()) << desktop.error().description();
  ASSERT_EQ((*desktop)->registerHotKey(1, 1, alt.keyCode, alt.modifierFlags), GlobalHotKeys::kStatusOK);
  startAgent();
  ASSERT_EQ(run({"xdotool", "key", "ctrl+alt+space"}), 0);
  EXPECT_TRUE(panelShows(true, PresentationIntent::standard));
  ASSERT_EQ(run({"xdotool", "key", "ctrl+alt+space"}), 0);
  EXPECT_TRUE(panelShows(false)) << "pallix-desktop said:\n" << agent_->errorOutput();
  EXPECT_FALSE(readDefaults().contains("KeyboardShortcut"));
}

// Without a window manager nothing takes the focus from the panel when the
// user clicks elsewhere: the click itself hides it, and still reaches the
// window it was meant for.
TEST_F(DesktopPanelTest, AClickOutsideHidesThePanelWithoutAWindowManagerAndReachesTheWindowUnderIt) {
  const std::string log = home_ + "/recorded.txt";
  BackgroundProcess recorder({KEY_RECORDER_BINARY, log}, env_);
  ASSERT_EQ(recorder.readLine(), "ready");
  startAgent();
  ASSERT_EQ(run({"xdotool", "key", "alt+space"}), 0);
  ASSERT_TRUE(panelShows(true));
  const Rect frame = state()->frame;
  // A click inside keeps it; the wheel outside does not count as a click.
  ASSERT_EQ(run({"xdotool", "mousemove", std::to_string(int(frame.x + frame.width / 2)),
                 std::to_string(int(frame.y + 20)), "click", "1"}),
            0);
  // The recorder's left edge, which the panel (at its first place) leaves free.
  ASSERT_LT(8, frame.x);
  ASSERT_EQ(run({"xdotool", "mousemove", "8", "50", "click", "5"}), 0);
  ASSERT_TRUE(pollUntil([&] { return readFileToString(log).valueOr("") == "[click]"; }))
      << "the window under the pointer received \"" << readFileToString(log).valueOr("") << "\"";
  EXPECT_TRUE(state()->visible);

  ASSERT_EQ(run({"xdotool", "click", "1"}), 0);
  EXPECT_TRUE(panelShows(false));
  EXPECT_TRUE(pollUntil([&] { return readFileToString(log).valueOr("") == "[click][click]"; }))
      << "the recorder window received \"" << readFileToString(log).valueOr("") << "\"";
}

TEST_F(DesktopPanelTest, AGrabAnotherClientHoldsIsAlreadyInUse) {
  auto first = XcbGlobalHotKeys::connect(display_.name());
  auto second = XcbGlobalHotKeys::connect(display_.name());
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_EQ((*first)->registerHotKey(1, 1, kTaken.keyCode, kTaken.modifierFlags), GlobalHotKeys::kStatusOK);
  EXPECT_EQ((*second)->registerHotKey(1, 1, kTaken.keyCode, kTaken.modifierFlags), GlobalHotKeys::kStatusAlreadyExists);
  (*first)->unregisterHotKey(1, 1);
  EXPECT_EQ((*second)->registerHotKey(1, 1, kTaken.keyCode, kTaken.modifierFlags), GlobalHotKeys::kStatusOK);
}

// An emoji picked in the panel lands in the window the user was typing in,
// with a window manager (openbox) and without one.
class DesktopEmojiTest : public DesktopPanelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DesktopEmojiTest, APickedEmojiIsTypedIntoTheWindowThatHadTheKeyboardAndCounts) {
  if (GetParam()) startWindowManager();
  if (IsSkipped()) return;
  startAgent();
  const std::string typed = home_ + "/typed.txt";
  BackgroundProcess recorder({KEY_RECORDER_BINARY, typed}, env_);
  ASSERT_EQ(recorder.readLine(), "ready");

  ASSERT_EQ(run({"xdotool", "key", "shift+super+e"}), 0);
  ASSERT_TRUE(panelShows(true, PresentationIntent::emoji));
  // The keyboard reaches a window a moment after its map (given by the window
  // manager, or taken by the panel itself without one): the typing waits for
  // it, as a person's eyes would.
  ASSERT_TRUE(pollUntil([&] {
    return testing::runProcess({"xdotool", "getwindowfocus", "getwindowname"}, env_).out == "Pallix\n";
  })) << "the panel never got the keyboard";
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "party"}), 0);
  // Enter picks once the search has answered; the panel then goes.
  ASSERT_TRUE(pollUntil([&] {
    run({"xdotool", "key", "Return"});
    auto s = state();
    return s && !s->visible;
  }));
  EXPECT_TRUE(pollUntil([&] { return readFileToString(typed).valueOr("") == "🎉"; }))
      << "the recorder window received \"" << readFileToString(typed).valueOr("") << "\"";
  // The delivered pick counts: it is the most used for an empty query.
  EXPECT_TRUE(pollUntil([&] {
    auto recents = testing::runProcess({PALLIX_BINARY, "emoji", "--json", "--limit", "1"}, env_);
    return recents.out.find("🎉") != std::string::npos && recents.out.find("\"isRecent\": true") != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, DesktopEmojiTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Openbox") : std::string("NoWindowManager");
                         });

TEST_F(DesktopPanelTest, WithoutAnAgentOrADisplayTheCommandsSayWhatToDo) {
  EXPECT_EQ(run({PALLIX_BINARY, "toggle"}), 3);
  env_["DISPLAY"] = "";
  env_["WAYLAND_DISPLAY"] = "";
  env_["QT_QPA_PLATFORM"] = "";
  EXPECT_EQ(run({PALLIX_DESKTOP_BINARY}), 3);
}

}  // namespace
}  // namespace pallix
