// Key presses for the desktop benchmarks, sent through XTest as a user's
// keyboard would send them.
#pragma once

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <initializer_list>
#include <iterator>

namespace pallix::bench {

// The keycode that types `sym` unshifted; 0 when no key does.
inline xcb_keycode_t keycodeFor(xcb_connection_t* c, xcb_keysym_t sym) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  auto* r = xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr);
  if (!r) return 0;
  xcb_keycode_t out = 0;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r);
  for (int k = 0; k < count && !out; ++k) {
    if (syms[k * r->keysyms_per_keycode] == sym) out = static_cast<xcb_keycode_t>(setup->min_keycode + k);
  }
  std::free(r);
  return out;
}

// Presses `codes` in order and releases them in reverse (modifiers first).
inline void pressChord(xcb_connection_t* c, xcb_window_t root, std::initializer_list<xcb_keycode_t> codes) {
  for (auto k : codes) xcb_test_fake_input(c, XCB_KEY_PRESS, k, XCB_CURRENT_TIME, root, 0, 0, 0);
  for (auto it = std::rbegin(codes); it != std::rend(codes); ++it) {
    xcb_test_fake_input(c, XCB_KEY_RELEASE, *it, XCB_CURRENT_TIME, root, 0, 0, 0);
  }
  xcb_flush(c);
}

}  // namespace pallix::bench
