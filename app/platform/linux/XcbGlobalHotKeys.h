// XcbGlobalHotKeys: global hot keys on an X11 display, grabbed on the root
// window with xcb (each combination also with NumLock, CapsLock and both, so
// the lock keys do not defeat it). A grab another client already holds
// fails with BadAccess, reported as GlobalHotKeys::kStatusAlreadyExists;
// other X errors as the negated X error code; a key the table cannot
// translate or the display does not have as -50.
//
// Threading: register and unregister on any one thread (the main thread);
// a thread of its own reads the connection's events and calls the press
// handler there.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/platform/GlobalHotKeys.h"
#include "core/Error.h"

namespace pallix {

class XcbGlobalHotKeys final : public GlobalHotKeys {
 public:
  static constexpr int kStatusUnknownKey = -50;
  static constexpr int kStatusNoDisplay = -1;

  // Connects to `display` (empty: $DISPLAY). Fails without an X server.
  static Result<std::unique_ptr<XcbGlobalHotKeys>> connect(const std::string& display = "");
  ~XcbGlobalHotKeys() override;

  int installHandler(PressHandler handler) override;
  int registerHotKey(uint32_t signature, uint32_t id, uint16_t keyCode, uint32_t modifierFlags) override;
  void unregisterHotKey(uint32_t signature, uint32_t id) override;

 private:
  struct Grab {
    uint32_t signature;
    uint32_t id;
    xcb_keycode_t keycode;
    uint16_t modifiers;
  };
  XcbGlobalHotKeys(xcb_connection_t* connection, xcb_window_t root);
  std::vector<xcb_keycode_t> keycodesFor(uint32_t keysym);
  uint16_t numLockMask();
  void ungrab(const Grab& grab);
  void readEvents();
  // A reply another thread waits for on the connection also reads the events
  // sent before it off the socket into xcb's queue, where the reader's poll()
  // never sees them: every such call ends by waking the reader to look there.
  void wakeReader();

  xcb_connection_t* connection_;
  xcb_window_t root_;
  uint16_t numLock_ = 0;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  PressHandler handler_;
  std::map<uint64_t, Grab> grabs_;  // by signature << 32 | id
  std::thread reader_;
};

}  // namespace pallix
