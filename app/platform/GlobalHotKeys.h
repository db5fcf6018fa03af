// GlobalHotKeys: system-wide key combinations that reach the application
// whichever window has the keyboard. Combinations are given in the stored
// form of KeyboardShortcut (virtual key code and modifier mask); the
// implementation translates them for its display server.
//
// Statuses are the platform's integers: 0 on success, -9878 when another
// client already holds the combination, anything else for other failures.
// Implementations: XcbGlobalHotKeys (linux/) and FakeGlobalHotKeys.
#pragma once

#include <cstdint>
#include <functional>

namespace pallix {

class GlobalHotKeys {
 public:
  static constexpr int kStatusOK = 0;
  static constexpr int kStatusAlreadyExists = -9878;

  // Called with the signature and id of a pressed hot key, on whichever
  // thread the implementation reads events; it must only schedule work.
  using PressHandler = std::function<void(uint32_t signature, uint32_t id)>;

  virtual ~GlobalHotKeys() = default;
  virtual int installHandler(PressHandler handler) = 0;
  virtual int registerHotKey(uint32_t signature, uint32_t id, uint16_t keyCode, uint32_t modifierFlags) = 0;
  virtual void unregisterHotKey(uint32_t signature, uint32_t id) = 0;
};

}  // namespace pallix
