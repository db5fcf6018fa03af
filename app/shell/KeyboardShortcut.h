// KeyboardShortcut: one global key combination in its stored form (a
// virtual key code, a device-independent modifier mask and the text shown
// for the key), and KeyboardShortcutStore, which keeps the five shortcuts in
// the user defaults. Values only; the store runs on the main runner.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/Error.h"
#include "core/UserDefaults.h"

namespace pallix {

// The modifier bits of `KeyboardShortcut::modifierFlags`.
namespace modifier {
inline constexpr uint32_t kShift = 0x20000;
inline constexpr uint32_t kControl = 0x40000;
inline constexpr uint32_t kOption = 0x80000;
inline constexpr uint32_t kCommand = 0x100000;
inline constexpr uint32_t kAll = kShift | kControl | kOption | kCommand;
}  // namespace modifier

struct KeyboardShortcut {
  uint16_t keyCode = 0;
  uint32_t modifierFlags = 0;
  std::string keyDisplay;

  nlohmann::json dictionaryRepresentation() const;
  // Nullopt when `dict` lacks a key or holds one of the wrong type or range.
  static std::optional<KeyboardShortcut> fromUserDefaultsDictionary(const nlohmann::json& dict);
  // "Space", a printable key's capital, or "Key " and the code.
  static std::string displayForKey(uint16_t keyCode, const std::string& printable);
  bool hasModifier() const { return (modifierFlags & modifier::kAll) != 0; }
  // The modifier symbols in the platform's order, then the key ("⇧⌘V").
  std::string displayString() const;

  friend bool operator==(const KeyboardShortcut&, const KeyboardShortcut&) = default;
};

// The five hot keys; the values are their hot-key ids.
enum class HotKeyKind : uint32_t { panel = 1, clipboard = 2, emoji = 3, messages = 4, files = 5 };
inline constexpr std::array<HotKeyKind, 5> kAllHotKeyKinds = {
    HotKeyKind::panel, HotKeyKind::clipboard, HotKeyKind::emoji, HotKeyKind::messages, HotKeyKind::files};
// 'PLXR', the signature every hot key of the application carries.
inline constexpr uint32_t kHotKeySignature = 0x504C5852;

const char* hotKeyName(HotKeyKind kind);  // "panel", "clipboard", ...
const char* shortcutStorageKey(HotKeyKind kind);
KeyboardShortcut defaultShortcut(HotKeyKind kind);

// A hot key the system refused. `status` is the platform's code; -9878
// means another client already holds the combination.
struct HotKeyConfigurationError {
  static constexpr int kHotKeyExistsStatus = -9878;
  static Error registrationFailed(int status);
  static std::string describe(int status);
};

// "Shortcuts must include at least one modifier (⌘, ⌥, ⌃, ⇧)." for a recorded
// shortcut without one.
Status validateRecordedShortcut(const KeyboardShortcut& shortcut);

class KeyboardShortcutStore {
 public:
  explicit KeyboardShortcutStore(UserDefaults& defaults) : defaults_(defaults) {}
  // The stored shortcut, or the default when none (or an unreadable one) is stored.
  KeyboardShortcut load(HotKeyKind kind) const;
  bool hasStored(HotKeyKind kind) const;
  Status save(HotKeyKind kind, const KeyboardShortcut& shortcut);

 private:
  UserDefaults& defaults_;
};

}  // namespace pallix
