#include "app/search/CatalogStore.h"

#include "app/search/CatalogNameIndex.h"
#include "app/search/IndexedItemRow.h"
#include "core/Strings.h"

namespace pallix {

namespace {

std::string selectSql(const char* where) {
  return "SELECT " + indexedItemColumns() + " FROM IndexedItem " + where;
}

FileItem readFileItem(const SqliteStatement& s) {
  FileItem item;
  item.id = s.columnInt(0);
  item.path = s.columnText(1);
  item.name = s.columnText(2);
  item.nameLowercase = s.columnText(3);
  item.fileExtension = s.columnText(4);
  item.size = s.columnInt(5);
  item.modifiedDate = dateFromSecondsSince1970(s.columnDouble(6));
  item.createdDate = dateFromSecondsSince1970(s.columnDouble(7));
  item.lastIndexed = dateFromSecondsSince1970(s.columnDouble(8));
  item.contentPreview = s.columnOptionalText(9);
  return item;
}

}  // namespace

Result<SqliteStatement*> CatalogStore::statement(std::optional<SqliteStatement>& slot, const char* sql) {
  if (!slot) {
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement prepared, store_.prepare(sql));
    slot.emplace(std::move(prepared));
  }
  slot->reset();
  return &*slot;
}

Result<std::vector<IndexedItem>> CatalogStore::collect(SqliteStatement& stmt) {
  std::vector<IndexedItem> items;
  while (true) {
    auto row = stmt.step();
    if (!row.ok()) {
      stmt.reset();
      return row.error();
    }
    if (!row.value()) break;
    items.push_back(readIndexedItem(stmt));
  }
  stmt.reset();
  return items;
}

Result<std::vector<IndexedItem>> CatalogStore::fetchAll() {
  static const std::string sql = selectSql("ORDER BY id");
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(all_, sql.c_str()));
  return collect(*s);
}

Result<std::optional<IndexedItem>> CatalogStore::fetchByPath(const std::string& path) {
  static const std::string sql = selectSql("WHERE path = ?1");
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(byPath_, sql.c_str()));
  s->bind(1, std::string_view(path));
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> items, collect(*s));
  if (items.empty()) return std::optional<IndexedItem>();
  return std::optional<IndexedItem>(std::move(items.front()));
}

Result<std::vector<IndexedItem>> CatalogStore::fetchByBundleIdentifier(const std::string& bundleIdentifier) {
  static const std::string sql =
      selectSql("WHERE bundleIdentifier IS NOT NULL AND lower(bundleIdentifier) = lower(?1) ORDER BY id");
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(byBundle_, sql.c_str()));
  s->bind(1, std::string_view(bundleIdentifier));
  return collect(*s);
}

Result<std::vector<IndexedItem>> CatalogStore::fetchByType(IndexedItem::ItemType type, std::optional<int64_t> limit) {
  static const std::string sql = selectSql("WHERE itemTypeRaw = ?1 ORDER BY path LIMIT ?2");
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(byType_, sql.c_str()));
  s->bind(1, std::string_view(itemTypeRawValue(type)));
  s->bind(2, limit.value_or(-1));
  return collect(*s);
}

Result<int64_t> CatalogStore::count(std::optional<IndexedItem::ItemType> type) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, store_.prepare(type ? "SELECT count(*) FROM IndexedItem WHERE "
                                                                   "itemTypeRaw = ?1"
                                                                 : "SELECT count(*) FROM IndexedItem"));
  if (type) s.bind(1, std::string_view(itemTypeRawValue(*type)));
  PALLIX_ASSIGN_OR_RETURN(bool row, s.step());
  return row ? s.columnInt(0) : int64_t{0};
}

Result<bool> CatalogStore::isEmpty() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, store_.prepare("SELECT 1 FROM IndexedItem LIMIT 1"));
  PALLIX_ASSIGN_OR_RETURN(bool row, s.step());
  return !row;
}

Status CatalogStore::save(IndexedItem& item) {
  if (item.id == 0) {
    PALLIX_ASSIGN_OR_RETURN(
        SqliteStatement * s,
        statement(insert_,
                  "INSERT INTO IndexedItem (path, itemTypeRaw, name, searchName, fileExtension, sizeBytes, "
                  "createdDate, modifiedDate, lastIndexed, bundleIdentifier, version, build, isPinned, lastUsed, "
                  "domainPriority, fileCategoryRaw, parentBundleIdentifier, keywords) VALUES "
                  "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)"));
    bindIndexedItem(*s, item);
    PALLIX_RETURN_IF_ERROR(s->run());
    item.id = sqlite3_last_insert_rowid(store_.handle());
    return okStatus();
  }
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement * s,
      statement(update_,
                "UPDATE IndexedItem SET path = ?1, itemTypeRaw = ?2, name = ?3, searchName = ?4, fileExtension = ?5, "
                "sizeBytes = ?6, createdDate = ?7, modifiedDate = ?8, lastIndexed = ?9, bundleIdentifier = ?10, "
                "version = ?11, build = ?12, isPinned = ?13, lastUsed = ?14, domainPriority = ?15, "
                "fileCategoryRaw = ?16, parentBundleIdentifier = ?17, keywords = ?18 WHERE id = ?19"));
  bindIndexedItem(*s, item);
  s->bind(19, item.id);
  return s->run();
}

Status CatalogStore::deleteById(int64_t id) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(deleteId_, "DELETE FROM IndexedItem WHERE id = ?1"));
  s->bind(1, id);
  return s->run();
}

Status CatalogStore::deleteByPath(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(deletePath_, "DELETE FROM IndexedItem WHERE path = ?1"));
  s->bind(1, std::string_view(path));
  return s->run();
}

Result<int64_t> CatalogStore::deleteAll() {
  PALLIX_ASSIGN_OR_RETURN(int64_t existing, count());
  // A bulk delete: the table and the name index are emptied at once rather
  // than row by row.
  const bool ownTransaction = sqlite3_get_autocommit(store_.handle()) != 0;
  if (ownTransaction) PALLIX_RETURN_IF_ERROR(store_.begin());
  Status status = CatalogNameIndex::suspendMaintenance(store_.handle());
  if (status.ok()) status = store_.execute("DELETE FROM IndexedItem");
  if (status.ok()) status = CatalogNameIndex::rebuild(store_.handle());
  if (status.ok() && ownTransaction) status = store_.commit();
  if (!status.ok()) {
    if (ownTransaction) store_.rollback();
    return status.error();
  }
  return existing;
}

Result<int64_t> CatalogStore::deleteBelow(const std::string& directory) {
  // Paths below "dir" sort between "dir/" and "dir0" ('0' follows '/').
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, store_.prepare("DELETE FROM IndexedItem WHERE path > ?1 AND path < ?2"));
  const std::string lower = directory + "/";
  const std::string upper = directory + "0";
  s.bind(1, std::string_view(lower));
  s.bind(2, std::string_view(upper));
  PALLIX_RETURN_IF_ERROR(s.run());
  return static_cast<int64_t>(sqlite3_changes(store_.handle()));
}

Result<std::vector<std::pair<int64_t, std::string>>> CatalogStore::fileRecordsBelow(const std::string& directory) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, store_.prepare("SELECT id, path FROM IndexedItem WHERE path > ?1 AND "
                                                            "path < ?2 AND itemTypeRaw IN ('file', 'folder')"));
  const std::string lower = directory + "/";
  const std::string upper = directory + "0";
  s.bind(1, std::string_view(lower));
  s.bind(2, std::string_view(upper));
  std::vector<std::pair<int64_t, std::string>> records;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, s.step());
    if (!row) break;
    records.emplace_back(s.columnInt(0), s.columnText(1));
  }
  return records;
}

Status CatalogStore::beginBatch() {
  return store_.begin();
}
Status CatalogStore::commitBatch() {
  return store_.commit();
}
void CatalogStore::rollbackBatch() {
  store_.rollback();
  restoreCacheSize();
}

Status CatalogStore::beginBulkLoad() {
  // A larger page cache for the load: the rows it writes and the indexes it
  // builds from them stay in memory instead of being written out to the log
  // and read back in before the commit.
  auto cacheSize = store_.prepare("PRAGMA cache_size");
  if (cacheSize.ok() && cacheSize.value().step().valueOr(false)) {
    const int64_t kibibytes = -cacheSize.value().columnInt(0);
    if (kibibytes > 0 && kibibytes < kBulkLoadCacheKiB) {
      if (store_.execute(stringPrintf("PRAGMA cache_size = -%lld", static_cast<long long>(kBulkLoadCacheKiB))).ok()) {
        savedCacheKiB_ = kibibytes;
      }
    }
  }
  Status begun = store_.begin();
  if (begun.ok()) begun = CatalogNameIndex::suspendMaintenance(store_.handle());
  if (!begun.ok()) rollbackBatch();
  return begun;
}

Status CatalogStore::commitBulkLoad() {
  PALLIX_RETURN_IF_ERROR(CatalogNameIndex::rebuild(store_.handle()));
  PALLIX_RETURN_IF_ERROR(store_.commit());
  restoreCacheSize();
  return okStatus();
}

void CatalogStore::restoreCacheSize() {
  if (savedCacheKiB_ == 0) return;
  (void)store_.execute(stringPrintf("PRAGMA cache_size = -%lld", static_cast<long long>(savedCacheKiB_)));
  savedCacheKiB_ = 0;
}

Status CatalogStore::saveFileItem(FileItem& item) {
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement * s,
      statement(fileUpsert_,
                "INSERT INTO FileItem (path, name, nameLowercase, fileExtension, size, modifiedDate, createdDate, "
                "lastIndexed, contentPreview) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT(path) DO "
                "UPDATE SET name = excluded.name, nameLowercase = excluded.nameLowercase, fileExtension = "
                "excluded.fileExtension, size = excluded.size, modifiedDate = excluded.modifiedDate, createdDate = "
                "excluded.createdDate, lastIndexed = excluded.lastIndexed, contentPreview = excluded.contentPreview "
                "RETURNING id"));
  s->bind(1, std::string_view(item.path));
  s->bind(2, std::string_view(item.name));
  s->bind(3, std::string_view(item.nameLowercase));
  s->bind(4, std::string_view(item.fileExtension));
  s->bind(5, item.size);
  s->bind(6, secondsSince1970(item.modifiedDate));
  s->bind(7, secondsSince1970(item.createdDate));
  s->bind(8, secondsSince1970(item.lastIndexed));
  s->bind(9, item.contentPreview);
  PALLIX_ASSIGN_OR_RETURN(bool row, s->step());
  if (row) item.id = s->columnInt(0);
  return s->run();
}

Result<std::optional<FileItem>> CatalogStore::fetchFileItem(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s,
                          statement(fileByPath_,
                                    "SELECT id, path, name, nameLowercase, fileExtension, size, modifiedDate, "
                                    "createdDate, lastIndexed, contentPreview FROM FileItem WHERE path = ?1"));
  s->bind(1, std::string_view(path));
  PALLIX_ASSIGN_OR_RETURN(bool row, s->step());
  std::optional<FileItem> item;
  if (row) item = readFileItem(*s);
  s->reset();
  return item;
}

Result<std::vector<FileItem>> CatalogStore::fetchAllFileItems() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s,
                          statement(fileAll_,
                                    "SELECT id, path, name, nameLowercase, fileExtension, size, modifiedDate, "
                                    "createdDate, lastIndexed, contentPreview FROM FileItem ORDER BY id"));
  std::vector<FileItem> items;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, s->step());
    if (!row) break;
    items.push_back(readFileItem(*s));
  }
  s->reset();
  return items;
}

Status CatalogStore::deleteFileItem(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement * s, statement(fileDelete_, "DELETE FROM FileItem WHERE path = ?1"));
  s->bind(1, std::string_view(path));
  return s->run();
}

}  // namespace pallix
