// A clipboard owner that breaks the rules, one way per mode (argv[1]):
//
//   die              offers image/png, announces an INCR transfer when asked
//                    for it, and exits without sending a chunk (the default)
//   stall            offers UTF8_STRING, sends the first INCR chunk and then
//                    nothing; once it loses the clipboard it writes the rest
//                    into the requestor's property anyway, and exits
//   short            ends its INCR transfer after fewer bytes than it announced
//   garbled          sends a chunk of 32-bit numbers in the middle of the text
//   garbage-targets  answers TARGETS with seven bytes that are no atoms
//   change-owner     after the first chunk, hands the clipboard to a second
//                    window of its own that offers kNewOwnerText, and keeps
//                    sending chunks of the first text to whoever asks
//   late             offers UTF8_STRING, prints "asked" when asked for it and
//                    answers only after a line on stdin, printing "answered",
//                    or "the requestor's window is gone" where an Xlib owner
//                    would die of BadWindow
//
// The text of the INCR modes is 1 MiB of "abcdefghijklmnopqrstuvwxyz\n".
// Prints "ready" once it owns CLIPBOARD.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kNewOwnerText = "text of the second owner";
constexpr size_t kChunk = 64 * 1024;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : 0;
  std::free(r);
  return a;
}

struct Transfer {
  xcb_window_t requestor = 0;
  xcb_atom_t property = 0;
  size_t offset = 0;
  int chunks = 0;
  bool active = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "die";
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 3;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  auto makeWindow = [&] {
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    return w;
  };
  const xcb_window_t window = makeWindow(), second = makeWindow();
  const xcb_atom_t clipboard = atom(c, "CLIPBOARD"), targets = atom(c, "TARGETS"), png = atom(c, "image/png"),
                   utf8 = atom(c, "UTF8_STRING"), incr = atom(c, "INCR");
  std::string text;
  while (text.size() < (1u << 20)) text += "abcdefghijklmnopqrstuvwxyz\n";
  text.resize(1u << 20);

  xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
  xcb_flush(c);
  std::printf("ready\n");
  std::fflush(stdout);

  Transfer transfer;
  auto put = [&](xcb_window_t w, xcb_atom_t property, xcb_atom_t type, uint8_t format, size_t count, const void* data) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, format, static_cast<uint32_t>(count), data);
  };
  auto sendChunk = [&] {
    const size_t length = std::min(kChunk, text.size() - transfer.offset);
    if (mode == "garbled" && transfer.chunks == 2) {
      std::vector<uint32_t> numbers(length / 4, 0xDEADBEEF);
      put(transfer.requestor, transfer.property, XCB_ATOM_INTEGER, 32, numbers.size(), numbers.data());
    } else {
      put(transfer.requestor, transfer.property, utf8, 8, length, text.data() + transfer.offset);
    }
    transfer.offset += length;
    ++transfer.chunks;
    if (length == 0) transfer.active = false;
  };

  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_SELECTION_REQUEST) {
      auto* request = reinterpret_cast<xcb_selection_request_event_t*>(event);
      xcb_selection_notify_event_t notify{};
      notify.response_type = XCB_SELECTION_NOTIFY;
      notify.time = request->time;
      notify.requestor = request->requestor;
      notify.selection = request->selection;
      notify.target = request->target;
      notify.property = request->property;
      if (request->owner == second) {
        if (request->target == targets) {
          const xcb_atom_t offered[] = {targets, utf8};
          put(request->requestor, request->property, XCB_ATOM_ATOM, 32, 2, offered);
        } else if (request->target == utf8) {
          put(request->requestor, request->property, utf8, 8, std::strlen(kNewOwnerText), kNewOwnerText);
        } else {
          notify.property = XCB_ATOM_NONE;
        }
      } else if (request->target == targets) {
        if (mode == "garbage-targets") {
          put(request->requestor, request->property, XCB_ATOM_ATOM, 8, 7, "garbage");
        } else {
          const xcb_atom_t offered[] = {targets, mode == "die" ? png : utf8};
          put(request->requestor, request->property, XCB_ATOM_ATOM, 32, 2, offered);
        }
      } else if (mode == "late" && request->target == utf8) {
        std::printf("asked\n");
        std::fflush(stdout);
        char line[64];
        if (!std::fgets(line, sizeof line, stdin)) _exit(4);
        xcb_generic_error_t* error = xcb_request_check(
            c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, request->requestor, request->property, utf8, 8,
                                           std::strlen(kNewOwnerText), kNewOwnerText));
        std::printf(error ? "the requestor's window is gone\n" : "answered\n");
        std::fflush(stdout);
        std::free(error);
      } else if (request->target == (mode == "die" ? png : utf8) && mode != "garbage-targets") {
        const uint32_t size = mode == "die" ? 20u << 20 : static_cast<uint32_t>(text.size());
        if (mode == "short") text.resize(3 * kChunk);
        const uint32_t events[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_change_window_attributes(c, request->requestor, XCB_CW_EVENT_MASK, events);
        put(request->requestor, request->property, incr, 32, 1, &size);
        transfer = Transfer{request->requestor, request->property, 0, 0, true};
      } else {
        notify.property = XCB_ATOM_NONE;
      }
      xcb_send_event(c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
      xcb_flush(c);
      if (mode == "die" && request->target == png) _exit(0);
    } else if (type == XCB_PROPERTY_NOTIFY) {
      auto* p = reinterpret_cast<xcb_property_notify_event_t*>(event);
      const bool ours = transfer.active && p->window == transfer.requestor && p->atom == transfer.property;
      if (ours && p->state == XCB_PROPERTY_DELETE && !(mode == "stall" && transfer.chunks >= 1)) {
        sendChunk();
        if (mode == "change-owner" && transfer.chunks == 1)
          xcb_set_selection_owner(c, second, clipboard, XCB_CURRENT_TIME);
        xcb_flush(c);
      }
    } else if (type == XCB_SELECTION_CLEAR) {
      auto* clear = reinterpret_cast<xcb_selection_clear_event_t*>(event);
      if (clear->owner == second || ((mode == "stall" || mode == "late") && clear->owner == window)) {
        // A late writer: the rest of the stalled text, unasked.
        while (mode == "stall" && transfer.active) sendChunk();
        xcb_flush(c);
        xcb_get_input_focus_reply_t* sync = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        std::free(sync);
        std::printf("gone\n");
        std::fflush(stdout);
        _exit(0);
      }
    }
    std::free(event);
  }
  return 0;
}
