// Keyboard shortcuts: the five defaults with their storage keys and X11 form,
// the stored dictionary, the display and modifier rule, and the translation to
// X keysyms and modifiers and back.
#include <gtest/gtest.h>

#include "app/platform/linux/X11KeyTable.h"
#include "app/shell/KeyboardShortcut.h"

namespace pallix {
namespace {

// Each kind starts unstored at its default, which translates to X11 and comes back.
TEST(X11KeyTableTest, DefaultShortcutsHaveTheirStorageKeysTranslateAndComeBack) {
  struct Row {
    HotKeyKind kind;
    const char* key;
    uint32_t keysym;
    uint16_t x;
  };
  const Row rows[] = {
      {HotKeyKind::panel, "KeyboardShortcut", ' ', x11::kMod1Mask},
      {HotKeyKind::clipboard, "ClipboardShortcut", 'v', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::emoji, "EmojiShortcut", 'e', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::messages, "MessagesShortcut", 'm', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::files, "FilesShortcut", ' ', x11::kShiftMask | x11::kMod1Mask},
  };
  UserDefaults defaults;
  KeyboardShortcutStore store(defaults);
  for (const Row& r : rows) {
    SCOPED_TRACE(hotKeyName(r.kind));
    KeyboardShortcut s = defaultShortcut(r.kind);
    EXPECT_STREQ(shortcutStorageKey(r.kind), r.key);
    EXPECT_EQ(store.load(r.kind), s);
    EXPECT_FALSE(store.hasStored(r.kind));
    EXPECT_EQ(x11::keysymForKeyCode(s.keyCode), r.keysym);
    EXPECT_EQ(x11::xModifiersFor(s.modifierFlags), r.x);
    EXPECT_EQ(x11::modifierFlagsFor(r.x), s.modifierFlags);
    EXPECT_EQ(x11::keyDisplayFor(s.keyCode), s.keyDisplay);
  }
}

TEST(X11KeyTableTest, EveryKeyCodeRoundTripsAndLockModifiersAreDropped) {
  int known = 0;
  for (uint16_t code = 0; code < 128; ++code) {
    auto sym = x11::keysymForKeyCode(code);
    if (!sym) continue;
    ++known;
    EXPECT_EQ(x11::keyCodeForKeysym(*sym), code) << code;
  }
  EXPECT_GT(known, 60);
  EXPECT_EQ(x11::keyCodeForKeysym('V'), x11::keyCodeForKeysym('v'));
  EXPECT_EQ(x11::modifierFlagsFor(x11::kLockMask | x11::kMod2Mask), 0u);
  EXPECT_EQ(x11::keyDisplayFor(127), "Key 127");
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
  EXPECT_EQ(defaultShortcut(HotKeyKind::clipboard).displayString(), "Shift+Super+V");
  EXPECT_EQ(defaultShortcut(HotKeyKind::panel).displayString(), "Alt+Space");
  EXPECT_FALSE(validateRecordedShortcut({9, 0, "V"}).ok());
  EXPECT_EQ(validateRecordedShortcut({9, 0, "V"}).error().description(),
            "Shortcuts must include at least one modifier (Ctrl, Alt, Shift or Super).");
  EXPECT_TRUE(validateRecordedShortcut({9, modifier::kControl, "V"}).ok());
  EXPECT_EQ(HotKeyConfigurationError::describe(-50), "Unable to register the shortcut (error -50).");
}

}  // namespace
}  // namespace pallix
