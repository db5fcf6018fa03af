// WaylandPasteboard through stand-ins for wl-paste and wl-copy (no Wayland
// compositor runs here): shell scripts on PATH that keep the clipboard in a
// folder, with the same command lines and output as wl-clipboard.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>

#include "app/platform/linux/WaylandPasteboard.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

// The clipboard: one file per type in $FAKE_CLIPBOARD/types, a line appended
// to $FAKE_CLIPBOARD/events on every change.
// A "/" in a type is "__" in its file name.
constexpr const char* kWlPaste = R"SH(#!/bin/sh
export LC_ALL=C
dir="$FAKE_CLIPBOARD"
case "$1" in
  --watch) exec tail -n +1 -F "$dir/events" 2>/dev/null ;;
  --list-types) ls "$dir/types" | sed 's#__#/#g' | grep . || exit 1 ;;
  --no-newline) cat "$dir/types/$(echo "$3" | sed 's#/#__#g')" ;;
esac
)SH";
constexpr const char* kWlCopy = R"SH(#!/bin/sh
dir="$FAKE_CLIPBOARD"
rm -f "$dir"/types/*
cat > "$dir/types/$(echo "$2" | sed 's#/#__#g')"
echo copied >> "$dir/events"
)SH";

class WaylandPasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("bin/wl-paste", kWlPaste);
    dir.write("bin/wl-copy", kWlCopy);
    dir.write("clipboard/events", "start\n");
    dir.mkdir("clipboard/types");
    ASSERT_EQ(::system(("chmod +x " + dir / "bin/wl-paste" + " " + dir / "bin/wl-copy").c_str()), 0);
    oldPath = ::getenv("PATH");
    ::setenv("PATH", (dir / "bin:" + oldPath).c_str(), 1);
    ::setenv("FAKE_CLIPBOARD", (dir / "clipboard").c_str(), 1);
  }
  void TearDown() override { ::setenv("PATH", oldPath.c_str(), 1); }
  // Another application copies: the type files, then the change event.
  void copy(const std::vector<std::pair<std::string, std::string>>& types) {
    ASSERT_EQ(::system(("rm -f " + dir / "clipboard/types/*").c_str()), 0);
    for (const auto& [type, data] : types) dir.write("clipboard/types/" + type, data);
    ASSERT_EQ(::system(("echo copy >> " + dir / "clipboard/events").c_str()), 0);
  }

  TempDir dir;
  std::string oldPath;
};

TEST_F(WaylandPasteboardTest, WatchesReadsEveryTypeAndRemembersItsOwnWrite) {
  auto board = WaylandPasteboard::create();
  ASSERT_TRUE(board.ok()) << board.error().description();
  std::atomic<int> notified{0};
  board.value()->setChangeObserver([&] { ++notified; });
  auto written = board.value()->writeItem(PasteboardItem{{{"text/html", "<b>x</b>"}, {kPlainTextUtf8Type, "x"}}});
  ASSERT_TRUE(written.ok()) << written.error().description();
  EXPECT_EQ(written.value(), 1);  // the counter the next poll will find
  EXPECT_EQ(board.value()->readString().value(), "x");

  copy({{"text__html", "<i>y</i>"}, {"UTF8_STRING", "y"}});
  ASSERT_TRUE(pollUntil([&] { return board.value()->changeCount() == 2 && notified == 2; }));
  auto item = board.value()->readItem().value();
  ASSERT_TRUE(item);
  ASSERT_EQ(item->representations.size(), 2u);
  EXPECT_EQ(item->representations[1], (PasteboardRepresentation{"text/html", "<i>y</i>"}));

  copy({{kPasswordManagerHintType, "secret"}, {"UTF8_STRING", "hunter2"}});
  ASSERT_TRUE(pollUntil([&] { return board.value()->changeCount() == 3; }));
  EXPECT_EQ(*board.value()->readItem().value(), (PasteboardItem{{{kPasswordManagerHintType, "secret"}}}));
  copy({});
  ASSERT_TRUE(pollUntil([&] { return board.value()->changeCount() == 4; }));
  EXPECT_FALSE(board.value()->readItem().value());
}

}  // namespace
}  // namespace pallix::testing
