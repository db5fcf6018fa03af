// A test window that records what it is typed: it takes the input focus,
// prints "ready", and appends the Unicode text of every key press (keysym
// through the keyboard mapping in force, refreshed on MappingNotify) to the
// file named on its command line, and "[click]" for every button pressed on it.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Keymap {
  xcb_keycode_t min = 8;
  uint8_t perCode = 0;
  std::vector<xcb_keysym_t> syms;

  void load(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    min = setup->min_keycode;
    xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, min, static_cast<uint8_t>(setup->max_keycode - min + 1)), nullptr);
    if (!reply) return;
    perCode = reply->keysyms_per_keycode;
    xcb_keysym_t* data = xcb_get_keyboard_mapping_keysyms(reply);
    syms.assign(data, data + xcb_get_keyboard_mapping_keysyms_length(reply));
    std::free(reply);
  }
  xcb_keysym_t lookup(xcb_keycode_t code, bool shift) const {
    size_t at = static_cast<size_t>(code - min) * perCode;
    if (at + 1 >= syms.size() || perCode < 2) return 0;
    return shift && syms[at + 1] ? syms[at + 1] : syms[at];
  }
};

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 3;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  const uint32_t events[] = {XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 200, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_EVENT_MASK, events);
  xcb_map_window(c, window);
  xcb_flush(c);
  Keymap keymap;
  keymap.load(c);
  std::FILE* out = std::fopen(argv[1], "ab");
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_EXPOSE) {
      xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
      xcb_flush(c);
      std::printf("ready\n");
      std::fflush(stdout);
    } else if (type == XCB_BUTTON_PRESS) {
      std::fputs("[click]", out);
      std::fflush(out);
    } else if (type == XCB_MAPPING_NOTIFY) {
      keymap.load(c);
    } else if (type == XCB_KEY_PRESS) {
      auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      xcb_keysym_t sym = keymap.lookup(key->detail, key->state & XCB_MOD_MASK_SHIFT);
      uint32_t cp = 0;
      if (sym >= 0x01000100 && sym <= 0x0110FFFF) cp = sym - 0x01000000;
      if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) cp = sym;
      if (cp) {
        std::string text;
        appendUtf8(text, cp);
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
      }
    }
    std::free(event);
  }
  return 0;
}
