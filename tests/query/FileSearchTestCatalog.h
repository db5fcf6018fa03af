// A throw-away SQLite catalog for FileSearcher tests: the IndexedItem table of
// the persistent store, the file name index, and helpers to add records.
#pragma once

#include <sqlite3.h>

#include <string>

#include "app/search/IndexedItem.h"

namespace pallix::testing {

class FileSearchTestCatalog {
 public:
  // An in-memory database with the catalog table and, unless told otherwise,
  // the file name index.
  explicit FileSearchTestCatalog(bool withNameIndex = true);
  ~FileSearchTestCatalog();
  FileSearchTestCatalog(const FileSearchTestCatalog&) = delete;
  FileSearchTestCatalog& operator=(const FileSearchTestCatalog&) = delete;

  sqlite3* db() const { return db_; }
  // Inserts `item` and sets its id.
  void insert(IndexedItem& item);
  void exec(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

// A file record as the catalog builds it: searchName folded, extension
// lowercased, category from the extension table given by the test.
IndexedItem makeFile(const std::string& path, const std::string& extension, int64_t size, std::optional<Date> modified,
                     std::optional<Date> created = std::nullopt, std::optional<std::string> category = std::nullopt,
                     std::optional<std::string> parentBundle = std::nullopt);

}  // namespace pallix::testing
