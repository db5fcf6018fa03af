// How records are named in human output.
#include <gtest/gtest.h>

#include "cli/Display.h"

namespace pallix::cli {
namespace {

IndexedItem record(const std::string& type, const std::string& path, const std::string& name) {
  return {.path = path, .itemTypeRaw = type, .name = name};
}

TEST(DisplayTest, NamesKeepTheRealLastComponent) {
  struct Case {
    IndexedItem item;
    std::string shown;
  };
  const Case cases[] = {
      {record("file", "/usr/share/doc/README.Debian.gz", "README.Debian"), "README.Debian.gz"},
      {record("folder", "/home/u/Projects.old/", "Projects"), "Projects.old"},
      {record("file", "/home/u/.bashrc", ""), ".bashrc"},
      {record("app", "/usr/share/applications/org.gnome.Calculator.desktop", "Calculator"), "Calculator"},
  };
  for (const Case& c : cases) EXPECT_EQ(displayName(c.item), c.shown) << c.item.path;
}

TEST(DisplayTest, SharedNamesGetTheirDistinguishingFolders) {
  const std::vector<IndexedItem> shown = {
      record("file", "/h/work/a/notes.txt", "notes"),
      record("file", "/h/work/b/notes.txt", "notes"),
      record("file", "/h/work/b/todo.txt", "todo"),
      record("app", "/usr/share/applications/firefox.desktop", "Firefox"),
      record("app", "/usr/share/applications/firefox-esr.desktop", "Firefox"),
  };
  EXPECT_EQ(displayNames(shown),
            (std::vector<std::string>{"notes.txt (a)", "notes.txt (b)", "todo.txt", "Firefox (firefox.desktop)",
                                      "Firefox (firefox-esr.desktop)"}));
}

TEST(DisplayTest, ColumnsAreEscapedAndPaddedByWidth) {
  EXPECT_EQ(printable("a\x1b[2Jb"), "a\\e[2Jb");
  EXPECT_EQ(printableColumn("日本\n", 8), "日本\\n  ");
}

}  // namespace
}  // namespace pallix::cli
