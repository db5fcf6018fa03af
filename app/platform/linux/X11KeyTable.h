// X11KeyTable: translates the stored form of shortcuts (the virtual key codes
// and modifier mask of KeyboardShortcut) to X keysyms and modifier masks, and
// back for shortcuts recorded from X key events. Option is Alt (Mod1),
// Command is Super (Mod4), Control and Shift are themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pallix::x11 {

// The X modifier bits (xcb_mod_mask_t).
inline constexpr uint16_t kShiftMask = 1 << 0;
inline constexpr uint16_t kLockMask = 1 << 1;
inline constexpr uint16_t kControlMask = 1 << 2;
inline constexpr uint16_t kMod1Mask = 1 << 3;
inline constexpr uint16_t kMod2Mask = 1 << 4;
inline constexpr uint16_t kMod4Mask = 1 << 6;

std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode);
// Letters are matched case-insensitively.
std::optional<uint16_t> keyCodeForKeysym(uint32_t keysym);
uint16_t xModifiersFor(uint32_t modifierFlags);
uint32_t modifierFlagsFor(uint16_t xModifiers);
// What a recorded key is shown as ("Space", "V", "F5", "Key 122").
std::string keyDisplayFor(uint16_t keyCode);

}  // namespace pallix::x11
