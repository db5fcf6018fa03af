// MessagesDatabase: read-only access to the Messages database ("chat.db"),
// shared by the text search, the chunk indexer and the backup import.
//
// FullDiskAccessController says where the database is and whether this
// process may read it. MessagesDatabaseConnection is one short-lived
// read-only connection (opened per operation, closed when it goes away, its
// statements first); no statement ever writes. The helpers convert the
// database's dates (signed nanoseconds since 2001-01-01 00:00:00 UTC).
//
// Threading: a connection and its statements belong to one thread at a
// time; the controller is shareable (its path is fixed, its snapshot cache
// thread-safe). A StatementObserver is called on whichever thread prepares.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/messages/MessagesSnapshot.h"
#include "app/platform/SqliteStatement.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "core/UserDefaults.h"

namespace pallix {

// Seconds from 1970-01-01 to the database's reference instant, 2001-01-01.
inline constexpr double kMessagesReferenceDateOffset = 978307200.0;

// A database date as seconds since 1970: nanoseconds / 1e9 (as a double)
// added to the reference instant.
inline double messageDateSecondsSince1970(int64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / 1'000'000'000.0 + kMessagesReferenceDateOffset;
}
// Seconds since 1970 in the database encoding: seconds since the reference
// instant times 1e9, truncated to 64 bits.
inline int64_t messageDateNanoseconds(double secondsSince1970) {
  return static_cast<int64_t>((secondsSince1970 - kMessagesReferenceDateOffset) * 1'000'000'000.0);
}

class MessagesDatabaseConnection;
using StatementObserver = std::function<void(const std::string& sql)>;

// Where the Messages database is and whether it can be read. On Linux
// "Full Disk Access" means: the file exists and this process can read it.
class FullDiskAccessController {
 public:
  // The database under the home folder: a copy of a Mac's Messages database.
  static constexpr const char* kDefaultRelativePath = "Library/Messages/Chat.db";
  // Set by `pallix messages import-backup`; replaces the default everywhere.
  static constexpr const char* kDatabasePathKey = "MessagesPreferences.databasePath";

  // `defaults` may be null (no override). Computed once, here.
  // `snapshotFolder` is where private copies of a WAL-mode database go
  // (empty: under $TMPDIR).
  FullDiskAccessController(const std::string& home, const UserDefaults* defaults,
                           const std::string& snapshotFolder = "");

  const std::string& chatDatabasePath() const { return path_; }
  // True when the path was recorded by a backup import.
  bool isImportedPath() const { return imported_; }
  // The access test every entry point runs first.
  bool isFullDiskAccessGranted() const;
  // What the privacy pane stands for here: how to make the database
  // readable. Callers show it to the person.
  std::string openSettings() const;
  // A read-only connection to the database that creates no file beside it.
  Result<std::unique_ptr<MessagesDatabaseConnection>> openDatabase(StatementObserver observer = {}) const;

 private:
  std::string path_;
  bool imported_ = false;
  std::shared_ptr<MessagesSnapshotCache> snapshots_;
};

// Opening and preparing fail with errors in the domain "SQLite" (SQLite's
// result code and message), stepping with the statement's own errors;
// callers wrap them in their own error types.
class MessagesDatabaseConnection {
 public:
  // sqlite3_open_v2(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, no VFS)
  // for a database in rollback-journal mode; a WAL-mode one is read from an
  // immutable private copy that `snapshots` makes (null: a copy of this
  // connection's own under $TMPDIR). `observer` sees every statement text
  // before it is prepared (tests check the texts). The message is "Unknown
  // error" when not even a handle was made.
  static Result<std::unique_ptr<MessagesDatabaseConnection>> open(const std::string& path,
                                                                  StatementObserver observer = {},
                                                                  MessagesSnapshotCache* snapshots = nullptr);
  // How long a statement waits for a lock another connection holds before it
  // fails with "database is locked".
  static constexpr int kBusyTimeoutMilliseconds = 1000;
  ~MessagesDatabaseConnection();
  MessagesDatabaseConnection(const MessagesDatabaseConnection&) = delete;
  MessagesDatabaseConnection& operator=(const MessagesDatabaseConnection&) = delete;

  Result<SqliteStatement> prepare(const std::string& sql);
  // Names of the tables in the database (sqlite_master), and of one table's columns.
  Result<std::vector<std::string>> tableNames();
  Result<std::vector<std::string>> columnNames(const std::string& table);

 private:
  MessagesDatabaseConnection(sqlite3* db, StatementObserver observer, std::shared_ptr<const void> snapshot)
      : db_(db), observer_(std::move(observer)), snapshot_(std::move(snapshot)) {}
  sqlite3* db_;
  StatementObserver observer_;
  std::shared_ptr<const void> snapshot_;  // the private copy read, released after the close
};

// The tables and columns every message feature reads.
struct MessagesSchemaRequirement {
  std::string table;
  std::vector<std::string> columns;
};
const std::vector<MessagesSchemaRequirement>& messagesSchemaRequirements();
// Checks that the connection's database has them; the error names what is missing.
Status checkMessagesSchema(MessagesDatabaseConnection& connection);

}  // namespace pallix
