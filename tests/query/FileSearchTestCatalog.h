// A throw-away catalog for FileSearcher tests: an in-memory persistent store
// migrated with the catalog's own steps (schema, file name index, filter
// column indexes), and helpers to add records.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "app/platform/PersistentStore.h"
#include "app/search/IndexedItem.h"

namespace pallix::testing {

class FileSearchTestCatalog {
 public:
  // Without the name index: the store's own steps only.
  explicit FileSearchTestCatalog(bool withNameIndex = true);
  ~FileSearchTestCatalog();
  FileSearchTestCatalog(const FileSearchTestCatalog&) = delete;
  FileSearchTestCatalog& operator=(const FileSearchTestCatalog&) = delete;

  sqlite3* db() const { return store_->handle(); }
  // Inserts `item` and sets its id.
  void insert(IndexedItem& item);
  void exec(const std::string& sql);

 private:
  std::unique_ptr<PersistentStore> store_;
  sqlite3_stmt* insert_ = nullptr;
};

// A file record as the catalog builds it: searchName folded, extension
// lowercased, category from the extension table given by the test.
IndexedItem makeFile(const std::string& path, const std::string& extension, int64_t size, std::optional<Date> modified,
                     std::optional<Date> created = std::nullopt, std::optional<std::string> category = std::nullopt,
                     std::optional<std::string> parentBundle = std::nullopt);

}  // namespace pallix::testing
