// SqliteStatement: the one owned prepared statement every SQLite user of the
// application goes through (the persistent store, the file searcher, the
// Messages database reader). Bind indexes start at 1; bound text is copied.
// step() returns true while a row is available; a failed step is an error in
// the persistent store's domain carrying SQLite's result code, so
// PersistentStore::failureKind can tell damage from a busy store. Owned by
// the caller, used on one thread at a time; must not outlive its connection.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Error.h"

namespace pallix {

class SqliteStatement {
 public:
  // A value bound to a placeholder, for statements whose values are chosen
  // at run time.
  using Binding = std::variant<int64_t, double, std::string>;

  SqliteStatement() = default;
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool valid() const { return stmt_ != nullptr; }
  void reset();
  void bindNull(int index);
  void bind(int index, int64_t value);
  void bind(int index, double value);
  void bind(int index, std::string_view value);
  void bind(int index, const std::optional<std::string>& value);
  void bind(int index, const std::string& value) { bind(index, std::string_view(value)); }
  // Binds `bytes` as a blob (copied).
  void bindBlob(int index, std::string_view bytes);
  void bindValue(int index, const Binding& value);
  void bindOptional(int index, const std::optional<double>& value);
  // Binds `values` to placeholders 1, 2, ... in order.
  void bindAll(const std::vector<Binding>& values);
  // Runs one step: a row (true), done (false) or an error.
  Result<bool> step();
  // Steps to completion, then resets.
  Status run();

  bool isNull(int column) const;
  int64_t columnInt(int column) const;
  double columnDouble(int column) const;
  std::string columnText(int column) const;
  std::optional<std::string> columnOptionalText(int column) const;
  std::optional<double> columnOptionalDouble(int column) const;
  // The blob's bytes (empty for NULL or an empty blob), valid until the next
  // step or reset.
  std::string_view columnBlob(int column) const;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace pallix
