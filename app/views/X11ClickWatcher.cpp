#include "app/views/X11ClickWatcher.h"

#include <xcb/xinput.h>

#include <cstdlib>

#include "core/Logger.h"

namespace pallix::views {
namespace {

const Logger& logger() {
  static const Logger instance("X11ClickWatcher");
  return instance;
}

}  // namespace

std::unique_ptr<X11ClickWatcher> X11ClickWatcher::connect(std::function<void(int)> onPress) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    logger().error("Pallix: cannot watch for clicks outside the panel: no X display");
    return nullptr;
  }
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_input_id);
  auto* version = extension && extension->present
                      ? xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr)
                      : nullptr;
  const bool usable = version && (version->major_version > 2 || version->minor_version >= 2);
  std::free(version);
  if (!usable) {
    xcb_disconnect(c);
    logger().error("Pallix: cannot watch for clicks outside the panel: the X server lacks XInput 2.2");
    return nullptr;
  }
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  xcb_generic_error_t* error = xcb_request_check(c, xcb_input_xi_select_events_checked(c, root, 1, &mask.head));
  if (error) {
    logger().error("Pallix: cannot watch for clicks outside the panel: the X server refused (error %d)",
                   error->error_code);
    std::free(error);
    xcb_disconnect(c);
    return nullptr;
  }
  return std::unique_ptr<X11ClickWatcher>(new X11ClickWatcher(c, extension->major_opcode, std::move(onPress)));
}

X11ClickWatcher::X11ClickWatcher(xcb_connection_t* c, uint8_t opcode, std::function<void(int)> onPress)
    : connection_(c), inputOpcode_(opcode), onPress_(std::move(onPress)) {
  notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { drain(); });
}

X11ClickWatcher::~X11ClickWatcher() {
  notifier_.reset();
  xcb_disconnect(connection_);
}

void X11ClickWatcher::drain() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
      auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
      if (generic->extension == inputOpcode_ && generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS && onPress_) {
        onPress_(static_cast<int>(reinterpret_cast<xcb_input_raw_button_press_event_t*>(event)->detail));
      }
    }
    std::free(event);
  }
  if (xcb_connection_has_error(connection_)) {
    logger().error("Pallix: the X connection that watches for clicks closed; clicks outside no longer hide the panel");
    notifier_->setEnabled(false);
  }
}

}  // namespace pallix::views
