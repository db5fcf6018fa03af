// X11ClickWatcher: tells when a pointer button is pressed anywhere on an X11
// display, so the panel can be dismissed by a click outside it even where no
// window manager takes the focus away. It listens to XInput 2 raw button
// events on the root window over a connection of its own: nothing is
// grabbed, so every click still reaches the window it was meant for.
//
// Threading: GUI thread; a socket notifier drains its connection there.
#pragma once

#include <xcb/xcb.h>

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace pallix::views {

class X11ClickWatcher final {
 public:
  // Null (after a log line) without an X display or XInput 2.2.
  // `onPress` gets the button (1 left, 2 middle, 3 right; 4 and up scroll).
  static std::unique_ptr<X11ClickWatcher> connect(std::function<void(int button)> onPress);
  ~X11ClickWatcher();
  X11ClickWatcher(const X11ClickWatcher&) = delete;
  X11ClickWatcher& operator=(const X11ClickWatcher&) = delete;

 private:
  X11ClickWatcher(xcb_connection_t* c, uint8_t opcode, std::function<void(int)> onPress);
  void drain();

  xcb_connection_t* connection_;
  uint8_t inputOpcode_;
  std::function<void(int)> onPress_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace pallix::views
