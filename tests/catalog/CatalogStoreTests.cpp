#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "CatalogTestSupport.h"
#include "app/search/CatalogNameIndex.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/StreamedSnapshotWriter.h"
#include "core/Clock.h"
#include "core/Strings.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

IndexedItem makeItem(const std::string& path, std::mt19937& rng) {
  IndexedItem item = IndexedItem::file(path, "Näme " + path, std::string("txt"), static_cast<int64_t>(rng() % 100000),
                                       dateFromSecondsSince1970(1.7e9 + (rng() % 1000) / 7.0), std::nullopt,
                                       IndexedItem::FileCategory::document, std::nullopt);
  item.lastIndexed = dateFromSecondsSince1970(1.7e9);
  if (rng() % 3 == 0) {
    item.itemTypeRaw = "app";
    item.bundleIdentifier = "Org.Example.App" + std::to_string(rng() % 5);
    item.version = "1.0";
    item.isPinned = true;
    item.lastUsed = dateFromSecondsSince1970(1.6e9);
    item.domainPriority = 4;
    if (rng() % 2) item.keywords = {"Scientific Calculator", "arithmetic"};
  } else if (rng() % 4 == 0) {
    item.itemTypeRaw = "folder";
  }
  return item;
}

// A catalog store on disk, reopened at will, and random files to fill it.
class CatalogStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }
  void reopen() {
    catalog_.reset();
    store_.reset();
    auto opened = PersistentStore::open(tmp_ / "Pallix.sqlite", catalogMigrationSteps());
    ASSERT_TRUE(opened.ok()) << opened.error().description();
    store_ = std::move(opened.value());
    catalog_ = std::make_unique<CatalogStore>(*store_);
  }
  // A file with a random folded name from a small pool (renames collide).
  IndexedItem randomFile(int n) {
    static const char* names[] = {"notes", "Résumé", "a", "IMG_2041", "x y", "Ünïcode-名前", "report.final"};
    static const char* extensions[] = {"txt", "pdf", "", "tar.gz"};
    const char* extension = extensions[rng_() % 4];
    return IndexedItem::file("/d/" + std::to_string(n / 50) + "/f" + std::to_string(n), names[rng_() % 7],
                             *extension ? std::optional<std::string>(extension) : std::nullopt,
                             static_cast<int64_t>(rng_() % 1000), std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt);
  }
  void bulkLoad(int first, int count) {
    ASSERT_TRUE(catalog_->beginBulkLoad().ok());
    for (int i = first; i < first + count; ++i) {
      IndexedItem item = randomFile(i);
      ASSERT_TRUE(catalog_->save(item).ok());
    }
    ASSERT_TRUE(catalog_->commitBulkLoad().ok());
  }

  testing::TempDir tmp_;
  std::mt19937 rng_{11};
  std::unique_ptr<PersistentStore> store_;
  std::unique_ptr<CatalogStore> catalog_;
};
using CatalogNameIndexTest = CatalogStoreTest;

// Random inserts, updates and deletes against a std::map model.
TEST_F(CatalogStoreTest, MatchesMapModelUnderRandomOperationsAndLookups) {
  std::mt19937 rng(3);
  std::map<std::string, IndexedItem> model;
  for (int round = 0; round < 600; ++round) {
    std::string path = "/data/f" + std::to_string(rng() % 120);
    int op = static_cast<int>(rng() % 4);
    if (op <= 1) {
      IndexedItem item = makeItem(path, rng);
      auto existing = model.find(path);
      if (existing != model.end()) item.id = existing->second.id;
      ASSERT_TRUE(catalog_->save(item).ok());
      ASSERT_NE(item.id, 0);
      model[path] = testing::asStored(item);
    } else if (op == 2) {
      ASSERT_TRUE(catalog_->deleteByPath(path).ok());
      model.erase(path);
    } else {
      auto fetched = catalog_->fetchByPath(path);
      ASSERT_TRUE(fetched.ok());
      auto expected = model.find(path);
      EXPECT_EQ(fetched.value(), expected == model.end() ? std::nullopt : std::optional(expected->second));
    }
  }
  auto all = catalog_->fetchAll();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all.value().size(), model.size());
  for (const IndexedItem& item : all.value()) EXPECT_EQ(item, model.at(item.path));
  EXPECT_EQ(catalog_->count().value(), static_cast<int64_t>(model.size()));
  // Lookups by bundle identifier ignore case; lookups and counts by type.
  for (int n = 0; n < 5; ++n) {
    const std::string id = "Org.Example.App" + std::to_string(n);
    const auto expected =
        std::count_if(model.begin(), model.end(), [&](const auto& e) { return e.second.bundleIdentifier == id; });
    EXPECT_EQ(std::ssize(catalog_->fetchByBundleIdentifier("ORG.EXAMPLE.APP" + std::to_string(n)).value()), expected);
  }
  for (auto type : {IndexedItem::ItemType::app, IndexedItem::ItemType::file, IndexedItem::ItemType::folder}) {
    const auto expected = std::count_if(model.begin(), model.end(),
                                        [&](const auto& e) { return itemTypeFromRaw(e.second.itemTypeRaw) == type; });
    EXPECT_GT(expected, 0);
    EXPECT_EQ(std::ssize(catalog_->fetchByType(type).value()), expected);
    EXPECT_EQ(catalog_->count(type).value(), expected);
  }
}

TEST_F(CatalogStoreTest, DeleteBelowRemovesOnlyDescendants) {
  std::mt19937 rng(5);
  for (const char* path : {"/d", "/d/a", "/d/a/b", "/d0", "/d-x", "/e/d/a"}) {
    IndexedItem item = makeItem(path, rng);
    item.bundleIdentifier.reset();
    ASSERT_TRUE(catalog_->save(item).ok());
  }
  auto removed = catalog_->deleteBelow("/d");
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(removed.value(), 2);
  std::vector<std::string> left;
  auto all = catalog_->fetchAll();
  ASSERT_TRUE(all.ok());
  for (const auto& item : all.value()) left.push_back(item.path);
  EXPECT_EQ(left, (std::vector<std::string>{"/d", "/d0", "/d-x", "/e/d/a"}));
}

TEST_F(CatalogStoreTest, FileItemsUpsertByPath) {
  FileItem item;
  item.path = "/x/notes.md";
  item.name = "notes";
  item.nameLowercase = "notes";
  item.fileExtension = "md";
  item.size = 10;
  item.contentPreview = "hello";
  ASSERT_TRUE(catalog_->saveFileItem(item).ok());
  const int64_t firstId = item.id;
  item.size = 20;
  item.contentPreview.reset();
  ASSERT_TRUE(catalog_->saveFileItem(item).ok());
  EXPECT_EQ(item.id, firstId);
  auto fetched = catalog_->fetchFileItem("/x/notes.md");
  ASSERT_TRUE(fetched.ok() && fetched.value());
  EXPECT_EQ(fetched.value()->size, 20);
  EXPECT_FALSE(fetched.value()->contentPreview);
  EXPECT_EQ(catalog_->fetchAllFileItems().value().size(), 1u);
  ASSERT_TRUE(catalog_->deleteFileItem("/x/notes.md").ok());
  EXPECT_FALSE(catalog_->fetchFileItem("/x/notes.md").value());
}

// --- The file name index against the table -------------------------------------

using testing::indexedInstances;
using testing::indexMatchesTable;
using testing::Instances;

TEST_F(CatalogNameIndexTest, IndexMatchesTableAfterBulkLoadsIncrementalEditsAndFailures) {
  bulkLoad(0, 1200);
  ASSERT_TRUE(indexMatchesTable(*store_));
  // Incremental edits through the triggers: renames, new extensions,
  // updates that leave the name alone, deletions.
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(catalog_->beginBatch().ok());
    auto items = catalog_->fetchAll();
    ASSERT_TRUE(items.ok());
    for (IndexedItem& item : items.value()) {
      const auto op = rng_() % 8;
      if (op == 0) {
        ASSERT_TRUE(catalog_->deleteById(item.id).ok());
      } else if (op <= 2) {
        IndexedItem renamed = randomFile(static_cast<int>(rng_() % 1200));
        item.searchName = renamed.searchName;
        item.fileExtension = renamed.fileExtension;
        ASSERT_TRUE(catalog_->save(item).ok());
      } else if (op == 3) {
        item.sizeBytes += 1;
        ASSERT_TRUE(catalog_->save(item).ok());
      }
    }
    IndexedItem added = randomFile(5000 + round);
    ASSERT_TRUE(catalog_->save(added).ok());
    ASSERT_TRUE(catalog_->deleteBelow("/d/" + std::to_string(round)).ok());
    ASSERT_TRUE(catalog_->commitBatch().ok());
    ASSERT_TRUE(indexMatchesTable(*store_)) << "round " << round;
  }
  // A bulk load that fails half-way leaves rows, index and triggers as they were.
  const Instances before = indexedInstances(*store_);
  ASSERT_TRUE(catalog_->beginBulkLoad().ok());
  for (int i = 0; i < 300; ++i) {
    IndexedItem item = randomFile(7000 + i);
    ASSERT_TRUE(catalog_->save(item).ok());
  }
  IndexedItem duplicate = randomFile(7000);
  EXPECT_TRUE(testing::failsWith(catalog_->save(duplicate), "UNIQUE"));
  catalog_->rollbackBatch();
  EXPECT_EQ(indexedInstances(*store_), before);
  IndexedItem afterwards = randomFile(8000);
  ASSERT_TRUE(catalog_->save(afterwards).ok());
  ASSERT_TRUE(indexMatchesTable(*store_));
  // Deleting everything empties the index at once.
  ASSERT_TRUE(catalog_->deleteAll().ok());
  EXPECT_TRUE(indexedInstances(*store_).empty());
  bulkLoad(0, 50);
  EXPECT_TRUE(indexMatchesTable(*store_));
}

TEST_F(CatalogNameIndexTest, BulkLoadInterruptedByTheProcessEndingLeavesTheIndexInStep) {
  bulkLoad(0, 200);
  ASSERT_TRUE(catalog_->beginBulkLoad().ok());
  for (int i = 200; i < 600; ++i) {
    IndexedItem item = randomFile(i);
    ASSERT_TRUE(catalog_->save(item).ok());
  }
  reopen();  // the connection closes with the load uncommitted
  EXPECT_EQ(catalog_->count().value(), 200);
  ASSERT_TRUE(indexMatchesTable(*store_));
  IndexedItem item = randomFile(900);
  ASSERT_TRUE(catalog_->save(item).ok());  // the triggers are back
  EXPECT_TRUE(indexMatchesTable(*store_));
}

TEST_F(CatalogNameIndexTest, BulkLoadNeedsATransactionAndAnEarlierLayoutIsReplaced) {
  EXPECT_TRUE(testing::failsWith(CatalogNameIndex::suspendMaintenance(store_->handle()), "inside a transaction"));
  EXPECT_TRUE(testing::failsWith(CatalogNameIndex::rebuild(store_->handle()), "inside a transaction"));
  bulkLoad(0, 40);
  // The earlier layout: an index holding its own copy of the names.
  ASSERT_TRUE(store_
                  ->execute("DROP TRIGGER IndexedItemNameIndex_insert; DROP TRIGGER IndexedItemNameIndex_delete;"
                            "DROP TRIGGER IndexedItemNameIndex_update; DROP TABLE IndexedItemNameIndexTerms;"
                            "DROP TABLE IndexedItemNameIndex; DROP VIEW IndexedItemNameIndexSource;"
                            "CREATE VIRTUAL TABLE IndexedItemNameIndex USING fts5(searchText, tokenize = 'trigram');"
                            "INSERT INTO IndexedItemNameIndex (rowid, searchText) VALUES (1, 'stale')")
                  .ok());
  ASSERT_TRUE(CatalogNameIndex::install(store_->handle()).ok());
  ASSERT_TRUE(CatalogNameIndex::install(store_->handle()).ok());
  EXPECT_TRUE(indexMatchesTable(*store_));
  IndexedItem item = randomFile(100);
  ASSERT_TRUE(catalog_->save(item).ok());
  EXPECT_TRUE(indexMatchesTable(*store_));
}

// --- A first snapshot written while its scan runs ------------------------------

IndexCandidate streamedFile(int n) {
  IndexCandidate c;
  c.canonicalPath = stringPrintf("/s/%05d.txt", n);
  c.name = stringPrintf("Näme %d", n % 97);
  c.fileExtension = "txt";
  c.sizeBytes = n;
  c.fileCategory = IndexedItem::FileCategory::document;
  return c;
}

// The first snapshot as one load, in path order and batches, with link
// targets after it: nothing stays of one that fails; the triggers are back
// once it commits.
TEST_F(CatalogNameIndexTest, StreamedSnapshotIsOneLoadWithItsNewLinkTargetsAndTheIndexInStep) {
  auto files = [](int first, int last) {
    std::vector<IndexCandidate> out;
    for (int n = first; n < last; ++n) out.push_back(streamedFile(n));
    return out;
  };
  StreamedSnapshotWriter failing(*catalog_, SystemClock::instance(), 1000);
  failing.add(files(0, 1000));
  failing.add(files(3, 4));  // a path already written
  EXPECT_TRUE(testing::failsWith(failing.commit(), "UNIQUE"));
  EXPECT_EQ(catalog_->count().value(), 0);
  StreamedSnapshotWriter writer(*catalog_, SystemClock::instance(), 1000);
  for (int first = 0; first < 2500; first += 700) writer.add(files(first, std::min(first + 700, 2500)));
  ASSERT_TRUE(writer.isBulk());
  // Link targets: one repeats a record, one is new (twice).
  HandedOutCandidates kept;
  writer.addLinkTargets({streamedFile(7), streamedFile(90000), streamedFile(90000)}, kept);
  EXPECT_EQ(kept.files, 1u);
  ASSERT_TRUE(writer.commit().ok());
  auto items = catalog_->fetchAll();
  ASSERT_TRUE(items.ok());
  ASSERT_EQ(items.value().size(), 2501u);
  for (size_t i = 0; i < items.value().size(); ++i) {
    EXPECT_EQ(items.value()[i].id, static_cast<int64_t>(i + 1));  // ids follow the paths
    EXPECT_EQ(items.value()[i].path, streamedFile(i < 2500 ? int(i) : 90000).canonicalPath);
  }
  ASSERT_TRUE(indexMatchesTable(*store_));
  IndexedItem edited = randomFile(123456);
  ASSERT_TRUE(catalog_->save(edited).ok());
  edited.searchName = "renamed";
  ASSERT_TRUE(catalog_->save(edited).ok());
  ASSERT_TRUE(catalog_->deleteByPath(streamedFile(5).canonicalPath).ok());
  EXPECT_TRUE(indexMatchesTable(*store_));
}

TEST(IndexedItemTest, CategoriesAndUrls) {
  using enum IndexedItem::FileCategory;
  for (const auto& [extension, category] :
       {std::pair{"CPP", code}, std::pair{"key", document}, std::pair{"dng", image}, std::pair{"midi", audio},
        std::pair{"3gp", video}, std::pair{"rpm", archive}, std::pair{"xyz", other}, std::pair{"", other}}) {
    EXPECT_EQ(fileCategoryFromExtension(extension), category) << extension;
  }
  IndexedItem item;
  item.path = "/home/u/My Files/ä#1.txt";
  EXPECT_EQ(item.url(), "file:///home/u/My%20Files/%C3%A4%231.txt");
  EXPECT_FALSE(itemTypeFromRaw("bogus"));
  EXPECT_FALSE(fileCategoryFromRaw("bogus"));
}

}  // namespace
}  // namespace pallix
