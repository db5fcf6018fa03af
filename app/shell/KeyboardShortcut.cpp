#include "app/shell/KeyboardShortcut.h"

#include <cctype>

namespace pallix {
namespace {

constexpr uint16_t kSpaceKeyCode = 49;

struct HotKeyRow {
  const char* name;
  const char* storageKey;
  KeyboardShortcut shortcut;
};

const HotKeyRow& row(HotKeyKind kind) {
  static const std::array<HotKeyRow, 5> rows = {{
      {"panel", "KeyboardShortcut", {kSpaceKeyCode, modifier::kOption, "Space"}},
      {"clipboard", "ClipboardShortcut", {9, modifier::kShift | modifier::kCommand, "V"}},
      {"emoji", "EmojiShortcut", {14, modifier::kShift | modifier::kCommand, "E"}},
      {"messages", "MessagesShortcut", {46, modifier::kShift | modifier::kCommand, "M"}},
      {"files", "FilesShortcut", {kSpaceKeyCode, modifier::kShift | modifier::kOption, "Space"}},
  }};
  return rows[static_cast<size_t>(kind) - 1];
}

}  // namespace

nlohmann::json KeyboardShortcut::dictionaryRepresentation() const {
  return {{"keyCode", keyCode}, {"modifierFlags", modifierFlags}, {"keyDisplay", keyDisplay}};
}

std::optional<KeyboardShortcut> KeyboardShortcut::fromUserDefaultsDictionary(const nlohmann::json& dict) {
  if (!dict.is_object()) return std::nullopt;
  auto code = dict.find("keyCode");
  auto flags = dict.find("modifierFlags");
  auto display = dict.find("keyDisplay");
  if (code == dict.end() || flags == dict.end() || display == dict.end()) return std::nullopt;
  if (!code->is_number_unsigned() || !flags->is_number_unsigned() || !display->is_string()) return std::nullopt;
  uint64_t rawCode = code->get<uint64_t>();
  uint64_t rawFlags = flags->get<uint64_t>();
  if (rawCode > UINT16_MAX || rawFlags > UINT32_MAX) return std::nullopt;
  return KeyboardShortcut{static_cast<uint16_t>(rawCode), static_cast<uint32_t>(rawFlags), display->get<std::string>()};
}

std::string KeyboardShortcut::displayForKey(uint16_t keyCode, const std::string& printable) {
  if (keyCode == kSpaceKeyCode) return "Space";
  if (printable.size() == 1 && std::isgraph(static_cast<unsigned char>(printable[0]))) {
    return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(printable[0]))));
  }
  if (!printable.empty() && static_cast<unsigned char>(printable[0]) >= 0x80) return printable;
  return "Key " + std::to_string(keyCode);
}

std::string KeyboardShortcut::displayString() const {
  std::string out;
  if (modifierFlags & modifier::kControl) out += "Ctrl+";
  if (modifierFlags & modifier::kOption) out += "Alt+";
  if (modifierFlags & modifier::kShift) out += "Shift+";
  if (modifierFlags & modifier::kCommand) out += "Super+";
  return out + keyDisplay;
}

const char* hotKeyName(HotKeyKind kind) {
  return row(kind).name;
}
const char* shortcutStorageKey(HotKeyKind kind) {
  return row(kind).storageKey;
}
KeyboardShortcut defaultShortcut(HotKeyKind kind) {
  return row(kind).shortcut;
}

std::string HotKeyConfigurationError::describe(int status) {
  if (status == kHotKeyExistsStatus) return "That shortcut is already in use. Try a different combination.";
  return "Unable to register the shortcut (error " + std::to_string(status) + ").";
}

Error HotKeyConfigurationError::registrationFailed(int status) {
  return Error("HotKeyConfigurationError", status, describe(status));
}

Status validateRecordedShortcut(const KeyboardShortcut& shortcut) {
  if (shortcut.hasModifier()) return {};
  return Error::make("Shortcuts must include at least one modifier (Ctrl, Alt, Shift or Super).");
}

KeyboardShortcut KeyboardShortcutStore::load(HotKeyKind kind) const {
  if (auto dict = defaults_.dictionaryValue(shortcutStorageKey(kind))) {
    if (auto stored = KeyboardShortcut::fromUserDefaultsDictionary(*dict)) return *stored;
  }
  return defaultShortcut(kind);
}

bool KeyboardShortcutStore::hasStored(HotKeyKind kind) const {
  return defaults_.contains(shortcutStorageKey(kind));
}

Status KeyboardShortcutStore::save(HotKeyKind kind, const KeyboardShortcut& shortcut) {
  return defaults_.setDictionary(shortcutStorageKey(kind), shortcut.dictionaryRepresentation());
}

}  // namespace pallix
