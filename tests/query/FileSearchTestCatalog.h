// A throw-away catalog for FileSearcher tests: an in-memory persistent store
// migrated with the catalog's own steps (schema, file name index, filter
// column indexes), written through the catalog store.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "app/platform/PersistentStore.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/TextFolding.h"

namespace pallix::testing {

class FileSearchTestCatalog {
 public:
  // Without the name index: the store's own steps only.
  explicit FileSearchTestCatalog(bool withNameIndex = true)
      : store_(
            PersistentStore::open(":memory:", withNameIndex ? catalogMigrationSteps() : baseMigrationSteps()).value()),
        catalog_(*store_) {}

  sqlite3* db() const { return store_->handle(); }
  // Inserts `item` and sets its id.
  void insert(IndexedItem& item) { check(catalog_.save(item)); }
  void exec(const std::string& sql) { check(store_->execute(sql)); }

 private:
  static void check(const Status& status) {
    if (!status.ok()) throw std::runtime_error(status.error().description());
  }
  std::unique_ptr<PersistentStore> store_;
  CatalogStore catalog_;
};

// A file record as the catalog builds it: searchName folded, extension
// lowercased, category from the extension table given by the test.
inline IndexedItem makeFile(const std::string& path, const std::string& extension, int64_t size,
                            std::optional<Date> modified, std::optional<Date> created = std::nullopt,
                            std::optional<std::string> category = std::nullopt,
                            std::optional<std::string> parentBundle = std::nullopt) {
  IndexedItem item;
  item.path = path;
  item.itemTypeRaw = "file";
  std::string last = path.substr(path.rfind('/') + 1);
  if (!extension.empty() && last.size() > extension.size() + 1) last.resize(last.size() - extension.size() - 1);
  item.name = last;
  item.searchName = foldForSearch(last);
  if (!extension.empty()) item.fileExtension = extension;
  item.sizeBytes = size;
  item.modifiedDate = modified;
  item.createdDate = created;
  item.fileCategoryRaw = category.value_or("other");
  item.parentBundleIdentifier = std::move(parentBundle);
  return item;
}

}  // namespace pallix::testing
