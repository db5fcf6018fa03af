// The stored form of shortcuts and the five defaults.
#include <gtest/gtest.h>

#include "app/shell/KeyboardShortcut.h"

namespace pallix {
namespace {

// The default shortcuts themselves are pinned by their X11 translation.
TEST(KeyboardShortcutTest, EachKindHasItsStorageKeyAndStartsUnstoredAtItsDefault) {
  const std::pair<HotKeyKind, const char*> keys[] = {{HotKeyKind::panel, "KeyboardShortcut"},
                                                     {HotKeyKind::clipboard, "ClipboardShortcut"},
                                                     {HotKeyKind::emoji, "EmojiShortcut"},
                                                     {HotKeyKind::messages, "MessagesShortcut"},
                                                     {HotKeyKind::files, "FilesShortcut"}};
  UserDefaults defaults;
  KeyboardShortcutStore store(defaults);
  for (const auto& [kind, key] : keys) {
    EXPECT_STREQ(shortcutStorageKey(kind), key);
    EXPECT_EQ(store.load(kind), defaultShortcut(kind)) << key;
    EXPECT_FALSE(store.hasStored(kind)) << key;
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
