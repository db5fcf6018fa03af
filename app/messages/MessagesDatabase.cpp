#include "app/messages/MessagesDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

Error sqliteError(sqlite3* db, int code) {
  const char* message = db ? sqlite3_errmsg(db) : nullptr;
  return Error("SQLite", code, message ? message : "Unknown error");
}

}  // namespace

// ---------------------------------------------------------------------------
// FullDiskAccessController

FullDiskAccessController::FullDiskAccessController(const std::string& home, const UserDefaults* defaults,
                                                   const std::string& snapshotFolder)
    : snapshots_(std::make_shared<MessagesSnapshotCache>(snapshotFolder)) {
  if (defaults) {
    if (auto path = defaults->stringValue(kDatabasePathKey); path && !path->empty()) {
      path_ = *path;
      imported_ = true;
      return;
    }
  }
  path_ = home + "/" + kDefaultRelativePath;
}

bool FullDiskAccessController::isFullDiskAccessGranted() const {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  auto fd = openRegularFile(path_, O_RDONLY);
  if (!fd.ok()) return false;
  ::close(fd.value());
  return true;
}

Result<std::unique_ptr<MessagesDatabaseConnection>> FullDiskAccessController::openDatabase(
    StatementObserver observer) const {
  return MessagesDatabaseConnection::open(path_, std::move(observer), snapshots_.get());
}

std::string FullDiskAccessController::openSettings() const {
  struct stat st {};
  bool exists = ::stat(path_.c_str(), &st) == 0;
  std::string out;
  if (imported_ && !exists) {
    return "The Messages database imported from a backup, " + inQuotes(path_) +
           ", is gone. Import the backup again: pallix messages import-backup DIR";
  }
  if (exists) {
    out = "The Messages database " + inQuotes(path_) + " cannot be read by this user. Make it readable (chmod u+r " +
          path_ + ")";
  } else {
    out = "There is no Messages database at " + inQuotes(path_) +
          ". Copy a Mac's Library/Messages/chat.db there (as Chat.db)";
  }
  out +=
      ", or import the SMS database of a phone backup made with idevicebackup2: "
      "pallix messages import-backup DIR";
  return out;
}

// ---------------------------------------------------------------------------
// MessagesDatabaseConnection

Result<std::unique_ptr<MessagesDatabaseConnection>> MessagesDatabaseConnection::open(const std::string& path,
                                                                                     StatementObserver observer,
                                                                                     MessagesSnapshotCache* snapshots) {
  // SQLite's own open() blocks on a FIFO and reads a device without end.
  PALLIX_RETURN_IF_ERROR(checkDatabaseFiles(path));
  std::optional<MessagesSnapshotCache> ownCache;
  if (!snapshots) snapshots = &ownCache.emplace("");
  auto readable = snapshots->readable(path);
  if (!readable.ok()) {
    const std::string where = snapshots->folder().empty() ? "a temporary folder" : inQuotes(snapshots->folder());
    return Error("SQLite", SQLITE_CANTOPEN,
                 inQuotes(path) +
                     " is in WAL mode, which cannot be read in place without creating files beside it, and a "
                     "private copy in " +
                     where + " failed: " + readable.error().description());
  }
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | (readable->isSnapshot ? SQLITE_OPEN_URI : 0);
  int rc = sqlite3_open_v2(readable->path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Error error = sqliteError(db, rc);
    if (db) sqlite3_close(db);
    return error;
  }
  // The owning application writes in short transactions, and the first reader
  // of a WAL database rebuilds its shared index while holding a lock that
  // briefly excludes other readers, this process's own included.
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  return std::unique_ptr<MessagesDatabaseConnection>(
      new MessagesDatabaseConnection(db, std::move(observer), std::move(readable->keepAlive)));
}

MessagesDatabaseConnection::~MessagesDatabaseConnection() {
  // Statements are finalised by their owners first; close_v2 defers the
  // close should one still be alive.
  sqlite3_close_v2(db_);
}

Result<SqliteStatement> MessagesDatabaseConnection::prepare(const std::string& sql) {
  if (observer_) observer_(sql);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) {
    if (stmt) sqlite3_finalize(stmt);
    return sqliteError(db_, rc);
  }
  return SqliteStatement(db_, stmt);
}

Result<std::vector<std::string>> MessagesDatabaseConnection::tableNames() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, prepare("SELECT name FROM sqlite_master WHERE type = 'table'"));
  std::vector<std::string> names;
  for (;;) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    names.push_back(stmt.columnOptionalText(0).value_or(""));
  }
  return names;
}

Result<std::vector<std::string>> MessagesDatabaseConnection::columnNames(const std::string& table) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, prepare("SELECT name FROM pragma_table_info(?)"));
  stmt.bind(1, table);
  std::vector<std::string> names;
  for (;;) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    names.push_back(stmt.columnOptionalText(0).value_or(""));
  }
  return names;
}

// ---------------------------------------------------------------------------
// Schema

const std::vector<MessagesSchemaRequirement>& messagesSchemaRequirements() {
  // ROWID is implicit in every table and is not listed by table_info.
  static const std::vector<MessagesSchemaRequirement> kTables = {
      {"message", {"guid", "text", "date", "is_from_me", "handle_id", "attributedBody"}},
      {"handle", {"id"}},
      {"chat", {"guid", "display_name"}},
      {"chat_message_join", {"chat_id", "message_id"}},
      {"chat_handle_join", {"chat_id"}},
      {"attachment", {"filename", "mime_type"}},
      {"message_attachment_join", {"message_id", "attachment_id"}},
  };
  return kTables;
}

Status checkMessagesSchema(MessagesDatabaseConnection& connection) {
  PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> tables, connection.tableNames());
  std::vector<std::string> missing;
  for (const MessagesSchemaRequirement& req : messagesSchemaRequirements()) {
    if (std::find(tables.begin(), tables.end(), req.table) == tables.end()) {
      missing.push_back("table " + req.table);
      continue;
    }
    PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> columns, connection.columnNames(req.table));
    for (const std::string& column : req.columns) {
      if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
        missing.push_back("column " + req.table + "." + column);
      }
    }
  }
  if (missing.empty()) return okStatus();
  return Error("MessagesSchema", 1, "not a Messages database: missing " + joinStrings(missing, ", "));
}

}  // namespace pallix
