#include "app/platform/linux/XcbGlobalHotKeys.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "app/platform/linux/X11KeyTable.h"

namespace pallix {
namespace {

constexpr uint8_t kBadAccess = 10;
constexpr uint32_t kNumLockKeysym = 0xff7f;

uint64_t grabKey(uint32_t signature, uint32_t id) {
  return (static_cast<uint64_t>(signature) << 32) | id;
}

}  // namespace

Result<std::unique_ptr<XcbGlobalHotKeys>> XcbGlobalHotKeys::connect(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (!c || xcb_connection_has_error(c)) {
    if (c) xcb_disconnect(c);
    const char* shown = display.empty() ? std::getenv("DISPLAY") : display.c_str();
    return Error::make(std::string("cannot connect to the X display \"") + (shown ? shown : "") + "\"");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  return std::unique_ptr<XcbGlobalHotKeys>(new XcbGlobalHotKeys(c, it.data->root));
}

XcbGlobalHotKeys::XcbGlobalHotKeys(xcb_connection_t* connection, xcb_window_t root)
    : connection_(connection), root_(root) {
  numLock_ = numLockMask();
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) == 0) reader_ = std::thread([this] { readEvents(); });
}

XcbGlobalHotKeys::~XcbGlobalHotKeys() {
  if (reader_.joinable()) {
    stopping_ = true;
    wakeReader();
    reader_.join();
  }
  for (int fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
  }
  xcb_disconnect(connection_);
}

uint16_t XcbGlobalHotKeys::numLockMask() {
  std::vector<xcb_keycode_t> numLock = keycodesFor(kNumLockKeysym);
  auto* reply = xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
  if (!reply) return x11::kMod2Mask;
  uint16_t mask = 0;
  const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
  for (int modifierIndex = 0; modifierIndex < 8 && !mask; ++modifierIndex) {
    for (int k = 0; k < reply->keycodes_per_modifier; ++k) {
      xcb_keycode_t code = codes[modifierIndex * reply->keycodes_per_modifier + k];
      for (xcb_keycode_t n : numLock) {
        if (code && code == n) mask = static_cast<uint16_t>(1 << modifierIndex);
      }
    }
  }
  std::free(reply);
  return mask ? mask : x11::kMod2Mask;
}

std::vector<xcb_keycode_t> XcbGlobalHotKeys::keycodesFor(uint32_t keysym) {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  const xcb_keycode_t first = setup->min_keycode;
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  auto* reply =
      xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, first, count), nullptr);
  std::vector<xcb_keycode_t> out;
  if (!reply) return out;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
  const int per = reply->keysyms_per_keycode;
  for (int k = 0; k < count; ++k) {
    // Only the unshifted and shifted levels of the first group name a key.
    for (int level = 0; level < per && level < 2; ++level) {
      if (syms[k * per + level] == keysym) {
        out.push_back(static_cast<xcb_keycode_t>(first + k));
        break;
      }
    }
  }
  std::free(reply);
  return out;
}

int XcbGlobalHotKeys::installHandler(PressHandler handler) {
  if (!reader_.joinable()) return kStatusNoDisplay;
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
  return kStatusOK;
}

int XcbGlobalHotKeys::registerHotKey(uint32_t signature, uint32_t id, uint16_t keyCode, uint32_t modifierFlags) {
  struct WakeAtEnd {
    XcbGlobalHotKeys* self;
    ~WakeAtEnd() { self->wakeReader(); }
  } wake{this};
  unregisterHotKey(signature, id);
  auto keysym = x11::keysymForKeyCode(keyCode);
  if (!keysym) return kStatusUnknownKey;
  std::vector<xcb_keycode_t> keycodes = keycodesFor(*keysym);
  if (keycodes.empty()) return kStatusUnknownKey;
  const uint16_t modifiers = x11::xModifiersFor(modifierFlags);
  const uint16_t variants[] = {0, x11::kLockMask, numLock_, static_cast<uint16_t>(x11::kLockMask | numLock_)};
  Grab grab{signature, id, keycodes.front(), modifiers};
  int status = kStatusOK;
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t extra : variants) {
    cookies.push_back(xcb_grab_key_checked(connection_, 1, root_, static_cast<uint16_t>(modifiers | extra),
                                           grab.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  }
  for (xcb_void_cookie_t cookie : cookies) {
    if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
      if (status == kStatusOK) status = error->error_code == kBadAccess ? kStatusAlreadyExists : -error->error_code;
      std::free(error);
    }
  }
  if (status != kStatusOK) {
    // Releases the variants that were granted; the ones another client holds are not ours to release.
    ungrab(grab);
    return status;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  grabs_[grabKey(signature, id)] = grab;
  return kStatusOK;
}

void XcbGlobalHotKeys::ungrab(const Grab& grab) {
  const uint16_t variants[] = {0, x11::kLockMask, numLock_, static_cast<uint16_t>(x11::kLockMask | numLock_)};
  for (uint16_t extra : variants) {
    xcb_ungrab_key(connection_, grab.keycode, root_, static_cast<uint16_t>(grab.modifiers | extra));
  }
  // A round trip rather than a flush: once it returns the server has released the keys, so another
  // client (or this one on another connection) grabbing them next is not refused by a stale grab.
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  wakeReader();
}

void XcbGlobalHotKeys::wakeReader() {
  const char byte = 0;
  ssize_t written = ::write(wakePipe_[1], &byte, 1);
  (void)written;  // a full pipe already wakes it
}

void XcbGlobalHotKeys::unregisterHotKey(uint32_t signature, uint32_t id) {
  Grab grab{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = grabs_.find(grabKey(signature, id));
    if (it == grabs_.end()) return;
    grab = it->second;
    grabs_.erase(it);
  }
  ungrab(grab);
}

void XcbGlobalHotKeys::readEvents() {
  pollfd fds[2] = {{xcb_get_file_descriptor(connection_), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
  const uint16_t ignored = static_cast<uint16_t>(x11::kLockMask | numLock_);
  for (;;) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      if ((event->response_type & 0x7f) == XCB_KEY_PRESS) {
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        const uint16_t state = static_cast<uint16_t>(press->state & ~ignored & 0xff);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, grab] : grabs_) {
          if (grab.keycode == press->detail && grab.modifiers == state && handler_) {
            handler_(grab.signature, grab.id);
            break;
          }
        }
      }
      std::free(event);
    }
    if (xcb_connection_has_error(connection_)) return;
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents) {
      char drained[64];
      while (::read(wakePipe_[0], drained, sizeof drained) > 0) {
      }
      if (stopping_) return;
    }
  }
}

}  // namespace pallix
