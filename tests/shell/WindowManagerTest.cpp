// Panel placement against a simple model of the origin rule, on several
// screen layouts, plus screen choice and snapping after a drag; then the
// WindowManager in virtual time over a fake surface and fake hot keys.
#include <gtest/gtest.h>

#include "app/shell/PanelPlacement.h"
#include "app/shell/WindowManager.h"
#include "core/Telemetry.h"
#include "testing/FakePanelSurface.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

using std::chrono::milliseconds;

struct Layout {
  const char* name;
  std::vector<ScreenGeometry> screens;
};

// A top bar of 32 px and a dock of 48 px at the bottom of each screen.
ScreenGeometry screenAt(double x, double y, double w, double h, double top = 32, double bottom = 48) {
  return {{x, y, w, h}, {x, y + top, w, h - top - bottom}};
}

std::vector<Layout> layouts() {
  return {
      {"single laptop", {screenAt(0, 0, 1440, 900)}},
      {"side by side", {screenAt(0, 0, 1920, 1080), screenAt(1920, 0, 2560, 1440)}},
      {"stacked, second above", {screenAt(0, 1080, 1920, 1080), screenAt(0, 0, 1920, 1080, 0, 0)}},
      {"left of the primary", {screenAt(-1280, 200, 1280, 1024), screenAt(0, 0, 1920, 1080)}},
      {"tiny screen", {screenAt(0, 0, 600, 400, 10, 10)}},
  };
}

TEST(PanelPlacementTest, EveryPositionKeepsTheMarginInsideTheWorkArea) {
  for (const Layout& layout : layouts()) {
    for (const ScreenGeometry& screen : layout.screens) {
      const Rect& v = screen.available;
      for (Size size : {Size{640, 420}, Size{300, 200}}) {
        if (size.width + 2 * kPanelScreenMargin > v.width || size.height + 2 * kPanelScreenMargin > v.height) continue;
        for (PanelPosition p : kAllPanelPositions) {
          SCOPED_TRACE(std::string(layout.name) + " " + std::string(rawValue(p)));
          Point o = panelOrigin(p, size, screen);
          EXPECT_GE(o.x, v.minX() + kPanelScreenMargin);
          EXPECT_GE(o.y, v.minY() + kPanelScreenMargin);
          EXPECT_LE(o.x + size.width, v.maxX() - kPanelScreenMargin);
          EXPECT_LE(o.y + size.height, v.maxY() - kPanelScreenMargin);
          std::string raw(rawValue(p));
          if (raw.find("Leading") != std::string::npos) {
            EXPECT_EQ(o.x, v.minX() + kPanelScreenMargin);
          }
          if (raw.find("Trailing") != std::string::npos) {
            EXPECT_EQ(o.x + size.width, v.maxX() - kPanelScreenMargin);
          }
          if (raw.find("Center") != std::string::npos) {
            EXPECT_EQ(o.x + size.width / 2, v.center().x);
          }
          if (raw.rfind("top", 0) == 0) {
            EXPECT_EQ(o.y, v.minY() + kPanelScreenMargin);
          }
          if (raw.rfind("bottom", 0) == 0) {
            EXPECT_EQ(o.y + size.height, v.maxY() - kPanelScreenMargin);
          }
        }
      }
    }
  }
}

TEST(PanelPlacementTest, ThePanelNeverCoversTheTopBarOrTheDockAndABigPanelKeepsItsTopLeft) {
  ScreenGeometry s = screenAt(0, 0, 1440, 900);  // bar 32, dock 48
  EXPECT_EQ(panelOrigin(PanelPosition::topLeading, {640, 420}, s), (Point{16, 48}));
  EXPECT_EQ(panelOrigin(PanelPosition::bottomTrailing, {640, 420}, s), (Point{784, 416}));
  EXPECT_EQ(panelOrigin(PanelPosition::topCenter, {640, 420}, s), (Point{400, 48}));
  ScreenGeometry tiny = screenAt(0, 0, 600, 400, 10, 10);
  EXPECT_EQ(panelOrigin(PanelPosition::bottomTrailing, {900, 700}, tiny), (Point{16, 26}));
}

TEST(PanelPlacementTest, ScreenIsThePointersElseTheClosestToThePanel) {
  auto screens = layouts()[1].screens;
  EXPECT_EQ(preferredScreen(screens, Point{2000, 10}, {0, 0, 10, 10})->frame.x, 1920);
  EXPECT_EQ(preferredScreen(screens, std::nullopt, {1800, 100, 640, 420})->frame.x, 1920);
  EXPECT_EQ(preferredScreen(screens, Point{-5000, 0}, {5000, 5000, 10, 10})->frame.x, 1920);
  EXPECT_FALSE(preferredScreen({}, std::nullopt, {}).has_value());
}

TEST(PanelPlacementTest, ADroppedPanelSnapsToTheNearestPosition) {
  for (const Layout& layout : layouts()) {
    const ScreenGeometry& screen = layout.screens.front();
    for (PanelPosition p : kAllPanelPositions) {
      SCOPED_TRACE(std::string(layout.name) + " " + std::string(rawValue(p)));
      Size size{300, 200};
      Point o = panelOrigin(p, size, screen);
      EXPECT_EQ(nearestPanelPosition({o.x + 7, o.y - 5, size.width, size.height}, screen), p);
    }
  }
}

class WindowManagerTest : public ::testing::Test {
 protected:
  WindowManagerTest() {
    surface_.screenList = {{{0, 0, 1440, 900}, {0, 32, 1440, 820}}, {{1440, 0, 1920, 1080}, {1440, 0, 1920, 1080}}};
  }
  WindowManager& make(bool hotKeys = true) {
    manager_ = std::make_unique<WindowManager>(
        WindowManager::Dependencies{env_.mainRunner(), &surface_, &store_, hotKeys ? &keys_ : nullptr});
    manager_->setWillPresentHandler([this](PresentationIntent i) { presented_.push_back(i); });
    manager_->activate();
    return *manager_;
  }
  // Presses a shortcut the way the display server delivers it, then lets the main runner run.
  bool press(const KeyboardShortcut& s) {
    bool delivered = keys_.press(s.keyCode, s.modifierFlags, kHotKeySignature);
    env_.runUntilIdle();
    return delivered;
  }
  bool press(HotKeyKind kind) { return press(manager_->shortcut(kind)); }
  void hideFully() { env_.advanceBy(WindowManager::hideAnimationDuration); }

  ScopedTelemetryRecorder telemetry_;
  VirtualTimeEnvironment env_;
  FakePanelSurface surface_;
  FakeGlobalHotKeys keys_;
  UserDefaults defaults_;
  KeyboardShortcutStore store_{defaults_};
  std::unique_ptr<WindowManager> manager_;
  std::vector<PresentationIntent> presented_;
};

TEST_F(WindowManagerTest, EachHotKeyOpensItsModeAndDisabledModesFallBackToStandard) {
  struct Case {
    HotKeyKind key;
    std::optional<HotKeyKind> disabled;
    PresentationIntent expected;
  };
  const Case cases[] = {
      {HotKeyKind::panel, std::nullopt, PresentationIntent::standard},
      {HotKeyKind::clipboard, std::nullopt, PresentationIntent::clipboard},
      {HotKeyKind::emoji, std::nullopt, PresentationIntent::emoji},
      {HotKeyKind::messages, std::nullopt, PresentationIntent::messages},
      {HotKeyKind::files, std::nullopt, PresentationIntent::files},
      {HotKeyKind::files, HotKeyKind::files, PresentationIntent::standard},
      {HotKeyKind::messages, HotKeyKind::messages, PresentationIntent::standard},
      {HotKeyKind::emoji, HotKeyKind::emoji, PresentationIntent::emoji},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(hotKeyName(c.key)) + (c.disabled ? " disabled" : ""));
    WindowManager& wm = make();
    if (c.disabled) wm.setShortcutEnabled(*c.disabled, false);
    ASSERT_TRUE(press(c.key));
    EXPECT_EQ(wm.presentationIntent(), c.expected);
    EXPECT_TRUE(wm.isPresented());
    EXPECT_TRUE(surface_.visible);
    wm.hideWindow(true, false);
  }
}

TEST_F(WindowManagerTest, PanelHotKeyTogglesAShowDuringTheFadeOutKeepsThePanelAndHidingResetsTheIntent) {
  WindowManager& wm = make();
  press(HotKeyKind::clipboard);
  press(HotKeyKind::panel);
  EXPECT_TRUE(wm.isPresented());
  EXPECT_EQ(wm.presentationIntent(), PresentationIntent::standard);
  press(HotKeyKind::panel);
  EXPECT_EQ(wm.fadeState(), WindowManager::FadeState::hiding);
  env_.advanceBy(WindowManager::hideAnimationDuration - milliseconds(1));
  EXPECT_TRUE(surface_.visible);  // still fading out
  env_.advanceBy(milliseconds(1));
  EXPECT_FALSE(surface_.visible);
  EXPECT_EQ(wm.fadeState(), WindowManager::FadeState::hidden);

  press(HotKeyKind::emoji);
  wm.hideWindow(false, false);
  env_.advanceBy(milliseconds(100));
  press(HotKeyKind::messages);
  hideFully();
  EXPECT_TRUE(surface_.visible);
  EXPECT_EQ(wm.presentationIntent(), PresentationIntent::messages);
  EXPECT_DOUBLE_EQ(surface_.currentOpacity, 1.0);
  auto shown = telemetry_.sink().named("WindowManager.panelShowLatency");
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back().parameters.at("requestedIntent"), "messages");
  EXPECT_EQ(shown.back().parameters.at("bucket"), "lt80");
  const int deactivations = surface_.deactivations;
  wm.hideWindow(false, true);
  hideFully();
  EXPECT_EQ(wm.presentationIntent(), PresentationIntent::standard);
  EXPECT_EQ(surface_.deactivations, deactivations + 1);
}

// Pressing the panel key takes the keyboard for a moment, and the panel may
// hear that as losing the focus before the press itself arrives: the press
// still means "hide", not "show again".
TEST_F(WindowManagerTest, APanelKeyPressedWhileShownHidesEvenWhenTheFocusLossItCausesArrivesFirst) {
  WindowManager& wm = make();
  press(HotKeyKind::panel);
  ASSERT_TRUE(wm.isPresented());
  const KeyboardShortcut key = wm.shortcut(HotKeyKind::panel);
  ASSERT_TRUE(keys_.press(key.keyCode, key.modifierFlags, kHotKeySignature));
  wm.handleApplicationDeactivated();  // runs before the posted press
  hideFully();
  EXPECT_FALSE(surface_.visible);
  EXPECT_EQ(wm.fadeState(), WindowManager::FadeState::hidden);

  // A press made after the panel hid shows it again.
  press(HotKeyKind::panel);
  EXPECT_TRUE(wm.isPresented());
}

TEST_F(WindowManagerTest, DismissalRules) {
  struct Case {
    const char* name;
    std::function<void(WindowManager&)> event;
    bool hides;
  };
  bool consume = false;
  const Case cases[] = {
      {"escape", [](WindowManager& wm) { EXPECT_TRUE(wm.handleEscapeKey()); }, true},
      {"escape consumed by content",
       [&](WindowManager& wm) {
         consume = true;
         EXPECT_TRUE(wm.handleEscapeKey());
         consume = false;
       },
       false},
      {"click outside",
       [](WindowManager& wm) {
         wm.handleMouseDown({10, 10});
       },
       true},
      {"click inside", [this](WindowManager&) { manager_->handleMouseDown(surface_.currentFrame.center()); }, false},
      {"workspace change", [](WindowManager& wm) { wm.handleActiveWorkspaceChanged(); }, true},
      {"deactivation", [](WindowManager& wm) { wm.handleApplicationDeactivated(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowManager& wm = make();
    wm.setEscapeKeyHandler([&] { return consume; });
    press(HotKeyKind::panel);
    c.event(wm);
    hideFully();
    EXPECT_EQ(surface_.visible, !c.hides);
  }
}

TEST_F(WindowManagerTest, SuppressionCoversOneDeactivationWithinItsTimeout) {
  WindowManager& wm = make();
  press(HotKeyKind::panel);
  wm.suppressNextAppDeactivation(milliseconds(500));
  wm.handleApplicationDeactivated();
  EXPECT_TRUE(wm.isPresented());
  wm.handleApplicationDeactivated();
  EXPECT_FALSE(wm.isPresented());

  hideFully();
  press(HotKeyKind::panel);
  wm.suppressNextAppDeactivation(milliseconds(500));
  env_.advanceBy(milliseconds(500));
  EXPECT_FALSE(wm.shouldIgnoreNextAppDeactivation());
  wm.handleApplicationDeactivated();
  EXPECT_FALSE(wm.isPresented());
}

TEST_F(WindowManagerTest, PlacesOnThePointersScreenAndSnapsAfterADrag) {
  WindowManager& wm = make();
  PanelPosition persisted = PanelPosition::bottomTrailing;
  wm.setPanelPositionChangeHandler([&](PanelPosition p) { persisted = p; });
  wm.setPanelPosition(PanelPosition::topLeading);
  surface_.pointer = Point{2000, 500};
  press(HotKeyKind::panel);
  EXPECT_EQ(surface_.currentFrame, (Rect{1440 + kPanelScreenMargin, kPanelScreenMargin, 640, 420}));

  wm.handleDragStarted();
  surface_.currentFrame = {1440 + 1920 - 700, 1080 - 400, 640, 420};
  wm.handleDragEnded();
  EXPECT_EQ(persisted, PanelPosition::bottomTrailing);
  EXPECT_EQ(wm.panelPosition(), PanelPosition::bottomTrailing);
  EXPECT_EQ(surface_.currentFrame,
            (Rect{1440 + 1920 - 640 - kPanelScreenMargin, 1080 - 420 - kPanelScreenMargin, 640, 420}));
  EXPECT_EQ(surface_.lastFrameDuration, WindowManager::panelSnapAnimationDuration);
}

TEST_F(WindowManagerTest, TakenShortcutIsRefusedAndThePreviousOneStillWorks) {
  WindowManager& wm = make();
  KeyboardShortcut taken{40, modifier::kControl, "K"};
  keys_.takenByOthers.insert({taken.keyCode, taken.modifierFlags});
  Status s = wm.updateShortcut(HotKeyKind::panel, taken);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().description(), "That shortcut is already in use. Try a different combination.");
  EXPECT_EQ(wm.shortcut(HotKeyKind::panel), defaultShortcut(HotKeyKind::panel));
  EXPECT_FALSE(store_.hasStored(HotKeyKind::panel));
  EXPECT_TRUE(press(defaultShortcut(HotKeyKind::panel)));

  KeyboardShortcut free{40, modifier::kControl | modifier::kShift, "K"};
  ASSERT_TRUE(wm.updateShortcut(HotKeyKind::panel, free).ok());
  EXPECT_EQ(store_.load(HotKeyKind::panel), free);
  EXPECT_FALSE(press(defaultShortcut(HotKeyKind::panel)));
  EXPECT_TRUE(press(free));
}

TEST_F(WindowManagerTest, UnusableStoredShortcutsAreResetToTheDefaultsAtLaunch) {
  KeyboardShortcut taken{40, modifier::kControl, "K"};
  keys_.takenByOthers.insert({taken.keyCode, taken.modifierFlags});
  ASSERT_TRUE(store_.save(HotKeyKind::panel, taken).ok());
  ASSERT_TRUE(store_.save(HotKeyKind::files, taken).ok());
  WindowManager& wm = make();
  for (HotKeyKind kind : {HotKeyKind::panel, HotKeyKind::files}) {
    EXPECT_EQ(wm.shortcut(kind), defaultShortcut(kind));
    EXPECT_EQ(store_.load(kind), defaultShortcut(kind));
    EXPECT_TRUE(keys_.registered.count(static_cast<uint32_t>(kind)));
  }
  EXPECT_EQ(keys_.registered.size(), 5u);
}

// A desktop that binds Alt+Space itself: the panel falls back to
// Ctrl+Alt+Space, then Ctrl+Shift+Space, says so, and tries the default again
// next time; a refused mode key is reported too.
TEST_F(WindowManagerTest, ARefusedDefaultFallsBackInOrderAndIsReported) {
  const KeyboardShortcut alt = defaultShortcut(HotKeyKind::panel);
  const KeyboardShortcut ctrlAlt{alt.keyCode, modifier::kControl | modifier::kOption, alt.keyDisplay};
  const KeyboardShortcut ctrlShift{alt.keyCode, modifier::kControl | modifier::kShift, alt.keyDisplay};
  keys_.takenByOthers.insert({alt.keyCode, alt.modifierFlags});
  {
    WindowManager& wm = make();
    EXPECT_EQ(wm.shortcut(HotKeyKind::panel), ctrlAlt);
    ASSERT_TRUE(wm.refusal(HotKeyKind::panel));
    EXPECT_EQ(wm.refusal(HotKeyKind::panel)->refused, alt);
    EXPECT_NE(wm.refusal(HotKeyKind::panel)->reason.find("already in use"), std::string::npos);
    EXPECT_EQ(wm.refusalSummary(), "Alt+Space is taken by another program: Pallix opens with Ctrl+Alt+Space");
    EXPECT_TRUE(press(ctrlAlt));
    EXPECT_FALSE(store_.hasStored(HotKeyKind::panel));
    EXPECT_FALSE(wm.refusal(HotKeyKind::files));
    // Choosing a shortcut that works ends the refusal.
    KeyboardShortcut chosen{40, modifier::kControl | modifier::kShift, "K"};
    ASSERT_TRUE(wm.updateShortcut(HotKeyKind::panel, chosen).ok());
    EXPECT_FALSE(wm.refusal(HotKeyKind::panel));
    EXPECT_TRUE(wm.refusalSummary().empty());
    ASSERT_TRUE(defaults_.remove(shortcutStorageKey(HotKeyKind::panel)).ok());
  }
  keys_.registered.clear();
  keys_.takenByOthers.insert({ctrlAlt.keyCode, ctrlAlt.modifierFlags});
  const KeyboardShortcut emoji = defaultShortcut(HotKeyKind::emoji);
  keys_.takenByOthers.insert({emoji.keyCode, emoji.modifierFlags});
  {
    WindowManager& wm = make();
    EXPECT_EQ(wm.shortcut(HotKeyKind::panel), ctrlShift);
    ASSERT_TRUE(wm.refusal(HotKeyKind::emoji));
    EXPECT_FALSE(wm.refusal(HotKeyKind::emoji)->anyInUse);
    EXPECT_EQ(wm.refusalSummary(), "Alt+Space is taken by another program: Pallix opens with Ctrl+Shift+Space\n" +
                                       emoji.displayString() +
                                       " is taken by another program: no shortcut opens the emoji mode; "
                                       "choose one in Settings");
    EXPECT_FALSE(keys_.registered.count(static_cast<uint32_t>(HotKeyKind::emoji)));
  }
  keys_.registered.clear();
  keys_.takenByOthers.insert({ctrlShift.keyCode, ctrlShift.modifierFlags});
  WindowManager& wm = make();
  ASSERT_TRUE(wm.refusal(HotKeyKind::panel));
  EXPECT_FALSE(wm.refusal(HotKeyKind::panel)->anyInUse);
  EXPECT_EQ(wm.shortcut(HotKeyKind::panel), alt);
  EXPECT_FALSE(keys_.registered.count(static_cast<uint32_t>(HotKeyKind::panel)));
}

TEST_F(WindowManagerTest, ClipboardSwitchGrabsAndReleasesItsHotKey) {
  WindowManager& wm = make();
  wm.setClipboardShortcutEnabled(false);
  EXPECT_FALSE(press(HotKeyKind::clipboard));
  KeyboardShortcut other{8, modifier::kShift | modifier::kCommand, "C"};
  ASSERT_TRUE(wm.updateShortcut(HotKeyKind::clipboard, other).ok());
  EXPECT_FALSE(press(other));
  wm.setClipboardShortcutEnabled(true);
  EXPECT_TRUE(press(other));
  EXPECT_EQ(wm.presentationIntent(), PresentationIntent::clipboard);
}

TEST_F(WindowManagerTest, WithoutHotKeyRegistrationShortcutsAreOnlyStored) {
  WindowManager& wm = make(false);
  KeyboardShortcut s{40, modifier::kControl, "K"};
  ASSERT_TRUE(wm.updateShortcut(HotKeyKind::messages, s).ok());
  EXPECT_EQ(store_.load(HotKeyKind::messages), s);
  EXPECT_TRUE(keys_.registered.empty());
}

}  // namespace
}  // namespace pallix
