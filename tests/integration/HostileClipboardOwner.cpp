// A clipboard owner that dies in the middle of a transfer: it offers
// image/png, starts an INCR transfer when asked for it, and exits without
// sending a single chunk. Prints "ready" once it owns CLIPBOARD.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : 0;
  std::free(r);
  return a;
}

int main() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 3;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  const xcb_atom_t clipboard = atom(c, "CLIPBOARD"), targets = atom(c, "TARGETS"), png = atom(c, "image/png"),
                   incr = atom(c, "INCR");
  xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
  xcb_flush(c);
  std::printf("ready\n");
  std::fflush(stdout);
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    if ((event->response_type & 0x7F) == XCB_SELECTION_REQUEST) {
      auto* request = reinterpret_cast<xcb_selection_request_event_t*>(event);
      xcb_selection_notify_event_t notify{};
      notify.response_type = XCB_SELECTION_NOTIFY;
      notify.requestor = request->requestor;
      notify.selection = request->selection;
      notify.target = request->target;
      notify.property = request->property;
      if (request->target == targets) {
        const xcb_atom_t offered[] = {targets, png};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, request->property, XCB_ATOM_ATOM, 32, 2,
                            offered);
      } else {
        const uint32_t size = 20u << 20;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, request->property, incr, 32, 1, &size);
      }
      xcb_send_event(c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
      xcb_flush(c);
      if (request->target == png) _exit(0);
    }
    std::free(event);
  }
  return 0;
}
