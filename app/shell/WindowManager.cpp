#include "app/shell/WindowManager.h"

#include <cmath>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("WindowManager");
  return log;
}

// "" for the panel hot key, "clipboard " and so on for the others, as the
// log lines name them.
std::string qualifier(HotKeyKind kind) {
  return kind == HotKeyKind::panel ? std::string() : std::string(hotKeyName(kind)) + " ";
}

std::string latencyBucket(int64_t ms) {
  if (ms < 80) return "lt80";
  if (ms < 160) return "80to159";
  if (ms < 300) return "160to299";
  return "ge300";
}

// What is tried after a refused shortcut, in order: the default, then for
// the panel Ctrl+Alt+Space and Ctrl+Shift+Space, because common desktops
// bind Alt+Space to their window menu or their own launcher.
std::vector<KeyboardShortcut> launchFallbacks(HotKeyKind kind) {
  const KeyboardShortcut d = defaultShortcut(kind);
  if (kind != HotKeyKind::panel) return {d};
  return {d,
          {d.keyCode, modifier::kControl | modifier::kOption, d.keyDisplay},
          {d.keyCode, modifier::kControl | modifier::kShift, d.keyDisplay}};
}

}  // namespace

WindowManager::WindowManager(Dependencies deps)
    : main_(std::move(deps.mainRunner)), surface_(*deps.surface), store_(*deps.shortcuts), hotKeys_(deps.hotKeys) {
  for (HotKeyKind kind : kAllHotKeyKinds) shortcuts_[index(kind)] = store_.load(kind);
}

WindowManager::~WindowManager() {
  finalizeHide_.cancel();
  suppressionReset_.cancel();
  if (!hotKeys_) return;
  for (HotKeyKind kind : kAllHotKeyKinds) {
    if (registered_[index(kind)]) hotKeys_->unregisterHotKey(kHotKeySignature, static_cast<uint32_t>(kind));
  }
}

void WindowManager::activate() {
  if (!hotKeys_) return;
  TaskRunnerPtr main = main_;
  auto handle = weak_.wrap([this](uint32_t signature, uint32_t id, MonoTime at) { handleHotKey(signature, id, at); });
  int status = hotKeys_->installHandler([main, handle](uint32_t signature, uint32_t id) mutable {
    MonoTime at = main->clock().now();
    main->post([handle, signature, id, at]() mutable { handle(signature, id, at); });
  });
  if (status != GlobalHotKeys::kStatusOK) {
    logger().error("Pallix: failed to install hot key handler (status %d)", status);
    return;
  }
  for (HotKeyKind kind : kAllHotKeyKinds) {
    if (kind == HotKeyKind::clipboard && !enabled_[index(kind)]) continue;
    registerAtLaunch(kind);
  }
}

int WindowManager::registerHotKey(HotKeyKind kind) {
  const KeyboardShortcut& s = shortcuts_[index(kind)];
  int status = hotKeys_->registerHotKey(kHotKeySignature, static_cast<uint32_t>(kind), s.keyCode, s.modifierFlags);
  registered_[index(kind)] = status == GlobalHotKeys::kStatusOK;
  if (status == GlobalHotKeys::kStatusOK) {
    logger().info("Pallix: registered %shot key with id %u", qualifier(kind).c_str(), static_cast<uint32_t>(kind));
  }
  return status;
}

void WindowManager::registerAtLaunch(HotKeyKind kind) {
  refusals_[index(kind)].reset();
  const KeyboardShortcut wanted = shortcuts_[index(kind)];
  int status = registerHotKey(kind);
  if (status == GlobalHotKeys::kStatusOK) return;
  Refusal refusal{wanted, HotKeyConfigurationError::describe(status), false};
  logger().error("Pallix: the %sshortcut %s was refused: %s", qualifier(kind).c_str(), wanted.displayString().c_str(),
                 refusal.reason.c_str());
  // A stored shortcut that cannot be had goes back to the default; the
  // fallbacks after it hold for this session only, so that the default is
  // tried again next time.
  const KeyboardShortcut fallback = defaultShortcut(kind);
  if (wanted != fallback) {
    Status saved = store_.save(kind, fallback);
    if (!saved.ok()) logger().error("Pallix: %s", saved.error().description().c_str());
  }
  for (const KeyboardShortcut& candidate : launchFallbacks(kind)) {
    if (candidate == wanted) continue;
    shortcuts_[index(kind)] = candidate;
    status = registerHotKey(kind);
    if (status == GlobalHotKeys::kStatusOK) {
      refusal.anyInUse = true;
      logger().info("Pallix: the %sshortcut is %s instead", qualifier(kind).c_str(), candidate.displayString().c_str());
      break;
    }
    logger().error("Pallix: the %sshortcut %s was refused too (status %d)", qualifier(kind).c_str(),
                   candidate.displayString().c_str(), status);
  }
  if (!refusal.anyInUse) shortcuts_[index(kind)] = fallback;
  refusals_[index(kind)] = std::move(refusal);
}

std::string WindowManager::refusalSummary() const {
  std::string out;
  for (HotKeyKind kind : kAllHotKeyKinds) {
    const auto& refusal = refusals_[index(kind)];
    if (!refusal) continue;
    if (!out.empty()) out += "\n";
    const std::string what = kind == HotKeyKind::panel ? "Pallix" : std::string("the ") + hotKeyName(kind) + " mode";
    out += refusal->refused.displayString() + " is taken by another program: ";
    out += refusal->anyInUse ? what + " opens with " + shortcut(kind).displayString()
                             : "no shortcut opens " + what + "; choose one in Settings";
  }
  return out;
}

Status WindowManager::updateShortcut(HotKeyKind kind, const KeyboardShortcut& shortcut) {
  KeyboardShortcut& current = shortcuts_[index(kind)];
  if (current == shortcut) return {};
  const bool live = hotKeys_ && (kind != HotKeyKind::clipboard || enabled_[index(kind)]);
  if (!live) {
    current = shortcut;
    return store_.save(kind, shortcut);
  }
  KeyboardShortcut previous = current;
  if (registered_[index(kind)]) hotKeys_->unregisterHotKey(kHotKeySignature, static_cast<uint32_t>(kind));
  current = shortcut;
  int status = registerHotKey(kind);
  if (status == GlobalHotKeys::kStatusOK) {
    refusals_[index(kind)].reset();
    return store_.save(kind, shortcut);
  }
  current = previous;
  int restored = registerHotKey(kind);
  if (restored != GlobalHotKeys::kStatusOK) {
    logger().error("Pallix: failed to restore previous %shot key (status %d)", qualifier(kind).c_str(), restored);
  }
  return HotKeyConfigurationError::registrationFailed(status);
}

void WindowManager::setShortcutEnabled(HotKeyKind kind, bool enabled) {
  if (kind == HotKeyKind::panel || kind == HotKeyKind::emoji) return;
  bool& flag = enabled_[index(kind)];
  if (flag == enabled) return;
  flag = enabled;
  // Only the clipboard hot key is released with its switch; the others stay
  // registered and open the standard mode while disabled.
  if (kind != HotKeyKind::clipboard || !hotKeys_) return;
  if (enabled) {
    registerAtLaunch(kind);
  } else if (registered_[index(kind)]) {
    hotKeys_->unregisterHotKey(kHotKeySignature, static_cast<uint32_t>(kind));
    registered_[index(kind)] = false;
  }
}

void WindowManager::handleHotKey(uint32_t signature, uint32_t id, MonoTime pressedAt) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (signature != kHotKeySignature) return;
  switch (id) {
    case 1:
      toggleWindow(pressedAt);
      break;
    case 2:
      showWindow(PresentationIntent::clipboard, pressedAt);
      break;
    case 3:
      showWindow(PresentationIntent::emoji, pressedAt);
      break;
    case 4:
      showWindow(PresentationIntent::messages, pressedAt);
      break;
    case 5:
      showWindow(PresentationIntent::files, pressedAt);
      break;
    default:
      break;
  }
}

PresentationIntent WindowManager::resolveIntent(PresentationIntent intent) const {
  switch (intent) {
    case PresentationIntent::clipboard:
      return enabled_[index(HotKeyKind::clipboard)] ? intent : PresentationIntent::standard;
    case PresentationIntent::messages:
      return enabled_[index(HotKeyKind::messages)] ? intent : PresentationIntent::standard;
    case PresentationIntent::files:
      return enabled_[index(HotKeyKind::files)] ? intent : PresentationIntent::standard;
    case PresentationIntent::standard:
    case PresentationIntent::emoji:
      return intent;
  }
  return intent;
}

void WindowManager::toggleWindow(std::optional<MonoTime> requestedAt) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (isPresented() && presentationIntent_ == PresentationIntent::standard) {
    hideWindow(false, true);
    return;
  }
  // The key was pressed while the panel showed and something else (the
  // focus loss the key's own grab causes, say) began hiding it before the
  // press got here: the press meant to hide it, so it stays hidden.
  if (requestedAt && lastHideStartedAt_ && *lastHideStartedAt_ >= *requestedAt) return;
  showWindow(PresentationIntent::standard, requestedAt);
}

void WindowManager::showWindow(PresentationIntent intent, std::optional<MonoTime> requestedAt) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  const MonoTime requested = requestedAt.value_or(main_->clock().now());
  const PresentationIntent resolved = resolveIntent(intent);
  finalizeHide_.cancel();
  finalizeHide_ = TaskHandle();
  const bool wasHidden = fadeState_ == FadeState::hidden;
  presentationIntent_ = resolved;
  if (willPresentHandler_) willPresentHandler_(resolved);

  if (wasHidden || !surface_.isVisible()) repositionWindow(false);
  surface_.setAcceptsMouseEvents(true);
  if (surface_.opacity() < 1.0) surface_.fadeTo(1.0, wasHidden ? showAnimationDuration : std::chrono::milliseconds(0));
  surface_.orderFrontAndFocus();
  fadeState_ = FadeState::shown;
  if (!isContentPresented_) {
    isContentPresented_ = true;
    if (contentPresentationHandler_) contentPresentationHandler_(true);
  }

  auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(main_->clock().now() - requested).count();
  TelemetryService::signal("WindowManager.panelShowLatency", {{"requestedIntent", std::string(rawValue(intent))},
                                                              {"resolvedIntent", std::string(rawValue(resolved))},
                                                              {"elapsedMs", std::to_string(elapsedMs)},
                                                              {"bucket", latencyBucket(elapsedMs)}});
}

void WindowManager::hideWindow(bool immediate, bool deactivateApp) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (fadeState_ == FadeState::hidden) return;
  if (fadeState_ == FadeState::shown) lastHideStartedAt_ = main_->clock().now();
  if (isDragging_) snapToNearestPosition(std::chrono::milliseconds(0));
  surface_.setAcceptsMouseEvents(false);
  if (isContentPresented_) {
    isContentPresented_ = false;
    if (contentPresentationHandler_) contentPresentationHandler_(false);
  }
  if (deactivateApp) surface_.deactivateApplication();
  if (immediate) {
    fadeState_ = FadeState::hiding;
    finalizeHideIfNeeded();
    return;
  }
  if (fadeState_ == FadeState::hiding) return;
  fadeState_ = FadeState::hiding;
  surface_.fadeTo(0.0, hideAnimationDuration);
  finalizeHide_ = main_->postDelayed(hideAnimationDuration, weak_.wrap([this] { finalizeHideIfNeeded(); }));
}

void WindowManager::finalizeHideIfNeeded() {
  if (fadeState_ != FadeState::hiding) return;
  finalizeHide_.cancel();
  finalizeHide_ = TaskHandle();
  surface_.fadeTo(0.0, std::chrono::milliseconds(0));
  surface_.orderOut();
  fadeState_ = FadeState::hidden;
  presentationIntent_ = PresentationIntent::standard;
  if (didHideHandler_) didHideHandler_();
}

void WindowManager::placeOn(const ScreenGeometry& screen, std::chrono::milliseconds duration) {
  Size size = surface_.panelSize();
  Point origin = panelOrigin(panelPosition_, size, screen);
  surface_.setFrame({origin.x, origin.y, size.width, size.height}, duration);
}

void WindowManager::repositionWindow(bool animated) {
  auto screen = preferredScreen(surface_.screens(), surface_.pointerLocation(), surface_.frame());
  if (!screen) return;
  placeOn(*screen, animated ? panelSnapAnimationDuration : std::chrono::milliseconds(0));
}

void WindowManager::setPanelPosition(PanelPosition position) {
  if (panelPosition_ == position) return;
  panelPosition_ = position;
  if (fadeState_ == FadeState::shown) repositionWindow(true);
}

void WindowManager::snapToNearestPosition(std::chrono::milliseconds duration) {
  isDragging_ = false;
  Rect frame = surface_.frame();
  auto screen = preferredScreen(surface_.screens(), std::nullopt, frame);
  if (!screen) return;
  PanelPosition nearest = nearestPanelPosition(frame, *screen);
  panelPosition_ = nearest;
  placeOn(*screen, duration);
  if (positionChangeHandler_) positionChangeHandler_(nearest);
}

void WindowManager::handleDragEnded() {
  if (!isDragging_) return;
  snapToNearestPosition(panelSnapAnimationDuration);
}

void WindowManager::handleScreensChanged() {
  if (fadeState_ == FadeState::shown) repositionWindow(false);
}

bool WindowManager::handleEscapeKey() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (fadeState_ != FadeState::shown) return false;
  if (escapeKeyHandler_ && escapeKeyHandler_()) return true;
  hideWindow(false, true);
  return true;
}

void WindowManager::handleMouseDown(Point location) {
  if (fadeState_ != FadeState::shown) return;
  if (surface_.frame().contains(location)) return;
  hideWindow(false, false);
}

void WindowManager::handleActiveWorkspaceChanged() {
  if (isPresented()) hideWindow(true, false);
}

void WindowManager::handleApplicationDeactivated() {
  if (!isPresented()) return;
  if (shouldIgnoreNextAppDeactivation_) {
    shouldIgnoreNextAppDeactivation_ = false;
    suppressionReset_.cancel();
    return;
  }
  hideWindow(false, false);
}

void WindowManager::suppressNextAppDeactivation(Duration timeout) {
  shouldIgnoreNextAppDeactivation_ = true;
  suppressionReset_.cancel();
  suppressionReset_ = main_->postDelayed(timeout, weak_.wrap([this] { shouldIgnoreNextAppDeactivation_ = false; }));
}

}  // namespace pallix
