#include "app/views/X11FocusReturn.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>

namespace pallix::views {

std::shared_ptr<X11FocusReturn> X11FocusReturn::connect() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return nullptr;
  }
  return std::shared_ptr<X11FocusReturn>(new X11FocusReturn(c));
}

X11FocusReturn::~X11FocusReturn() {
  xcb_disconnect(connection_);
}

xcb_window_t X11FocusReturn::currentFocus() {
  auto* reply = xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr);
  if (!reply) return XCB_NONE;
  xcb_window_t focus = reply->focus;
  std::free(reply);
  return focus;
}

void X11FocusReturn::remember(xcb_window_t panel) {
  xcb_window_t focus = currentFocus();
  // Shown again while it shows (a mode switch): the user's window stays the one.
  if (focus == panel) return;
  const bool real = focus != XCB_NONE && focus != XCB_INPUT_FOCUS_POINTER_ROOT;
  if (real) {
    // Focus changes of that window wake waitForReturn().
    const uint32_t mask = XCB_EVENT_MASK_FOCUS_CHANGE;
    xcb_change_window_attributes(connection_, focus, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  previous_ = real ? focus : XCB_NONE;
}

void X11FocusReturn::handBack() {
  xcb_window_t previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = previous_;
  }
  if (previous == XCB_NONE) return;
  // A window that has gone meanwhile answers with an error, which is dropped.
  xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, previous, XCB_CURRENT_TIME);
  xcb_flush(connection_);
}

bool X11FocusReturn::waitForReturn(Duration timeout) {
  xcb_window_t previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = previous_;
  }
  if (previous == XCB_NONE) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
  while (true) {
    if (currentFocus() == previous) return true;
    if (xcb_connection_has_error(connection_)) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // An event read along with the reply is already off the socket: look again without waiting.
    bool queued = false;
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) {
      queued = true;
      std::free(event);
    }
    if (queued) continue;
    ::poll(&fd, 1, static_cast<int>(left.count()));
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  }
}

}  // namespace pallix::views
