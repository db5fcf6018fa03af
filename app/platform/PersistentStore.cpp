#include "app/platform/PersistentStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {

// ---- SqliteStatement ----

SqliteStatement::~SqliteStatement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    if (stmt_) sqlite3_finalize(stmt_);
    db_ = other.db_;
    stmt_ = other.stmt_;
    other.stmt_ = nullptr;
  }
  return *this;
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}
void SqliteStatement::bindNull(int index) {
  sqlite3_bind_null(stmt_, index);
}
void SqliteStatement::bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
}
void SqliteStatement::bind(int index, double value) {
  sqlite3_bind_double(stmt_, index, value);
}
void SqliteStatement::bind(int index, std::string_view value) {
  // Bound text must stay alive until the statement is stepped or reset
  // (every caller binds and steps within one call).
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
}
void SqliteStatement::bind(int index, const std::optional<std::string>& value) {
  if (value) {
    bind(index, std::string_view(*value));
  } else {
    bindNull(index);
  }
}
void SqliteStatement::bindOptional(int index, const std::optional<double>& value) {
  if (value) {
    bind(index, *value);
  } else {
    bindNull(index);
  }
}

Result<bool> SqliteStatement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return Error(PersistentStore::kErrorDomain, rc, stringPrintf("SQLite step failed: %s (%d)", sqlite3_errmsg(db_), rc));
}

Status SqliteStatement::run() {
  while (true) {
    auto row = step();
    if (!row.ok()) {
      sqlite3_reset(stmt_);
      return row.error();
    }
    if (!row.value()) break;
  }
  sqlite3_reset(stmt_);
  return okStatus();
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}
int64_t SqliteStatement::columnInt(int column) const {
  return sqlite3_column_int64(stmt_, column);
}
double SqliteStatement::columnDouble(int column) const {
  return sqlite3_column_double(stmt_, column);
}
std::string SqliteStatement::columnText(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}
std::optional<std::string> SqliteStatement::columnOptionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return columnText(column);
}
std::optional<double> SqliteStatement::columnOptionalDouble(int column) const {
  if (isNull(column)) return std::nullopt;
  return columnDouble(column);
}

// ---- PersistentStore ----

PersistentStore::~PersistentStore() {
  if (db_) sqlite3_close_v2(db_);
}

Error PersistentStore::sqliteError(const std::string& what, int code) const {
  const char* message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  return Error(kErrorDomain, code, stringPrintf("%s: %s (%d)", what.c_str(), message, code));
}

Status PersistentStore::execute(const std::string& sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return Error(kErrorDomain, rc, stringPrintf("SQLite statement failed: %s (%d)", text.c_str(), rc));
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

Status PersistentStore::migrate(const std::vector<MigrationStep>& steps) {
  std::vector<MigrationStep> ordered = steps;
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.version < b.version; });
  const int latest = ordered.empty() ? 0 : ordered.back().version;
  PALLIX_ASSIGN_OR_RETURN(int64_t current, queryInteger(*this, "PRAGMA user_version"));
  if (current > latest) {
    return Error(kErrorDomain, SQLITE_MISMATCH,
                 stringPrintf("the store has schema version %lld, newer than this build knows (%d); it cannot be "
                              "migrated",
                              static_cast<long long>(current), latest));
  }
  if (current > 0) {
    auto name = metadataValue("schemaName");
    if (!name.ok()) {
      return Error(kErrorDomain, SQLITE_MISMATCH, "the store has no schema name: " + name.error().description());
    }
    if (name.value() != std::optional<std::string>(kSchemaName)) {
      return Error(kErrorDomain, SQLITE_MISMATCH,
                   "the store uses schema \"" + name.value().value_or("") + "\", not \"" + kSchemaName + "\"");
    }
  }
  for (const MigrationStep& step : ordered) {
    if (step.version <= current) continue;
    PALLIX_RETURN_IF_ERROR(begin());
    Status applied = step.apply(*this);
    if (applied.ok()) applied = execute(stringPrintf("PRAGMA user_version = %d", step.version));
    if (!applied.ok()) {
      rollback();
      return applied.error().withContext(
          stringPrintf("Migration step %d (%s) failed", step.version, step.description.c_str()));
    }
    PALLIX_RETURN_IF_ERROR(commit());
    current = step.version;
  }
  schemaVersion_ = static_cast<int>(current);
  return okStatus();
}

Result<std::unique_ptr<PersistentStore>> PersistentStore::open(const std::string& path,
                                                               const std::vector<MigrationStep>& steps,
                                                               bool verifyIntegrity) {
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<PersistentStore> store(new PersistentStore(db, path));
  if (rc != SQLITE_OK) return store->sqliteError("Failed to open store at " + path, rc);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, 5000);
  auto fail = [&](const Error& error) { return error.withContext("Failed to open store at " + path); };
  // A new store gets 16 KiB pages (an existing one keeps its own): a
  // catalog of a few hundred thousand records is written, indexed and read
  // back in a quarter of the page operations that 4 KiB pages take. This is
  // only possible before the store turns to WAL.
  Status pageSize = store->execute("PRAGMA page_size = 16384");
  if (!pageSize.ok()) return fail(pageSize.error());
  if (path != ":memory:") {
    Status wal = store->execute("PRAGMA journal_mode = WAL");
    if (!wal.ok()) return fail(wal.error());
  }
  // A 32 MiB page cache keeps the catalog's indexes resident across the
  // many small commits of a snapshot; checkpoints run every 1000 pages
  // (16 MiB of log).
  Status pragmas = store->execute(
      "PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY; PRAGMA cache_size = -32768; "
      "PRAGMA wal_autocheckpoint = 1000");
  if (!pragmas.ok()) return fail(pragmas.error());
  // A header that parses is not enough: damaged pages surface here rather
  // than later in the middle of a scan.
  if (verifyIntegrity) {
    auto check = store->prepare("PRAGMA quick_check");
    if (!check.ok()) return fail(check.error());
    auto row = check.value().step();
    if (!row.ok()) return fail(row.error());
    std::string verdict = row.value() ? check.value().columnText(0) : "no result";
    if (verdict != "ok") return fail(Error(kErrorDomain, SQLITE_CORRUPT, "integrity check failed: " + verdict));
  }
  Status migrated = store->migrate(steps);
  if (!migrated.ok()) return fail(migrated.error());
  return store;
}

// ---- Opening with recovery ----

namespace {

Logger& appDelegateLogger() {
  static Logger logger("AppDelegate");
  return logger;
}

TelemetryParameters errorParameters(const Error& error) {
  return {{"errorDomain", error.domain()},
          {"errorCode", std::to_string(error.code())},
          {"description", error.description()}};
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
  if (!isDirectory(dirs.data)) {
    Status created = createDirectories(dirs.data);
    if (!created.ok()) {
      TelemetryService::signal("AppDelegate.setupModelContainer.createDirectoryFailed",
                               errorParameters(created.error()));
      appDelegateLogger().error("Pallix.AppDelegate: Failed to create data directory: %s",
                                created.error().description().c_str());
    }
  }
  const std::string storePath = dirs.storePath();
  auto first = PersistentStore::open(storePath, steps, verifyIntegrity);
  if (first.ok()) return first;
  const Error& failure = first.error();
  TelemetryService::signal("AppDelegate.setupModelContainer.initializationFailed", errorParameters(failure));
  appDelegateLogger().error("Pallix.AppDelegate: Failed to open the store, removing it: %s",
                            failure.description().c_str());
  Status removed = removePersistentStoreArtifacts(storePath);
  if (removed.ok()) {
    TelemetryService::signal("AppDelegate.setupModelContainer.removedStore");
  } else {
    TelemetryService::signal("AppDelegate.setupModelContainer.removeStoreFailed", errorParameters(removed.error()));
    appDelegateLogger().error("Pallix.AppDelegate: Failed to remove the store: %s",
                              removed.error().description().c_str());
  }
  auto second = PersistentStore::open(storePath, steps);
  if (!second.ok()) {
    return Error(second.error().domain(), second.error().code(),
                 "Failed to recover database: " + second.error().description());
  }
  TelemetryService::signal("AppDelegate.setupModelContainer.recovered");
  return second;
}

}  // namespace pallix
