// FakePanelSurface and FakeGlobalHotKeys: in-memory stand-ins for the panel
// window and the display server's key grabs, for tests. Fades and glides
// complete at once; the tests observe the requested durations.
#pragma once

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "app/platform/GlobalHotKeys.h"
#include "app/platform/PanelSurface.h"

namespace pallix {

class FakePanelSurface final : public PanelSurface {
 public:
  std::vector<ScreenGeometry> screenList;
  std::optional<Point> pointer;
  Size size{640, 420};
  Rect currentFrame{0, 0, 640, 420};
  double currentOpacity = 0;
  bool visible = false;
  bool acceptsMouse = false;
  int deactivations = 0;
  std::chrono::milliseconds lastFrameDuration{0};
  std::chrono::milliseconds lastFadeDuration{0};

  std::vector<ScreenGeometry> screens() const override { return screenList; }
  std::optional<Point> pointerLocation() const override { return pointer; }
  Size panelSize() const override { return size; }
  Rect frame() const override { return currentFrame; }
  void setFrame(const Rect& frame, std::chrono::milliseconds duration) override {
    currentFrame = frame;
    lastFrameDuration = duration;
  }
  double opacity() const override { return currentOpacity; }
  void fadeTo(double opacity, std::chrono::milliseconds duration) override {
    currentOpacity = opacity;
    lastFadeDuration = duration;
  }
  void orderFrontAndFocus() override { visible = true; }
  void orderOut() override { visible = false; }
  bool isVisible() const override { return visible; }
  void setAcceptsMouseEvents(bool accepts) override { acceptsMouse = accepts; }
  void deactivateApplication() override { ++deactivations; }
};

// Combinations in `takenByOthers` are refused with kStatusAlreadyExists.
class FakeGlobalHotKeys final : public GlobalHotKeys {
 public:
  using Combination = std::pair<uint16_t, uint32_t>;
  std::set<Combination> takenByOthers;
  std::map<uint32_t, Combination> registered;  // by id
  int installStatus = kStatusOK;

  int installHandler(PressHandler handler) override {
    handler_ = std::move(handler);
    return installStatus;
  }
  int registerHotKey(uint32_t, uint32_t id, uint16_t keyCode, uint32_t modifierFlags) override {
    Combination c{keyCode, modifierFlags};
    if (takenByOthers.count(c)) return kStatusAlreadyExists;
    for (const auto& [other, combination] : registered) {
      if (combination == c && other != id) return kStatusAlreadyExists;
    }
    registered[id] = c;
    return kStatusOK;
  }
  void unregisterHotKey(uint32_t, uint32_t id) override { registered.erase(id); }

  // Presses a combination as the display server would: only a registered one
  // reaches the handler. Returns whether it did.
  bool press(uint16_t keyCode, uint32_t modifierFlags, uint32_t signature) {
    for (const auto& [id, combination] : registered) {
      if (combination == Combination{keyCode, modifierFlags} && handler_) {
        handler_(signature, id);
        return true;
      }
    }
    return false;
  }

 private:
  PressHandler handler_;
};

}  // namespace pallix
