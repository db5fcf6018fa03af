// WindowManager in virtual time over a fake surface and fake hot keys.
#include <gtest/gtest.h>

#include "app/shell/WindowManager.h"
#include "core/Telemetry.h"
#include "testing/FakePanelSurface.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

using std::chrono::milliseconds;

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
  EXPECT_TRUE(surface_.visible);  // still fading out
  env_.advanceBy(WindowManager::hideAnimationDuration - milliseconds(1));
  EXPECT_TRUE(surface_.visible);
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
  EXPECT_EQ(surface_.currentFrame, (Rect{1440, 0, 640, 420}));

  wm.handleDragStarted();
  surface_.currentFrame = {1440 + 1920 - 700, 1080 - 400, 640, 420};
  wm.handleDragEnded();
  EXPECT_EQ(persisted, PanelPosition::bottomTrailing);
  EXPECT_EQ(wm.panelPosition(), PanelPosition::bottomTrailing);
  EXPECT_EQ(surface_.currentFrame, (Rect{1440 + 1920 - 640, 1080 - 420, 640, 420}));
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
