// CatalogStore: the IndexedItem and FileItem tables of the persistent store,
// through prepared statements. Writes are grouped by the caller with
// beginBatch()/commitBatch(); each commit is one save point. A large write is
// a bulk load instead (beginBulkLoad()/commitBulkLoad()): one transaction in
// which the file name index is not maintained row by row but rebuilt in one
// pass before the commit (see CatalogNameIndex). The store must have been
// opened with catalogMigrationSteps().
//
// Threading: used from one runner only (the indexing service's main runner);
// it borrows the PersistentStore, which must outlive it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/platform/PersistentStore.h"
#include "app/search/IndexedItem.h"
#include "core/Error.h"

namespace pallix {

class CatalogStore {
 public:
  explicit CatalogStore(PersistentStore& store) : store_(store) {}

  PersistentStore& persistentStore() { return store_; }

  Result<std::vector<IndexedItem>> fetchAll();
  Result<std::optional<IndexedItem>> fetchByPath(const std::string& path);
  // Case-insensitive on the identifier.
  Result<std::vector<IndexedItem>> fetchByBundleIdentifier(const std::string& bundleIdentifier);
  Result<std::vector<IndexedItem>> fetchByType(IndexedItem::ItemType type, std::optional<int64_t> limit = {});
  Result<int64_t> count(std::optional<IndexedItem::ItemType> type = {});
  Result<bool> isEmpty();

  // Inserts `item` (its id is set) or, when it has an id, updates that row.
  Status save(IndexedItem& item);
  Status deleteById(int64_t id);
  Status deleteByPath(const std::string& path);
  // Deletes every record (and empties the name index at once); returns how
  // many there were.
  Result<int64_t> deleteAll();
  // Deletes every record strictly below `directory`; returns how many.
  Result<int64_t> deleteBelow(const std::string& directory);
  // The ids and paths of the file and folder records strictly below
  // `directory`.
  Result<std::vector<std::pair<int64_t, std::string>>> fileRecordsBelow(const std::string& directory);

  Status beginBatch();
  Status commitBatch();
  // Abandons an open batch or bulk load with everything it wrote.
  void rollbackBatch();
  Status beginBulkLoad();
  // Fails (and leaves the transaction open for rollbackBatch()) when the
  // name index cannot be rebuilt.
  Status commitBulkLoad();

  Status saveFileItem(FileItem& item);
  Result<std::optional<FileItem>> fetchFileItem(const std::string& path);
  Result<std::vector<FileItem>> fetchAllFileItems();
  Status deleteFileItem(const std::string& path);

 private:
  Result<SqliteStatement*> statement(std::optional<SqliteStatement>& slot, const char* sql);
  Result<std::vector<IndexedItem>> collect(SqliteStatement& stmt);
  void restoreCacheSize();

  // The page cache of a bulk load (64 MiB); the store's own returns after it.
  static constexpr int64_t kBulkLoadCacheKiB = 65536;
  int64_t savedCacheKiB_ = 0;

  PersistentStore& store_;
  std::optional<SqliteStatement> insert_, update_, byPath_, byBundle_, byType_, all_, deleteId_, deletePath_;
  std::optional<SqliteStatement> fileUpsert_, fileByPath_, fileAll_, fileDelete_;
};

}  // namespace pallix
