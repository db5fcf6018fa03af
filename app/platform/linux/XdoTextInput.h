// XdoTextInput: typing into the focused X11 window through XTest key events
// posted by libxdo, one key press and release per Unicode scalar, each on a
// free keycode bound to the scalar's keysym for the moment. Permitted when
// the display is reachable and has the XTEST extension.
//
// Thread-safe; owns its display connection.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "app/platform/TextInput.h"

namespace pallix {

class XdoTextInput final : public TextInput {
 public:
  // `display` empty: $DISPLAY. `keyDelayMicroseconds`: pause between keys.
  explicit XdoTextInput(std::string display = "", unsigned keyDelayMicroseconds = 2000);
  ~XdoTextInput() override;
  bool isPermitted() override;
  Status typeText(const std::string& text) override;

 private:
  bool openLocked();

  std::mutex mutex_;
  std::string display_;
  unsigned delay_;
  void* xdo_ = nullptr;
  std::optional<bool> permitted_;
};

// WtypeTextInput: typing on Wayland through the wtype tool (the compositor
// must offer the virtual-keyboard protocol). Permitted when $WAYLAND_DISPLAY
// is set and wtype is installed.
class WtypeTextInput final : public TextInput {
 public:
  bool isPermitted() override;
  Status typeText(const std::string& text) override;
};

}  // namespace pallix
