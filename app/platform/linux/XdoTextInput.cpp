#include "app/platform/linux/XdoTextInput.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "app/platform/linux/ChildProcess.h"

extern "C" {
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xdo.h>
}
// Xlib's macros would shadow the names of Pallix.
#undef Status
#undef Bool

#if defined(__SANITIZE_ADDRESS__)
// libxdo and libX11 keep a few allocations (keyboard maps, keysym names)
// that they never free, and libdbus the buffers of its shared bus connection
// (nothing calls dbus_shutdown); they are theirs, not leaks of Pallix. One
// list for every executable: the platform library defines it once.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libxdo.so\nleak:libX11.so\nleak:libdbus-1.so\n";
}
#endif

namespace pallix {

XdoTextInput::XdoTextInput(std::string display, unsigned keyDelayMicroseconds)
    : display_(std::move(display)), delay_(keyDelayMicroseconds) {}

XdoTextInput::~XdoTextInput() {
  if (xdo_) xdo_free(static_cast<xdo_t*>(xdo_));
}

bool XdoTextInput::openLocked() {
  if (permitted_) return *permitted_;
  const char* name = display_.empty() ? std::getenv("DISPLAY") : display_.c_str();
  if (!name || !*name) return *(permitted_ = false);
  xdo_t* xdo = xdo_new(name);
  if (!xdo) return *(permitted_ = false);
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(xdo->xdpy, "XTEST", &opcode, &event, &error)) {
    xdo_free(xdo);
    return *(permitted_ = false);
  }
  xdo_ = xdo;
  return *(permitted_ = true);
}

bool XdoTextInput::isPermitted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openLocked();
}

namespace {

std::vector<char32_t> decodeUtf8(const std::string& text) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return {};
    char32_t cp = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(cp);
    i += length;
  }
  return out;
}

KeySym keysymFor(char32_t cp) {
  if (cp == '\n') return XK_Return;
  if (cp == '\t') return XK_Tab;
  if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return cp;
  return 0x01000000 + cp;
}

}  // namespace

// Every scalar of the text is bound to a keycode of its own among the
// unused ones, all before the first key is sent, and the bindings stay until
// the receiver has had time to translate the keys: a receiver never sees a
// keycode whose meaning moved on to the next scalar.
pallix::Status XdoTextInput::typeText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked()) return Error(kErrorDomain, 1, "No X display with the XTEST extension to type into");
  const std::vector<char32_t> scalars = decodeUtf8(text);
  if (scalars.empty() && !text.empty()) return Error(kErrorDomain, 4, "The text to type is not UTF-8");
  auto* xdo = static_cast<xdo_t*>(xdo_);
  Display* display = xdo->xdpy;
  int minCode = 0, maxCode = 0, perCode = 0;
  XDisplayKeycodes(display, &minCode, &maxCode);
  KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
  std::vector<KeyCode> spare;
  for (int code = minCode; code <= maxCode; ++code) {
    bool unused = true;
    for (int k = 0; k < perCode; ++k) unused = unused && map[(code - minCode) * perCode + k] == NoSymbol;
    if (unused) spare.push_back(static_cast<KeyCode>(code));
  }
  XFree(map);
  if (spare.empty()) return Error(kErrorDomain, 5, "The keyboard map has no free keycode to type with");

  for (size_t begin = 0; begin < scalars.size();) {
    // One batch: as many distinct scalars as there are free keycodes.
    std::vector<std::pair<char32_t, KeyCode>> bound;
    std::vector<charcodemap_t> keys;
    size_t end = begin;
    for (; end < scalars.size(); ++end) {
      auto it = std::find_if(bound.begin(), bound.end(), [&](const auto& b) { return b.first == scalars[end]; });
      if (it == bound.end()) {
        if (bound.size() == spare.size()) break;
        KeySym sym[2] = {keysymFor(scalars[end]), keysymFor(scalars[end])};
        XChangeKeyboardMapping(display, spare[bound.size()], 2, sym, 1);
        bound.emplace_back(scalars[end], spare[bound.size()]);
        it = bound.end() - 1;
      }
      charcodemap_t key{};
      key.key = static_cast<wchar_t>(scalars[end]);
      key.code = it->second;
      key.symbol = keysymFor(scalars[end]);
      keys.push_back(key);
    }
    XSync(display, False);
    int sent = 0;
    for (charcodemap_t& key : keys) {
      sent |= xdo_send_keysequence_window_list_do(xdo, CURRENTWINDOW, &key, 1, 1, nullptr, 0);
      sent |= xdo_send_keysequence_window_list_do(xdo, CURRENTWINDOW, &key, 1, 0, nullptr, delay_);
    }
    XSync(display, False);
    ::poll(nullptr, 0, 150);  // the receiver's grace period before the keycodes are freed
    for (const auto& [scalar, code] : bound) {
      KeySym none[2] = {NoSymbol, NoSymbol};
      XChangeKeyboardMapping(display, code, 2, none, 1);
    }
    XSync(display, False);
    if (sent != 0) return Error(kErrorDomain, 2, "libxdo could not post the key events");
    begin = end;
  }
  return okStatus();
}

bool WtypeTextInput::isPermitted() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland && !findInPath("wtype").empty();
}

pallix::Status WtypeTextInput::typeText(const std::string& text) {
  auto typed = ChildProcess::run({"wtype", "--", text}, "", std::chrono::seconds(5));
  if (!typed.ok()) return Error(kErrorDomain, 3, "wtype could not type: " + typed.error().description());
  return okStatus();
}

}  // namespace pallix
