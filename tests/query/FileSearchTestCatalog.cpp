#include "tests/query/FileSearchTestCatalog.h"

#include <stdexcept>

#include "app/search/CatalogNameIndex.h"
#include "app/search/FileSearcher.h"
#include "app/search/TextFolding.h"

namespace pallix::testing {

namespace {

// The IndexedItem table as the persistent store creates it.
constexpr const char* kCatalogSchema =
    "CREATE TABLE IndexedItem ("
    " id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, itemTypeRaw TEXT NOT NULL, name TEXT NOT NULL,"
    " searchName TEXT NOT NULL, fileExtension TEXT, sizeBytes INTEGER NOT NULL DEFAULT 0, createdDate REAL,"
    " modifiedDate REAL, lastIndexed REAL NOT NULL, bundleIdentifier TEXT, version TEXT, build TEXT,"
    " isPinned INTEGER NOT NULL DEFAULT 0, lastUsed REAL, domainPriority INTEGER NOT NULL DEFAULT 1,"
    " fileCategoryRaw TEXT, parentBundleIdentifier TEXT);"
    "CREATE INDEX IndexedItem_itemTypeRaw ON IndexedItem (itemTypeRaw);";

void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& value) {
  value ? sqlite3_bind_text(s, index, value->c_str(), -1, SQLITE_TRANSIENT) : sqlite3_bind_null(s, index);
}

void bindOptionalDate(sqlite3_stmt* s, int index, const std::optional<Date>& value) {
  value ? sqlite3_bind_double(s, index, secondsSince1970(*value)) : sqlite3_bind_null(s, index);
}

}  // namespace

FileSearchTestCatalog::FileSearchTestCatalog(bool withNameIndex) {
  if (sqlite3_open(":memory:", &db_) != SQLITE_OK) throw std::runtime_error("cannot open in-memory database");
  exec(kCatalogSchema);
  if (withNameIndex) {
    Status status = CatalogNameIndex::install(db_);
    if (!status.ok()) throw std::runtime_error(status.error().description());
  }
}

FileSearchTestCatalog::~FileSearchTestCatalog() {
  sqlite3_finalize(insert_);
  sqlite3_close(db_);
}

void FileSearchTestCatalog::exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "?";
    sqlite3_free(message);
    throw std::runtime_error("SQL failed: " + text);
  }
}

void FileSearchTestCatalog::insert(IndexedItem& item) {
  if (!insert_) {
    const char* sql =
        "INSERT INTO IndexedItem (path, itemTypeRaw, name, searchName, fileExtension, sizeBytes, createdDate,"
        " modifiedDate, lastIndexed, bundleIdentifier, fileCategoryRaw, parentBundleIdentifier)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?, ?)";
    if (sqlite3_prepare_v2(db_, sql, -1, &insert_, nullptr) != SQLITE_OK) throw std::runtime_error("prepare");
  }
  sqlite3_reset(insert_);
  sqlite3_bind_text(insert_, 1, item.path.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert_, 2, item.itemTypeRaw.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert_, 3, item.name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert_, 4, item.searchName.c_str(), -1, SQLITE_TRANSIENT);
  bindOptionalText(insert_, 5, item.fileExtension);
  sqlite3_bind_int64(insert_, 6, item.sizeBytes);
  bindOptionalDate(insert_, 7, item.createdDate);
  bindOptionalDate(insert_, 8, item.modifiedDate);
  bindOptionalText(insert_, 9, item.bundleIdentifier);
  bindOptionalText(insert_, 10, item.fileCategoryRaw);
  bindOptionalText(insert_, 11, item.parentBundleIdentifier);
  if (sqlite3_step(insert_) != SQLITE_DONE) throw std::runtime_error(std::string("insert: ") + sqlite3_errmsg(db_));
  item.id = sqlite3_last_insert_rowid(db_);
}

IndexedItem makeFile(const std::string& path, const std::string& extension, int64_t size, std::optional<Date> modified,
                     std::optional<Date> created, std::optional<std::string> category,
                     std::optional<std::string> parentBundle) {
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
