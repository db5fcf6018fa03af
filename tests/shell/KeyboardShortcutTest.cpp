// The stored form of shortcuts and the five defaults.
#include <gtest/gtest.h>

#include "app/shell/KeyboardShortcut.h"

namespace pallix {
namespace {

TEST(KeyboardShortcutTest, DefaultsAndStorageKeys) {
  struct Row {
    HotKeyKind kind;
    const char* key;
    uint16_t code;
    uint32_t flags;
    const char* display;
  };
  const Row rows[] = {
      {HotKeyKind::panel, "KeyboardShortcut", 49, 0x80000, "Space"},
      {HotKeyKind::clipboard, "ClipboardShortcut", 9, 0x120000, "V"},
      {HotKeyKind::emoji, "EmojiShortcut", 14, 0x120000, "E"},
      {HotKeyKind::messages, "MessagesShortcut", 46, 0x120000, "M"},
      {HotKeyKind::files, "FilesShortcut", 49, 0xa0000, "Space"},
  };
  UserDefaults defaults;
  KeyboardShortcutStore store(defaults);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    EXPECT_STREQ(shortcutStorageKey(r.kind), r.key);
    EXPECT_EQ(store.load(r.kind), (KeyboardShortcut{r.code, r.flags, r.display}));
    EXPECT_FALSE(store.hasStored(r.kind));
  }
}

TEST(KeyboardShortcutTest, RoundTripsThroughTheDefaultsAndRejectsBadDictionaries) {
  UserDefaults defaults;
  KeyboardShortcutStore store(defaults);
  KeyboardShortcut s{40, modifier::kControl | modifier::kOption, "K"};
  ASSERT_TRUE(store.save(HotKeyKind::emoji, s).ok());
  EXPECT_EQ(*defaults.dictionaryValue("EmojiShortcut"),
            (nlohmann::json{{"keyCode", 40}, {"modifierFlags", 0xc0000}, {"keyDisplay", "K"}}));
  EXPECT_EQ(store.load(HotKeyKind::emoji), s);

  for (const char* bad : {R"({"keyCode": 40})", R"({"keyCode": -1, "modifierFlags": 0, "keyDisplay": "K"})",
                          R"({"keyCode": 70000, "modifierFlags": 0, "keyDisplay": "K"})",
                          R"({"keyCode": 1, "modifierFlags": "x", "keyDisplay": "K"})", R"([1, 2])"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(KeyboardShortcut::fromUserDefaultsDictionary(nlohmann::json::parse(bad)).has_value());
    ASSERT_TRUE(defaults.setRaw("EmojiShortcut", nlohmann::json::parse(bad)).ok());
    EXPECT_EQ(store.load(HotKeyKind::emoji), defaultShortcut(HotKeyKind::emoji));
  }
}

TEST(KeyboardShortcutTest, DisplayAndModifierRule) {
  EXPECT_EQ(KeyboardShortcut::displayForKey(49, " "), "Space");
  EXPECT_EQ(KeyboardShortcut::displayForKey(9, "v"), "V");
  EXPECT_EQ(KeyboardShortcut::displayForKey(122, ""), "Key 122");
  EXPECT_EQ(defaultShortcut(HotKeyKind::clipboard).displayString(), "⇧⌘V");
  EXPECT_FALSE(validateRecordedShortcut({9, 0, "V"}).ok());
  EXPECT_EQ(validateRecordedShortcut({9, 0, "V"}).error().description(),
            "Shortcuts must include at least one modifier (⌘, ⌥, ⌃, ⇧).");
  EXPECT_TRUE(validateRecordedShortcut({9, modifier::kControl, "V"}).ok());
  EXPECT_EQ(HotKeyConfigurationError::describe(-9878), "That shortcut is already in use. Try a different combination.");
  EXPECT_EQ(HotKeyConfigurationError::describe(-50), "Unable to register the shortcut (error -50).");
}

}  // namespace
}  // namespace pallix
