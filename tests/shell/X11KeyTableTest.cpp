// The translation of stored shortcuts to X keysyms and modifiers and back.
#include <gtest/gtest.h>

#include "app/platform/linux/X11KeyTable.h"
#include "app/shell/KeyboardShortcut.h"

namespace pallix {
namespace {

TEST(X11KeyTableTest, DefaultShortcutsTranslateAndComeBack) {
  struct Row {
    HotKeyKind kind;
    uint32_t keysym;
    uint16_t x;
  };
  const Row rows[] = {
      {HotKeyKind::panel, ' ', x11::kMod1Mask},
      {HotKeyKind::clipboard, 'v', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::emoji, 'e', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::messages, 'm', x11::kShiftMask | x11::kMod4Mask},
      {HotKeyKind::files, ' ', x11::kShiftMask | x11::kMod1Mask},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(hotKeyName(r.kind));
    KeyboardShortcut s = defaultShortcut(r.kind);
    EXPECT_EQ(x11::keysymForKeyCode(s.keyCode), r.keysym);
    EXPECT_EQ(x11::xModifiersFor(s.modifierFlags), r.x);
    EXPECT_EQ(x11::modifierFlagsFor(r.x), s.modifierFlags);
    EXPECT_EQ(x11::keyCodeForKeysym(r.keysym), s.keyCode);
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

}  // namespace
}  // namespace pallix
