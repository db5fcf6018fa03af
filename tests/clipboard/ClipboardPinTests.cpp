// Pinned clipboard items: they persist, list first, outlast retention, the
// storage limit and clearing, survive the schema step that adds them, and
// Ctrl+P and Delete reach them through the session.
#include <gtest/gtest.h>

#include <string>

#include "ClipboardTestSupport.h"
#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/search/ContentViewModel.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::ClipboardFixture;

constexpr int64_t kMiB = int64_t{1} << 20;

std::vector<std::string> texts(const std::vector<ClipboardItem>& items) {
  std::vector<std::string> out;
  for (const ClipboardItem& item : items) out.push_back(item.primaryText.value_or("?").substr(0, 8));
  return out;
}

const ClipboardItem& stored(ClipboardFixture& f, const std::string& text, std::vector<ClipboardItem>& keep) {
  keep = f.stored();
  for (const ClipboardItem& item : keep) {
    // Long texts are shown (and kept as primaryText) shortened.
    if (item.primaryText && item.primaryText->substr(0, 8) == text.substr(0, 8)) return item;
  }
  ADD_FAILURE() << "no item " << text;
  return keep.front();
}

TEST(ClipboardPinTest, APinPersistsAcrossARestartAndListsFirst) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  {
    ClipboardFixture f(path);
    f.start();
    for (const char* t : {"oldest", "middle", "newest"}) {
      f.copyText(t);
      f.env.advanceBy(seconds(1));
    }
    std::vector<ClipboardItem> keep;
    ASSERT_TRUE(f.service->setPinned(stored(f, "oldest", keep), true));
  }
  ClipboardFixture f(path);
  f.start();
  auto items = f.stored();
  EXPECT_EQ(texts(items), (std::vector<std::string>{"oldest", "newest", "middle"}));
  EXPECT_TRUE(items[0].pinned);
  EXPECT_FALSE(items[1].pinned);
  ASSERT_TRUE(f.service->setPinned(items[0], false));
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"newest", "middle", "oldest"}));
}

TEST(ClipboardPinTest, RetentionAndClearingKeepPinnedItems) {
  ClipboardFixture f;
  f.settings.retentionDays = 1;
  f.start();
  f.copyText("kept");
  f.copyText("expires");
  std::vector<ClipboardItem> keep;
  ASSERT_TRUE(f.service->setPinned(stored(f, "kept", keep), true));
  f.env.advanceBy(std::chrono::hours(30));
  f.copyText("fresh");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"kept", "fresh"}));
  f.service->clearHistory();
  f.env.runUntilIdle();
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"kept"}));
  // Deleting it is what removes it.
  f.service->deleteItem(f.stored().front());
  EXPECT_EQ(f.storedCount(), 0);
}

TEST(ClipboardPinTest, TheStorageLimitRemovesOnlyUnpinnedItemsAndKeepsTheNewest) {
  ClipboardFixture f;
  f.settings.maxStorageBytes = 3 * kMiB + 100;
  f.start();
  auto big = [](char fill) { return std::string(kMiB, fill); };
  f.copyText(big('a'));
  std::vector<ClipboardItem> keep;
  ASSERT_TRUE(f.service->setPinned(stored(f, big('a'), keep), true));
  for (char fill = 'b'; fill <= 'f'; ++fill) {
    f.copyText(big(fill));
    f.env.advanceBy(seconds(1));
  }
  // The pinned item counts towards the limit but is never the one to go.
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"aaaaaaaa", "ffffffff", "eeeeeeee"}));
  for (char fill : {'e', 'f'}) ASSERT_TRUE(f.service->setPinned(stored(f, big(fill), keep), true));
  f.copyText(big('g'));
  f.env.advanceBy(seconds(1));
  // Pins alone fill the limit: the newest unpinned copy still stays.
  EXPECT_EQ(f.storedCount(), 4);
  f.copyText("small");
  f.env.advanceBy(seconds(1));
  auto items = f.stored();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[3].primaryText, "small");
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(items[i].pinned) << i;
}

TEST(ClipboardPinTest, AStoreFromBeforePinsKeepsItsItemsUnpinned) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  std::vector<MigrationStep> earlier = catalogMigrationSteps();
  while (!earlier.empty() && earlier.back().description != "clipboard history: pinned items") earlier.pop_back();
  ASSERT_FALSE(earlier.empty());
  earlier.pop_back();
  {
    auto db = PersistentStore::open(path, earlier).value();
    ASSERT_TRUE(db->execute("INSERT INTO ClipboardItem (id, createdAt, primaryText) VALUES (1, 1.7e9, 'older');"
                            "INSERT INTO ClipboardItem (id, createdAt, primaryText) VALUES (2, 1.8e9, 'newer');"
                            "INSERT INTO ClipboardRepresentation (id, item, typeIdentifier, \"order\", byteCount,"
                            " hasData) VALUES (5, 1, 'text/plain;charset=utf-8', 0, 5, 1);"
                            "INSERT INTO ClipboardRepresentationData VALUES (5, CAST('older' AS BLOB));")
                    .ok());
    EXPECT_FALSE(db->prepare("SELECT pinned FROM ClipboardItem").ok());
  }
  ClipboardFixture f(path);
  EXPECT_EQ(f.db->schemaVersion(), catalogMigrationSteps().back().version);
  auto items = f.stored();
  EXPECT_EQ(texts(items), (std::vector<std::string>{"newer", "older"}));
  for (const ClipboardItem& item : items) EXPECT_FALSE(item.pinned);
  EXPECT_EQ(f.store->loadRepresentations(1).value().at(0).stringValue, "older");
  ASSERT_TRUE(f.store->setPinned(1, true).ok());
  ASSERT_TRUE(f.store->save().ok());
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"older", "newer"}));
}

TEST(ClipboardModeSearchProviderTest, PinnedItemsComeFirstWithTheirMarkEvenAfterNewerCopies) {
  ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  for (const char* t : {"one", "two", "three"}) f.copyText(t);
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("index"));
  std::vector<ModeResult> results;
  auto search = [&](const std::string& text) {
    provider.search(text, [&](std::vector<ModeResult> r) { results = std::move(r); });
    std::vector<std::string> titles;
    for (const ModeResult& r : results) titles.push_back(r.title);
    return titles;
  };
  ASSERT_EQ(search(""), (std::vector<std::string>{"three", "two", "one"}));
  EXPECT_TRUE(provider.perform(ModeCommand::togglePin, results[2]));
  EXPECT_TRUE(provider.perform(ModeCommand::togglePin, results[1]));
  f.copyText("four");
  EXPECT_EQ(search(""), (std::vector<std::string>{"two", "one", "four", "three"}));
  EXPECT_EQ(results[0].tag, ClipboardModeSearchProvider::kPinnedTag);
  EXPECT_EQ(results[2].tag, "");
  EXPECT_EQ(search("o"), (std::vector<std::string>{"two", "one", "four"}));
  EXPECT_TRUE(provider.perform(ModeCommand::togglePin, results[0]));
  EXPECT_EQ(search(""), (std::vector<std::string>{"one", "four", "three", "two"}));
}

TEST(ClipboardModeSessionTest, CtrlPPinsTheSelectionAndDeleteRemovesItSelectingTheNextRow) {
  ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  for (const char* t : {"a", "b", "c", "d"}) {
    f.copyText(t);
    f.env.advanceBy(seconds(1));
  }
  auto provider = std::make_shared<ClipboardModeSearchProvider>(*f.service, f.env.mainRunner(), f.env.mainRunner());
  ContentViewModel model(f.env.mainRunner(), f.env.mainRunner());
  model.setModeSearch(SearchMode::clipboard, provider);
  model.setSearchMode(SearchMode::clipboard);
  model.handlePresentationChange(true);
  f.env.runUntilIdle();
  auto titles = [&] {
    std::string out;
    for (const ModeResult& r : model.modeResults()) out += r.title + (r.tag.empty() ? "" : "*");
    return out;
  };
  auto selected = [&] {
    for (const ModeResult& r : model.modeResults()) {
      if (model.selectedModeResultID() == r.identifier) return r.title;
    }
    return std::string("none");
  };
  ASSERT_EQ(titles(), "dcba");
  model.advanceModeSelection(1);
  ASSERT_EQ(selected(), "c");
  EXPECT_TRUE(model.performModeCommand(ModeCommand::remove));
  f.env.runUntilIdle();
  EXPECT_EQ(titles(), "dba");
  EXPECT_EQ(selected(), "b");
  EXPECT_EQ(f.storedCount(), 3);
  // The pinned item moves to the top; the selection goes with it.
  EXPECT_TRUE(model.performModeCommand(ModeCommand::togglePin));
  f.env.runUntilIdle();
  EXPECT_EQ(titles(), "b*da");
  EXPECT_EQ(selected(), "b");
  EXPECT_TRUE(f.stored().front().pinned);
  // The last row removed selects the one above.
  model.advanceModeSelection(5);
  EXPECT_TRUE(model.performModeCommand(ModeCommand::remove));
  f.env.runUntilIdle();
  EXPECT_EQ(titles(), "b*d");
  EXPECT_EQ(selected(), "d");
  // A pinned item is deleted when the user asks.
  model.advanceModeSelection(-1);
  EXPECT_TRUE(model.performModeCommand(ModeCommand::remove));
  f.env.runUntilIdle();
  EXPECT_EQ(titles(), "d");
  EXPECT_EQ(f.storedCount(), 1);
}

}  // namespace
}  // namespace pallix
