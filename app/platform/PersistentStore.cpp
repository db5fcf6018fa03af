#include "app/platform/PersistentStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {

// ---- PersistentStore ----

PersistentStore::~PersistentStore() {
  if (db_) sqlite3_close_v2(db_);
}

Error PersistentStore::sqliteError(const std::string& what, int code) const {
  const char* message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  return error(code, stringPrintf("%s: %s (%d)", what.c_str(), message, code));
}

Status PersistentStore::execute(const std::string& sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return error(rc, stringPrintf("SQLite statement failed: %s (%d)", text.c_str(), rc));
  }
  return okStatus();
}

Result<SqliteStatement> PersistentStore::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) return sqliteError("Failed to prepare statement", rc);
  return SqliteStatement(db_, stmt);
}

Status PersistentStore::begin() {
  return execute("BEGIN IMMEDIATE");
}
Status PersistentStore::commit() {
  return execute("COMMIT");
}
void PersistentStore::rollback() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}
int64_t PersistentStore::totalChanges() const {
  return sqlite3_total_changes64(db_);
}

Result<std::optional<std::string>> PersistentStore::metadataValue(const std::string& key) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, prepare("SELECT value FROM PallixStoreMetadata WHERE key = ?"));
  stmt.bind(1, std::string_view(key));
  PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
  if (!row) return std::optional<std::string>();
  return std::optional<std::string>(stmt.columnText(0));
}

Status PersistentStore::setMetadataValue(const std::string& key, const std::string& value) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          prepare("INSERT OR REPLACE INTO PallixStoreMetadata (key, value) VALUES (?, ?)"));
  stmt.bind(1, std::string_view(key));
  stmt.bind(2, std::string_view(value));
  return stmt.run();
}

namespace {

Result<int64_t> queryInteger(PersistentStore& store, const char* sql) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store.prepare(sql));
  PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
  if (!row) return Error(PersistentStore::kErrorDomain, SQLITE_ERROR, std::string("no result for ") + sql);
  return stmt.columnInt(0);
}

}  // namespace

Result<int> PersistentStore::storedSchemaVersion(int latest) {
  PALLIX_ASSIGN_OR_RETURN(int64_t current, queryInteger(*this, "PRAGMA user_version"));
  if (current > latest) {
    return error(SQLITE_MISMATCH,
                 stringPrintf("the store has schema version %lld, newer than this build knows (%d); it cannot be "
                              "migrated",
                              static_cast<long long>(current), latest));
  }
  if (current > 0) {
    auto name = metadataValue("schemaName");
    if (!name.ok()) {
      if (failureKind(name.error()) == StoreFailure::busy) return name.error();
      return error(SQLITE_MISMATCH, "the store has no schema name: " + name.error().description());
    }
    if (name.value() != std::optional<std::string>(kSchemaName)) {
      return error(SQLITE_MISMATCH,
                   "the store uses schema \"" + name.value().value_or("") + "\", not \"" + kSchemaName + "\"");
    }
  }
  return static_cast<int>(current);
}

namespace {

int latestVersion(const std::vector<MigrationStep>& steps) {
  int latest = 0;
  for (const MigrationStep& step : steps) latest = std::max(latest, step.version);
  return latest;
}

}  // namespace

Status PersistentStore::migrate(const std::vector<MigrationStep>& steps) {
  std::vector<MigrationStep> ordered = steps;
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.version < b.version; });
  const int latest = latestVersion(ordered);
  PALLIX_ASSIGN_OR_RETURN(int current, storedSchemaVersion(latest));
  if (current < latest) {
    // Every pending step commits at once, so a reader never sees half a
    // schema; the version is read again inside the write transaction, as
    // another process may have migrated the store meanwhile.
    PALLIX_RETURN_IF_ERROR(begin());
    auto now = storedSchemaVersion(latest);
    if (!now.ok()) {
      rollback();
      return now.error();
    }
    current = now.value();
    for (const MigrationStep& step : ordered) {
      if (step.version <= current) continue;
      Status applied = step.apply(*this);
      if (applied.ok()) applied = execute(stringPrintf("PRAGMA user_version = %d", step.version));
      if (!applied.ok()) {
        rollback();
        return applied.error().withContext(
            stringPrintf("Migration step %d (%s) failed", step.version, step.description.c_str()));
      }
      current = step.version;
    }
    Status committed = commit();
    if (!committed.ok()) {
      rollback();
      return committed;
    }
  }
  schemaVersion_ = current;
  return okStatus();
}

ErrorCode PersistentStore::canonicalCode(int code) {
  if (code == kNoStoreCode) return ErrorCode::notFound;
  if (code == kStoreNotReadyCode) return ErrorCode::unavailable;
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ErrorCode::busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_MISMATCH:
      return ErrorCode::damaged;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return ErrorCode::permission;
    case SQLITE_INTERRUPT:
      return ErrorCode::cancelled;
    case SQLITE_CANTOPEN:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_NOMEM:
      return ErrorCode::unavailable;
    case SQLITE_MISUSE:
    case SQLITE_RANGE:
    case SQLITE_ERROR:
    default:
      return ErrorCode::internal;
  }
}

Error PersistentStore::error(int code, std::string description) {
  return Error(kErrorDomain, code, std::move(description), canonicalCode(code));
}

StoreFailure PersistentStore::failureKind(const Error& error) {
  if (error.domain() != kErrorDomain) return StoreFailure::other;
  if (error.code() == kNoStoreCode) return StoreFailure::missing;
  if (error.code() == kStoreNotReadyCode) return StoreFailure::notReady;
  switch (error.code() & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return StoreFailure::busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_MISMATCH:
      return StoreFailure::damaged;
    default:
      return StoreFailure::other;
  }
}

namespace {

bool isFilePath(const std::string& path) {
  return path != ":memory:" && !startsWith(path, "file:");
}

// The store and its companions are private, also when an older build made them.
void makeStoreFilesPrivate(const std::string& path) {
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    struct stat info;
    if (::stat(file.c_str(), &info) == 0 && (info.st_mode & 07777) != kPrivateFileMode) {
      ::chmod(file.c_str(), kPrivateFileMode);
    }
  }
}

}  // namespace

namespace {

// SQLite keeps allocation statistics under a global mutex that every
// allocation takes; nothing here reads them. Must precede SQLite's own
// initialisation (a later call fails harmlessly).
void configureSqliteOnce() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)configured;
}

}  // namespace

Result<std::unique_ptr<PersistentStore>> PersistentStore::openOnce(const std::string& path,
                                                                   const std::vector<MigrationStep>& steps,
                                                                   const OpenOptions& options, bool reading) {
  // SQLite's own open() blocks on a FIFO and reads a device without end.
  if (isFilePath(path)) PALLIX_RETURN_IF_ERROR(checkDatabaseFiles(path));
  if (reading && !fileExists(path)) {
    return error(kNoStoreCode, "there is no catalog at " + path + " yet");
  }
  if (!reading && isFilePath(path)) {
    // SQLite gives the "-wal" and "-shm" files the mode of the store file.
    PALLIX_RETURN_IF_ERROR(createFileIfMissing(path));
  }
  configureSqliteOnce();
  sqlite3* db = nullptr;
  const int flags = (reading ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX | (startsWith(path, "file:") ? SQLITE_OPEN_URI : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  std::unique_ptr<PersistentStore> store(new PersistentStore(db, path));
  if (rc != SQLITE_OK) return store->sqliteError("Failed to open store at " + path, rc);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(
      db,
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::min(options.busyTimeout, seconds(5))).count()));
  auto fail = [&](const Error& error) { return error.withContext("Failed to open store at " + path); };
  if (!reading) {
    // A new store gets 16 KiB pages (an existing one keeps its own): a
    // catalog of a few hundred thousand records is written, indexed and read
    // back in a quarter of the page operations that 4 KiB pages take. This is
    // only possible before the store turns to WAL.
    Status pageSize = store->execute("PRAGMA page_size = 16384");
    if (!pageSize.ok()) return fail(pageSize.error());
  }
  if (!reading && isFilePath(path)) {
    Status wal = store->execute("PRAGMA journal_mode = WAL");
    if (!wal.ok()) return fail(wal.error());
    makeStoreFilesPrivate(path);
  }
  // A 32 MiB page cache keeps the catalog's indexes resident across the
  // many small commits of a snapshot; checkpoints run every 1000 pages
  // (16 MiB of log), and a log that one large write made longer is cut back
  // to that size after its checkpoint.
  Status pragmas = store->execute(
      "PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY; PRAGMA cache_size = -32768; "
      "PRAGMA wal_autocheckpoint = 1000; PRAGMA journal_size_limit = 16777216");
  if (!pragmas.ok()) return fail(pragmas.error());
  if (!reading) {
    Status migrated = store->migrate(steps);
    if (!migrated.ok()) return fail(migrated.error());
    // A header that parses is not enough: damaged pages and lost objects
    // surface here rather than later in the middle of a scan.
    if (options.verifyIntegrity && isFilePath(path)) {
      Status sound = store->verifyIntegrity(steps);
      if (!sound.ok()) return fail(sound.error());
    }
    return store;
  }
  const int latest = latestVersion(steps);
  auto version = store->storedSchemaVersion(latest);
  if (!version.ok()) return fail(version.error());
  if (version.value() == 0) return error(kNoStoreCode, "the catalog at " + path + " is still being created");
  if (version.value() < latest) {
    return error(kStoreNotReadyCode,
                 stringPrintf("the catalog at %s has schema version %d; this build needs %d, which the next "
                              "'pallix index' brings it to",
                              path.c_str(), version.value(), latest));
  }
  store->schemaVersion_ = version.value();
  if (options.verifyIntegrity) {
    Status sound = store->verifyIntegrity(steps);
    if (!sound.ok()) return fail(sound.error());
  }
  return store;
}

namespace {

// Retries `attempt` while it fails with busy, until `timeout` has passed.
Result<std::unique_ptr<PersistentStore>> retryWhileBusy(
    Duration timeout, const std::function<Result<std::unique_ptr<PersistentStore>>()>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto result = attempt();
    if (result.ok() || PersistentStore::failureKind(result.error()) != StoreFailure::busy ||
        std::chrono::steady_clock::now() >= deadline) {
      return result;
    }
    // Some busy answers (a store being created or its log recovered) come
    // back without SQLite's own busy handler: wait a little and try again.
    sqlite3_sleep(25);
  }
}

}  // namespace

Result<std::unique_ptr<PersistentStore>> PersistentStore::open(const std::string& path,
                                                               const std::vector<MigrationStep>& steps,
                                                               bool verifyIntegrity) {
  OpenOptions options;
  options.verifyIntegrity = verifyIntegrity;
  return open(path, steps, options);
}

Result<std::unique_ptr<PersistentStore>> PersistentStore::open(const std::string& path,
                                                               const std::vector<MigrationStep>& steps,
                                                               const OpenOptions& options) {
  return retryWhileBusy(options.busyTimeout, [&] { return openOnce(path, steps, options, /*reading=*/false); });
}

Result<std::unique_ptr<PersistentStore>> PersistentStore::openForReading(const std::string& path,
                                                                         const std::vector<MigrationStep>& steps,
                                                                         const OpenOptions& options) {
  return retryWhileBusy(options.busyTimeout, [&] { return openOnce(path, steps, options, /*reading=*/true); });
}

// ---- Opening with recovery ----

namespace {

Logger& appDelegateLogger() {
  static Logger logger("AppDelegate");
  return logger;
}

TelemetryParameters errorParameters(const Error& error) {
  TelemetryParameters parameters = errorTelemetryParameters(error);
  parameters["description"] = error.description();
  return parameters;
}

// Deletes the store and its companions, each only when it exists.
Status removePersistentStoreArtifacts(const std::string& storePath) {
  for (const std::string& path : {storePath, storePath + "-shm", storePath + "-wal"}) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (::unlink(path.c_str()) != 0) return Error::fromErrno("Failed to remove " + path, errno);
  }
  return okStatus();
}

}  // namespace

Result<std::unique_ptr<PersistentStore>> openPersistentStoreWithRecovery(const DataDirectories& dirs,
                                                                         const std::vector<MigrationStep>& steps,
                                                                         bool verifyIntegrity) {
  PersistentStore::OpenOptions options;
  options.verifyIntegrity = verifyIntegrity;
  return openPersistentStoreWithRecovery(dirs, steps, options);
}

Result<std::unique_ptr<PersistentStore>> openPersistentStoreWithRecovery(const DataDirectories& dirs,
                                                                         const std::vector<MigrationStep>& steps,
                                                                         const PersistentStore::OpenOptions& options,
                                                                         std::optional<Error>* replacedDamage) {
  Status created = createPrivateDirectory(dirs.data);
  if (!created.ok()) {
    TelemetryService::signal("AppDelegate.setupModelContainer.createDirectoryFailed", errorParameters(created.error()));
    appDelegateLogger().error("Pallix.AppDelegate: Failed to create data directory: %s",
                              created.error().description().c_str());
  }
  // Files an older build left readable by others (its umask) become private.
  for (const std::string& folder : {dirs.data, dirs.cache}) {
    if (Status tightened = tightenPermissions(folder); !tightened.ok()) {
      appDelegateLogger().error("Pallix.AppDelegate: %s", tightened.error().description().c_str());
    }
  }
  const std::string storePath = dirs.storePath();
  auto first = PersistentStore::open(storePath, steps, options);
  if (first.ok()) return first;
  const Error& failure = first.error();
  TelemetryService::signal("AppDelegate.setupModelContainer.initializationFailed", errorParameters(failure));
  if (PersistentStore::failureKind(failure) != StoreFailure::damaged) {
    // Busy, locked, unreadable or full: the catalog is fine and stays.
    appDelegateLogger().error("Pallix.AppDelegate: Failed to open the store (kept): %s", failure.description().c_str());
    return failure;
  }
  appDelegateLogger().error("Pallix.AppDelegate: The store is damaged, removing it: %s", failure.description().c_str());
  Status removed = removePersistentStoreArtifacts(storePath);
  if (removed.ok()) {
    TelemetryService::signal("AppDelegate.setupModelContainer.removedStore");
  } else {
    TelemetryService::signal("AppDelegate.setupModelContainer.removeStoreFailed", errorParameters(removed.error()));
    appDelegateLogger().error("Pallix.AppDelegate: Failed to remove the store: %s",
                              removed.error().description().c_str());
  }
  auto second = PersistentStore::open(storePath, steps, options);
  if (!second.ok()) {
    return Error(second.error().domain(), second.error().code(),
                 "Failed to recover database: " + second.error().description());
  }
  TelemetryService::signal("AppDelegate.setupModelContainer.recovered");
  if (replacedDamage) *replacedDamage = failure;
  return second;
}

}  // namespace pallix
