// WindowManager: owns the floating panel's behaviour: shows and hides it
// with its fades, places it at the chosen PanelPosition on the screen the
// user works on, dismisses it (Escape, a click outside, the workspace
// changing, the application losing activation), snaps it after a drag, and
// registers the five global hot keys that summon it in each mode.
//
// Threading: every member runs on the main runner. The hot-key handler only
// posts to it. The surface, the hot keys and the shortcut store are owned by
// the caller and outlive the manager.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "app/platform/GlobalHotKeys.h"
#include "app/platform/PanelSurface.h"
#include "app/search/ContentViewModel.h"
#include "app/shell/KeyboardShortcut.h"
#include "app/shell/PanelPlacement.h"
#include "app/shell/PresentationIntent.h"
#include "core/SequenceChecker.h"
#include "core/TaskRunner.h"

namespace pallix {

class WindowManager final : public PanelWindow {
 public:
  static constexpr std::chrono::milliseconds hideAnimationDuration{250};
  static constexpr std::chrono::milliseconds showAnimationDuration{250};
  static constexpr std::chrono::milliseconds panelSnapAnimationDuration{600};
  static constexpr std::chrono::milliseconds kDefaultDeactivationSuppression{1500};

  struct Dependencies {
    TaskRunnerPtr mainRunner;
    PanelSurface* surface = nullptr;
    KeyboardShortcutStore* shortcuts = nullptr;
    // Null where the process must not grab global keys (registersHotKey false).
    GlobalHotKeys* hotKeys = nullptr;
  };

  enum class FadeState { hidden, shown, hiding };

  explicit WindowManager(Dependencies deps);
  ~WindowManager() override;
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  // Installs the hot-key handler and registers the hot keys.
  void activate();

  // `requestedAt` is when the user asked (the hot-key press); defaults to now.
  void showWindow(PresentationIntent intent, std::optional<MonoTime> requestedAt = std::nullopt);
  void toggleWindow(std::optional<MonoTime> requestedAt = std::nullopt);
  void hideWindow(bool immediate, bool deactivateApp) override;
  void repositionWindow(bool animated);

  // Fails with HotKeyConfigurationError; the previous shortcut then stays.
  Status updateShortcut(HotKeyKind kind, const KeyboardShortcut& shortcut);
  void setShortcutEnabled(HotKeyKind kind, bool enabled);
  void setClipboardShortcutEnabled(bool enabled) { setShortcutEnabled(HotKeyKind::clipboard, enabled); }
  void suppressNextAppDeactivation(Duration timeout = kDefaultDeactivationSuppression);
  void setPanelPosition(PanelPosition position);

  // Events from the window and the desktop.
  // Returns whether the key was taken (by the content or to hide the panel).
  bool handleEscapeKey();
  void handleMouseDown(Point location);
  void handleActiveWorkspaceChanged();
  void handleApplicationDeactivated();
  void handleDragStarted() { isDragging_ = true; }
  void handleDragEnded();
  void handleScreensChanged();
  void handleHotKey(uint32_t signature, uint32_t id, MonoTime pressedAt);

  void setEscapeKeyHandler(std::function<bool()> h) { escapeKeyHandler_ = std::move(h); }
  void setWillPresentHandler(std::function<void(PresentationIntent)> h) { willPresentHandler_ = std::move(h); }
  void setPanelPositionChangeHandler(std::function<void(PanelPosition)> h) { positionChangeHandler_ = std::move(h); }
  // Told true when the content appears and false when it starts to go.
  void setContentPresentationHandler(std::function<void(bool)> h) { contentPresentationHandler_ = std::move(h); }
  // Told after the window is ordered out.
  void setDidHideHandler(std::function<void()> h) { didHideHandler_ = std::move(h); }

  PresentationIntent presentationIntent() const { return presentationIntent_; }
  bool isContentPresented() const { return isContentPresented_; }
  bool isPresented() const { return fadeState_ == FadeState::shown; }
  FadeState fadeState() const { return fadeState_; }
  PanelPosition panelPosition() const { return panelPosition_; }
  const KeyboardShortcut& shortcut(HotKeyKind kind) const { return shortcuts_[index(kind)]; }
  // A shortcut the desktop refused at launch (a window manager binds it) and
  // why; shortcut() then names the one in use instead, or nothing took.
  struct Refusal {
    KeyboardShortcut refused;
    std::string reason;
    bool anyInUse = true;
  };
  const std::optional<Refusal>& refusal(HotKeyKind kind) const { return refusals_[index(kind)]; }
  // One line for the user about the refused shortcuts ("Alt+Space is taken
  // by another program: Pallix opens with Ctrl+Alt+Space"); empty when none.
  std::string refusalSummary() const;
  bool isShortcutEnabled(HotKeyKind kind) const { return enabled_[index(kind)]; }
  bool registersHotKey() const { return hotKeys_ != nullptr; }
  bool shouldIgnoreNextAppDeactivation() const { return shouldIgnoreNextAppDeactivation_; }
  PresentationIntent resolveIntent(PresentationIntent intent) const;

 private:
  static size_t index(HotKeyKind kind) { return static_cast<size_t>(kind) - 1; }
  int registerHotKey(HotKeyKind kind);
  void registerAtLaunch(HotKeyKind kind);
  void finalizeHideIfNeeded();
  void snapToNearestPosition(std::chrono::milliseconds duration);
  void placeOn(const ScreenGeometry& screen, std::chrono::milliseconds duration);

  TaskRunnerPtr main_;
  SequenceChecker sequence_{main_.get(), "WindowManager"};
  PanelSurface& surface_;
  KeyboardShortcutStore& store_;
  GlobalHotKeys* hotKeys_;

  PresentationIntent presentationIntent_ = PresentationIntent::standard;
  bool isContentPresented_ = false;
  PanelPosition panelPosition_ = PanelPosition::bottomTrailing;
  std::array<KeyboardShortcut, 5> shortcuts_;
  std::array<bool, 5> enabled_ = {true, true, true, true, true};
  std::array<bool, 5> registered_ = {false, false, false, false, false};
  std::array<std::optional<Refusal>, 5> refusals_;
  FadeState fadeState_ = FadeState::hidden;
  std::optional<MonoTime> lastHideStartedAt_;
  bool isDragging_ = false;
  bool shouldIgnoreNextAppDeactivation_ = false;
  TaskHandle suppressionReset_;
  TaskHandle finalizeHide_;

  std::function<bool()> escapeKeyHandler_;
  std::function<void(PresentationIntent)> willPresentHandler_;
  std::function<void(PanelPosition)> positionChangeHandler_;
  std::function<void(bool)> contentPresentationHandler_;
  std::function<void()> didHideHandler_;
  // Last member: posted hot-key presses die with the manager.
  WeakGuard weak_;
};

}  // namespace pallix
