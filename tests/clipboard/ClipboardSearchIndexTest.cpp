#include <gtest/gtest.h>

#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ClipboardSearchIndex.h"
#include "app/platform/DesktopApplicationResolver.h"
#include "testing/VirtualTime.h"
#include "tests/clipboard/ClipboardTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

std::vector<ClipboardItem> historyOf(int count) {
  std::vector<ClipboardItem> items;
  for (int i = 0; i < count; ++i) {
    ClipboardItem item;
    item.id = i + 1;
    item.updatePrimaryText("Note " + std::to_string(i) + (i % 2 ? " ÉVEN" : " odd"));
    item.sourceAppName = i == 5 ? std::optional<std::string>("Firefox") : std::nullopt;
    items.push_back(item);
  }
  return items;
}

// Priming indexes three items at once and the rest in the background; a
// filter builds what priming has not yet.
TEST(ClipboardSearchIndexTest, PrimingAndFilterMatchLowercasedTextNewestFirstUpToTwentyFive) {
  VirtualTimeEnvironment env;
  ClipboardSearchIndex index(env.mainRunner(), env.makeRunner("background"));
  index.updateHistory(historyOf(40));
  index.prime();
  EXPECT_EQ(index.coverageCount(), 3u);
  env.runUntilIdle();
  EXPECT_EQ(index.coverageCount(), 40u);
  // A background build overtaken by a newer generation is dropped.
  index.prime();
  index.clear();
  env.runUntilIdle();
  EXPECT_EQ(index.coverageCount(), 0u);
  index.updateHistory(historyOf(100));
  struct Case {
    std::string query;
    size_t count;
    int64_t firstID;
  };
  const Case cases[] = {{"", 25, 1},       {"  ", 25, 1},     {"ÉvEn", 25, 2},
                        {"NOTE 7", 11, 8}, {"firefox", 1, 6}, {"none", 0, 0}};
  for (const Case& c : cases) {
    auto matches = index.filter(c.query);
    ASSERT_EQ(matches.size(), c.count) << c.query;
    if (c.count) {
      EXPECT_EQ(matches[0]->id, c.firstID) << c.query;
    }
  }
  EXPECT_EQ(index.coverageCount(), 100u);
}

// The user's Hidden entry deletes the system one of the same ID: the window
// keeps its class name rather than the deleted application's.
TEST(DesktopApplicationResolverTest, EntriesComeFromTheApplicationFoldersAndHiddenOnesMaskTheirID) {
  testing::TempDir tmp;
  DataDirectories dirs = DataDirectories::forHome(tmp.path());
  dirs.systemDataDirs = {tmp / "system"};
  const std::string entry = "[Desktop Entry]\nType=Application\nExec=true\nName=";
  tmp.write(".local/share/applications/viewer.desktop", entry + "Viewer\nHidden=true\n");
  tmp.write("system/applications/viewer.desktop", entry + "Viewer\n");
  tmp.write("system/applications/notes.desktop", entry + "Notes\n");
  DesktopApplicationResolver resolver(dirs);
  EXPECT_EQ(resolver.resolve("notes", "Notes")->identifier, "notes.desktop");
  EXPECT_EQ(resolver.resolve("viewer", "Viewer"), (FrontmostApplication{"Viewer", "Viewer", std::nullopt}));
}

TEST(ClipboardModeSearchProviderTest, FiltersTheServiceHistoryAndReusesTheChoice) {
  testing::ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  f.copyText("first note");
  f.copyText("second note");
  f.copyText("other");
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("index"));
  std::vector<ModeResult> results;
  provider.search("NOTE", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].title, "second note");
  EXPECT_TRUE(provider.activate(results[1]));
  f.env.runUntilIdle();
  EXPECT_EQ(f.pasteboard->readString().value(), "first note");
  // The history changed: the next search sees the new order.
  provider.search("", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].title, "first note");
}

TEST(DesktopApplicationResolverTest, StartupWMClassWinsOverTheDesktopFileID) {
  DesktopEntry editor{"org.gnome.TextEditor.desktop", "", "Text Editor"};
  DesktopEntry browser{"firefox-esr.desktop", "", "Firefox ESR"};
  browser.startupWMClass = "Firefox-esr";
  browser.icon = "firefox-esr";
  DesktopApplicationResolver resolver({editor, browser});
  EXPECT_EQ(resolver.resolve("Navigator", "firefox-esr"),
            (FrontmostApplication{"firefox-esr.desktop", "Firefox ESR", "firefox-esr"}));
  EXPECT_EQ(resolver.resolve("gnome-text-editor", "TextEditor")->identifier, "org.gnome.TextEditor.desktop");
  EXPECT_EQ(resolver.resolve("xterm", "XTerm"), (FrontmostApplication{"XTerm", "XTerm", std::nullopt}));
}

}  // namespace
}  // namespace pallix
