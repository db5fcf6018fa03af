#include <gtest/gtest.h>

#include <map>
#include <random>

#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/TextFolding.h"

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
  }
  return item;
}

// Dates go through seconds since 1970; compare records in that form.
void expectSameRecord(const IndexedItem& a, const IndexedItem& b) {
  auto normalized = [](IndexedItem item) {
    auto round = [](std::optional<Date> d) -> std::optional<Date> {
      if (!d) return d;
      return dateFromSecondsSince1970(secondsSince1970(*d));
    };
    item.createdDate = round(item.createdDate);
    item.modifiedDate = round(item.modifiedDate);
    item.lastUsed = round(item.lastUsed);
    item.lastIndexed = *round(item.lastIndexed);
    return item;
  };
  EXPECT_EQ(normalized(a), normalized(b)) << a.path;
}

class CatalogStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = PersistentStore::open(":memory:", catalogMigrationSteps());
    ASSERT_TRUE(opened.ok()) << opened.error().description();
    store_ = std::move(opened.value());
    catalog_ = std::make_unique<CatalogStore>(*store_);
  }
  std::unique_ptr<PersistentStore> store_;
  std::unique_ptr<CatalogStore> catalog_;
};

// Random inserts, updates and deletes against a std::map model.
TEST_F(CatalogStoreTest, MatchesMapModelUnderRandomOperations) {
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
      model[path] = item;
    } else if (op == 2) {
      ASSERT_TRUE(catalog_->deleteByPath(path).ok());
      model.erase(path);
    } else {
      auto fetched = catalog_->fetchByPath(path);
      ASSERT_TRUE(fetched.ok());
      ASSERT_EQ(fetched.value().has_value(), model.count(path) == 1);
      if (fetched.value()) expectSameRecord(*fetched.value(), model[path]);
    }
  }
  auto all = catalog_->fetchAll();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all.value().size(), model.size());
  for (const IndexedItem& item : all.value()) expectSameRecord(item, model.at(item.path));
  EXPECT_EQ(catalog_->count().value(), static_cast<int64_t>(model.size()));
}

TEST_F(CatalogStoreTest, PathsAreUnique) {
  std::mt19937 rng(1);
  IndexedItem a = makeItem("/same", rng);
  IndexedItem b = makeItem("/same", rng);
  ASSERT_TRUE(catalog_->save(a).ok());
  Status duplicate = catalog_->save(b);
  ASSERT_FALSE(duplicate.ok());
  EXPECT_NE(duplicate.error().description().find("UNIQUE"), std::string::npos);
}

TEST_F(CatalogStoreTest, FetchesByBundleIdentifierIgnoringCaseAndByType) {
  IndexedItem app;
  app.path = "/usr/share/applications/org.gnome.Calculator.desktop";
  app.itemTypeRaw = "app";
  app.name = "Calculator";
  app.searchName = foldForSearch(app.name);
  app.bundleIdentifier = "org.gnome.Calculator.desktop";
  ASSERT_TRUE(catalog_->save(app).ok());
  IndexedItem folder = IndexedItem::file("/home/u/Documents/Ideas", "Ideas", std::nullopt, 0, std::nullopt,
                                         std::nullopt, std::nullopt, std::nullopt);
  folder.itemTypeRaw = "folder";
  ASSERT_TRUE(catalog_->save(folder).ok());

  auto found = catalog_->fetchByBundleIdentifier("ORG.GNOME.CALCULATOR.DESKTOP");
  ASSERT_TRUE(found.ok());
  ASSERT_EQ(found.value().size(), 1u);
  EXPECT_EQ(found.value()[0].name, "Calculator");
  EXPECT_EQ(catalog_->fetchByType(IndexedItem::ItemType::folder).value().size(), 1u);
  EXPECT_EQ(catalog_->fetchByType(IndexedItem::ItemType::file).value().size(), 0u);
  EXPECT_EQ(catalog_->count(IndexedItem::ItemType::app).value(), 1);
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

TEST(IndexedItemTest, CategoriesAndUrls) {
  EXPECT_EQ(fileCategoryFromExtension("CPP"), IndexedItem::FileCategory::code);
  EXPECT_EQ(fileCategoryFromExtension("key"), IndexedItem::FileCategory::document);
  EXPECT_EQ(fileCategoryFromExtension("dng"), IndexedItem::FileCategory::image);
  EXPECT_EQ(fileCategoryFromExtension("midi"), IndexedItem::FileCategory::audio);
  EXPECT_EQ(fileCategoryFromExtension("3gp"), IndexedItem::FileCategory::video);
  EXPECT_EQ(fileCategoryFromExtension("rpm"), IndexedItem::FileCategory::archive);
  EXPECT_EQ(fileCategoryFromExtension("xyz"), IndexedItem::FileCategory::other);
  EXPECT_EQ(fileCategoryFromExtension(""), IndexedItem::FileCategory::other);
  IndexedItem item;
  item.path = "/home/u/My Files/ä#1.txt";
  EXPECT_EQ(item.url(), "file:///home/u/My%20Files/%C3%A4%231.txt");
  for (auto type : {IndexedItem::ItemType::app, IndexedItem::ItemType::file, IndexedItem::ItemType::folder}) {
    EXPECT_EQ(itemTypeFromRaw(itemTypeRawValue(type)), type);
  }
  EXPECT_FALSE(itemTypeFromRaw("bogus"));
  EXPECT_FALSE(fileCategoryFromRaw("bogus"));
}

}  // namespace
}  // namespace pallix
