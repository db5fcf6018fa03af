// PersistentStore: the SQLite database "Pallix.sqlite" that holds the catalog
// (and later the clipboard history) under the versioned schema
// "PallixModelSchemaV4".
//
// The schema is an ordered list of migration steps; PRAGMA user_version holds
// the number of the last step applied. Subsystems extend the schema by
// appending steps after baseMigrationSteps() (PersistentStoreSchema.cpp):
// the catalog's catalogMigrationSteps() is the whole schema, and every caller
// names the list it opens with (there is no default, so nothing opens
// "Pallix.sqlite" with part of its schema); a store whose version is newer than the last
// known step, or that names another schema, cannot be migrated and fails to
// open. The connection runs in WAL mode with synchronous=NORMAL.
//
// Several processes may use one store: one writer at a time (the
// StoreWriterLock decides which) and any number of readers, which open it
// read-only and never create, migrate or delete it. Busy and locked are not
// damage: opening waits up to a busy time-out and retries. The store file and
// its "-wal" and "-shm" companions are private (0600).
//
// Threading: one connection, used by one thread at a time (the catalog uses
// it from the main runner only). The store owns the connection.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/SqliteStatement.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

class PersistentStore;

// One schema change. `apply` runs inside the migration's transaction.
struct MigrationStep {
  int version = 0;
  std::string description;
  std::function<Status(PersistentStore&)> apply;
};

// The first steps of "PallixModelSchemaV4", which the platform itself
// defines; the catalog appends the rest (catalogMigrationSteps()).
std::vector<MigrationStep> baseMigrationSteps();

// Why a store could not be opened (see PersistentStore::failureKind).
enum class StoreFailure {
  busy,      // another process holds a lock: wait and retry, never delete
  damaged,   // corrupt, not a database, or a schema this build cannot use: only this is ever deleted
  missing,   // no store yet (a reader found no file, or one still being created)
  notReady,  // a reader found an older schema that the next writer migrates
  other,     // permissions, disk full, I/O errors: never deleted
};

class PersistentStore {
 public:
  static constexpr const char* kSchemaName = "PallixModelSchemaV4";
  // Codes are SQLite's (extended) result codes, plus the two below.
  static constexpr const char* kErrorDomain = "PersistentStoreError";
  static constexpr int kNoStoreCode = 1001;
  static constexpr int kStoreNotReadyCode = 1002;

  struct OpenOptions {
    // PRAGMA quick_check first (it reads every page: worth it at start-up,
    // too slow for a command that answers one query).
    bool verifyIntegrity = true;
    // How long a busy or locked store is waited for before opening fails.
    Duration busyTimeout = seconds(10);
  };

  ~PersistentStore();
  PersistentStore(const PersistentStore&) = delete;
  PersistentStore& operator=(const PersistentStore&) = delete;

  // Opens (creating if missing) the database at `path` and migrates it with
  // `steps`. Fails on a file that is not a database, a corrupt one, or a
  // schema it cannot migrate. ":memory:" opens a private in-memory store.
  // `verifyIntegrity` runs PRAGMA quick_check first (it reads every page:
  // worth it at start-up, too slow for a command that answers one query).
  static Result<std::unique_ptr<PersistentStore>> open(const std::string& path, const std::vector<MigrationStep>& steps,
                                                       bool verifyIntegrity = true);
  static Result<std::unique_ptr<PersistentStore>> open(const std::string& path, const std::vector<MigrationStep>& steps,
                                                       const OpenOptions& options);
  // Opens an existing store read-only: never creates, migrates or deletes it.
  // Fails with kNoStoreCode when there is no store yet (or it is still being
  // created), kStoreNotReadyCode when its schema is older than `steps`.
  static Result<std::unique_ptr<PersistentStore>> openForReading(const std::string& path,
                                                                 const std::vector<MigrationStep>& steps,
                                                                 const OpenOptions& options);
  static StoreFailure failureKind(const Error& error);
  // An error of this store's domain: `code` is SQLite's result code (or one
  // of the two above), and sets the canonical code (busy, damaged, ...).
  static Error error(int code, std::string description);
  static ErrorCode canonicalCode(int code);

  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }
  int schemaVersion() const { return schemaVersion_; }

  Status execute(const std::string& sql);
  Result<SqliteStatement> prepare(std::string_view sql);
  Status begin();
  Status commit();
  void rollback();
  // Rows changed by INSERT/UPDATE/DELETE since the store was opened (tests
  // and benchmarks use it to prove that nothing was written).
  int64_t totalChanges() const;

  // PRAGMA quick_check, then whether every table, index and trigger that
  // `steps` create is present. Fails with SQLITE_CORRUPT (a damaged store)
  // when not; reads every page.
  Status verifyIntegrity(const std::vector<MigrationStep>& steps);

  // A small key/value table for store-level metadata ("PallixStoreMetadata").
  Result<std::optional<std::string>> metadataValue(const std::string& key);
  Status setMetadataValue(const std::string& key, const std::string& value);

  // An Error in kErrorDomain quoting SQLite's message for `code`.
  Error sqliteError(const std::string& what, int code) const;

 private:
  PersistentStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  static Result<std::unique_ptr<PersistentStore>> openOnce(const std::string& path,
                                                           const std::vector<MigrationStep>& steps,
                                                           const OpenOptions& options, bool reading);
  // The stored schema version after checking the schema name; fails for a
  // version newer than `latest` or another schema.
  Result<int> storedSchemaVersion(int latest);
  Status migrate(const std::vector<MigrationStep>& steps);

  sqlite3* db_ = nullptr;
  std::string path_;
  int schemaVersion_ = 0;
};

// Opens the store at `dirs.storePath()` for writing with one automatic
// recovery; the caller must hold the StoreWriterLock. Creates the data
// directory (0700; "Pallix.AppDelegate: Failed to create data directory: "
// and "AppDelegate.setupModelContainer.createDirectoryFailed" on failure). A
// store that cannot be opened is reported
// ("AppDelegate.setupModelContainer.initializationFailed"); only a damaged one
// (StoreFailure::damaged) is deleted with its "-shm" and "-wal" companions
// ("...removedStore" / "...removeStoreFailed") and opened once more
// ("...recovered"); any other failure is returned as it is and the store is
// kept. A second failure returns an error whose description starts "Failed to
// recover database: "; the caller decides that it is fatal. When a damaged
// store was replaced, `replacedDamage` (if given) receives what was wrong.
Result<std::unique_ptr<PersistentStore>> openPersistentStoreWithRecovery(const DataDirectories& dirs,
                                                                         const std::vector<MigrationStep>& steps,
                                                                         bool verifyIntegrity = true);
Result<std::unique_ptr<PersistentStore>> openPersistentStoreWithRecovery(
    const DataDirectories& dirs, const std::vector<MigrationStep>& steps, const PersistentStore::OpenOptions& options,
    std::optional<Error>* replacedDamage = nullptr);

}  // namespace pallix
