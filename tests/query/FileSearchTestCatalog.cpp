#include "tests/query/FileSearchTestCatalog.h"

#include <stdexcept>

#include "app/search/CatalogSchema.h"
#include "app/search/TextFolding.h"

namespace pallix::testing {

namespace {

void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& value) {
  value ? sqlite3_bind_text(s, index, value->c_str(), -1, SQLITE_TRANSIENT) : sqlite3_bind_null(s, index);
}

void bindOptionalDate(sqlite3_stmt* s, int index, const std::optional<Date>& value) {
  value ? sqlite3_bind_double(s, index, secondsSince1970(*value)) : sqlite3_bind_null(s, index);
}

}  // namespace

FileSearchTestCatalog::FileSearchTestCatalog(bool withNameIndex) {
  auto store = PersistentStore::open(":memory:", withNameIndex ? catalogMigrationSteps() : pallixMigrationSteps());
  if (!store.ok()) throw std::runtime_error(store.error().description());
  store_ = std::move(store.value());
}

FileSearchTestCatalog::~FileSearchTestCatalog() {
  sqlite3_finalize(insert_);
}

void FileSearchTestCatalog::exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
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
    if (sqlite3_prepare_v2(db(), sql, -1, &insert_, nullptr) != SQLITE_OK) throw std::runtime_error("prepare");
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
  if (sqlite3_step(insert_) != SQLITE_DONE) throw std::runtime_error(std::string("insert: ") + sqlite3_errmsg(db()));
  item.id = sqlite3_last_insert_rowid(db());
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
