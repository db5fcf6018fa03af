// The migration steps of "PallixModelSchemaV4". Each step's number is the
// PRAGMA user_version the store has once it is applied; never edit a step that
// has shipped, append a new one.
#include "app/platform/PersistentStore.h"

namespace pallix {

namespace {

Status createCatalogTables(PersistentStore& store) {
  PALLIX_RETURN_IF_ERROR(store.execute(
      "CREATE TABLE IF NOT EXISTS PallixStoreMetadata (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);"
      "INSERT OR REPLACE INTO PallixStoreMetadata (key, value) VALUES ('schemaName', 'PallixModelSchemaV4');"
      "INSERT OR REPLACE INTO PallixStoreMetadata (key, value) VALUES ('schemaVersion', '4.0.0');"));
  // Dates are seconds since 1970 (REAL).
  PALLIX_RETURN_IF_ERROR(store.execute(
      "CREATE TABLE IF NOT EXISTS IndexedItem ("
      " id INTEGER PRIMARY KEY,"
      " path TEXT NOT NULL UNIQUE,"
      " itemTypeRaw TEXT NOT NULL,"
      " name TEXT NOT NULL,"
      " searchName TEXT NOT NULL,"
      " fileExtension TEXT,"
      " sizeBytes INTEGER NOT NULL DEFAULT 0,"
      " createdDate REAL,"
      " modifiedDate REAL,"
      " lastIndexed REAL NOT NULL,"
      " bundleIdentifier TEXT,"
      " version TEXT,"
      " build TEXT,"
      " isPinned INTEGER NOT NULL DEFAULT 0,"
      " lastUsed REAL,"
      " domainPriority INTEGER NOT NULL DEFAULT 1,"
      " fileCategoryRaw TEXT,"
      " parentBundleIdentifier TEXT);"
      "CREATE INDEX IF NOT EXISTS IndexedItem_bundleIdentifierLower ON IndexedItem (lower(bundleIdentifier))"
      " WHERE bundleIdentifier IS NOT NULL;"));
  return store.execute(
      "CREATE TABLE IF NOT EXISTS FileItem ("
      " id INTEGER PRIMARY KEY,"
      " path TEXT NOT NULL UNIQUE,"
      " name TEXT NOT NULL,"
      " nameLowercase TEXT NOT NULL,"
      " fileExtension TEXT NOT NULL,"
      " size INTEGER NOT NULL DEFAULT 0,"
      " modifiedDate REAL NOT NULL,"
      " createdDate REAL NOT NULL,"
      " lastIndexed REAL NOT NULL,"
      " contentPreview TEXT);");
}

}  // namespace

std::vector<MigrationStep> baseMigrationSteps() {
  return {
      {1, "catalog tables: IndexedItem, FileItem", createCatalogTables},
  };
}

}  // namespace pallix
