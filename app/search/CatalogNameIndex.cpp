#include "app/search/CatalogNameIndex.h"

#include <string>

#include "app/platform/PersistentStore.h"

namespace pallix {

namespace {

// The indexed text of a row: see the header.
std::string indexedText(const char* row) {
  const std::string r(row);
  return r + ".searchName || CASE WHEN " + r + ".fileExtension IS NULL OR " + r +
         ".fileExtension = '' THEN '' ELSE '.' || " + r + ".fileExtension END || char(1, 1)";
}

Status execute(sqlite3* db, const std::string& sql, const char* what) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return okStatus();
  std::string text = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return PersistentStore::error(rc, std::string("Failed to ") + what + " the file name index: " + text);
}

Result<bool> schemaHas(sqlite3* db, const char* type, const char* name) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = ?1 AND name = ?2", -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(statement, 1, type, -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, name, -1, SQLITE_STATIC);
    rc = sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return PersistentStore::error(rc, std::string("Failed to read the schema: ") + sqlite3_errmsg(db));
}

std::string createTriggers() {
  const std::string insertNew =
      "INSERT INTO IndexedItemNameIndex (rowid, searchText) VALUES (new.id, " + indexedText("new") + ");";
  const std::string deleteOld =
      "INSERT INTO IndexedItemNameIndex (IndexedItemNameIndex, rowid, searchText) VALUES ('delete', old.id, " +
      indexedText("old") + ");";
  // Updates that leave the indexed text alone (sizes, dates, last use) do
  // not touch the index.
  return "CREATE TRIGGER IF NOT EXISTS IndexedItemNameIndex_insert AFTER INSERT ON IndexedItem BEGIN " + insertNew +
         " END;"
         "CREATE TRIGGER IF NOT EXISTS IndexedItemNameIndex_delete AFTER DELETE ON IndexedItem BEGIN " +
         deleteOld +
         " END;"
         "CREATE TRIGGER IF NOT EXISTS IndexedItemNameIndex_update AFTER UPDATE OF id, searchName, fileExtension "
         "ON IndexedItem WHEN old.id IS NOT new.id OR old.searchName IS NOT new.searchName OR "
         "old.fileExtension IS NOT new.fileExtension BEGIN " +
         deleteOld + " " + insertNew + " END;";
}

constexpr const char* kDropTriggers =
    "DROP TRIGGER IF EXISTS IndexedItemNameIndex_insert;"
    "DROP TRIGGER IF EXISTS IndexedItemNameIndex_delete;"
    "DROP TRIGGER IF EXISTS IndexedItemNameIndex_update;";

// Filter-only queries ("ext:zip", "size:>1gb", "modified:today") look rows
// up through these instead of scanning the catalog. A bulk load drops them
// too: building one by sorting the finished table is cheaper than keeping it
// sorted through every insert.
constexpr const char* kCreateColumnIndexes =
    "CREATE INDEX IF NOT EXISTS IndexedItem_fileExtension ON IndexedItem (fileExtension);"
    "CREATE INDEX IF NOT EXISTS IndexedItem_fileCategoryRaw ON IndexedItem (fileCategoryRaw);"
    "CREATE INDEX IF NOT EXISTS IndexedItem_modifiedDate ON IndexedItem (modifiedDate);"
    "CREATE INDEX IF NOT EXISTS IndexedItem_sizeBytes ON IndexedItem (sizeBytes);";
constexpr const char* kDropColumnIndexes =
    "DROP INDEX IF EXISTS IndexedItem_fileExtension;"
    "DROP INDEX IF EXISTS IndexedItem_fileCategoryRaw;"
    "DROP INDEX IF EXISTS IndexedItem_modifiedDate;"
    "DROP INDEX IF EXISTS IndexedItem_sizeBytes;";

constexpr const char* kRebuild = "INSERT INTO IndexedItemNameIndex (IndexedItemNameIndex) VALUES ('rebuild');";

// The index collects new entries in memory and writes them out as a segment
// whenever they exceed this size, merging segments as they pile up. A bulk
// load indexes every name at once: in 16 MiB runs it writes a few large
// segments instead of many small ones that are merged again and again. Small
// writes never collect that much, so they behave as before.
constexpr const char* kBulkHashSize =
    "INSERT INTO IndexedItemNameIndex (IndexedItemNameIndex, rank) VALUES ('hashsize', 16777216);";

}  // namespace

Result<bool> CatalogNameIndex::exists(sqlite3* db) {
  return schemaHas(db, "table", "IndexedItemNameIndex");
}

Status CatalogNameIndex::install(sqlite3* db) {
  PALLIX_RETURN_IF_ERROR(execute(db, kCreateColumnIndexes, "create"));
  PALLIX_ASSIGN_OR_RETURN(bool hasIndex, exists(db));
  PALLIX_ASSIGN_OR_RETURN(bool hasSource, schemaHas(db, "view", "IndexedItemNameIndexSource"));
  if (hasIndex && hasSource) return execute(db, createTriggers(), "restore");
  if (hasIndex) {
    // The earlier layout stored every name a second time inside the index.
    PALLIX_RETURN_IF_ERROR(execute(db,
                                   std::string(kDropTriggers) + "DROP TABLE IF EXISTS IndexedItemNameIndexTerms;"
                                                                "DROP TABLE IndexedItemNameIndex;",
                                   "replace"));
  }
  return execute(
      db,
      "CREATE VIEW IF NOT EXISTS IndexedItemNameIndexSource AS SELECT i.id AS id, " + indexedText("i") +
          " AS searchText FROM IndexedItem i;"
          "CREATE VIRTUAL TABLE IF NOT EXISTS IndexedItemNameIndex USING fts5(searchText, tokenize = 'trigram', "
          "content = 'IndexedItemNameIndexSource', content_rowid = 'id', columnsize = 0);"
          "CREATE VIRTUAL TABLE IF NOT EXISTS IndexedItemNameIndexTerms USING fts5vocab(IndexedItemNameIndex, 'row');" +
          kRebuild + createTriggers(),
      "create");
}

Status CatalogNameIndex::suspendMaintenance(sqlite3* db) {
  if (sqlite3_get_autocommit(db)) {
    return PersistentStore::error(SQLITE_MISUSE, "A bulk load of the catalog must run inside a transaction");
  }
  PALLIX_ASSIGN_OR_RETURN(bool hasIndex, exists(db));
  if (!hasIndex) return okStatus();
  return execute(db, std::string(kDropTriggers) + kDropColumnIndexes + kBulkHashSize, "suspend");
}

Status CatalogNameIndex::rebuild(sqlite3* db) {
  if (sqlite3_get_autocommit(db)) {
    return PersistentStore::error(SQLITE_MISUSE, "A bulk load of the catalog must run inside a transaction");
  }
  PALLIX_ASSIGN_OR_RETURN(bool hasIndex, exists(db));
  if (!hasIndex) return okStatus();
  return execute(db, kRebuild + createTriggers() + kCreateColumnIndexes, "rebuild");
}

}  // namespace pallix
