#include "app/platform/SqliteStatement.h"

#include "app/platform/PersistentStore.h"
#include "core/Strings.h"

namespace pallix {

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
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}
void SqliteStatement::bindBlob(int index, std::string_view bytes) {
  sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}
void SqliteStatement::bindValue(int index, const Binding& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) {
    bind(index, *i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    bind(index, *d);
  } else {
    bind(index, std::string_view(std::get<std::string>(value)));
  }
}
void SqliteStatement::bindAll(const std::vector<Binding>& values) {
  for (size_t k = 0; k < values.size(); ++k) bindValue(static_cast<int>(k + 1), values[k]);
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
  return PersistentStore::error(rc, stringPrintf("SQLite step failed: %s (%d)", sqlite3_errmsg(db_), rc));
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
std::string_view SqliteStatement::columnBlob(int column) const {
  const void* bytes = sqlite3_column_blob(stmt_, column);
  if (!bytes) return {};
  return std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

}  // namespace pallix
