// X11FocusReturn: remembers which window had the keyboard before the panel
// took it, gives it back when the panel goes (with or without a window
// manager: without one nobody else would), and lets the emoji picker wait
// until that window really has it before typing.
//
// Threading: remember() and handBack() on the GUI thread, waitForReturn() on
// the emoji typing runner. It has its own X connection (libxcb is
// thread-safe); the previous window is guarded by a mutex.
#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <mutex>

#include "app/emoji/KeyboardFocusReturn.h"

namespace pallix::views {

class X11FocusReturn final : public KeyboardFocusReturn {
 public:
  // Null when there is no X display to connect to.
  static std::shared_ptr<X11FocusReturn> connect();
  ~X11FocusReturn() override;
  X11FocusReturn(const X11FocusReturn&) = delete;
  X11FocusReturn& operator=(const X11FocusReturn&) = delete;

  // Before the panel (window `panel`) takes the keyboard.
  void remember(xcb_window_t panel);
  void handBack();
  bool waitForReturn(Duration timeout) override;

 private:
  explicit X11FocusReturn(xcb_connection_t* connection) : connection_(connection) {}
  xcb_window_t currentFocus();

  xcb_connection_t* connection_;
  std::mutex mutex_;
  xcb_window_t previous_ = XCB_NONE;
};

}  // namespace pallix::views
