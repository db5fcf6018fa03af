#include "app/search/FileSearchSql.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "app/search/RegexCache.h"
#include "core/Strings.h"

namespace pallix::filesearch {

namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::optional<double> optionalColumnDouble(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

std::optional<std::string> optionalColumnText(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

std::string columnText(sqlite3_stmt* stmt, int column) {
  return optionalColumnText(stmt, column).value_or("");
}

std::optional<Date> optionalDate(std::optional<double> seconds) {
  if (!seconds) return std::nullopt;
  return dateFromSecondsSince1970(*seconds);
}

std::string_view argumentText(sqlite3_value* value) {
  const unsigned char* text = sqlite3_value_text(value);
  return std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_value_bytes(value)));
}

template <std::string (*Transform)(std::string_view)>
void textFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const std::string out = Transform(argumentText(arguments[0]));
  sqlite3_result_text(context, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// The compiled pattern and its matcher stay with the statement (SQLite's
// auxiliary data for a constant argument), so a scan compiles nothing per row.
void regexpFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  auto* matcher = static_cast<CompiledRegex::Matcher*>(sqlite3_get_auxdata(context, 0));
  if (!matcher) {
    auto compiled = RegexCache::shared().lookup(std::string(argumentText(arguments[0])));
    if (!compiled.ok()) {
      const std::string& message = compiled.error().description();
      sqlite3_result_error(context, message.data(), static_cast<int>(message.size()));
      return;
    }
    sqlite3_set_auxdata(context, 0, new CompiledRegex::Matcher(compiled.value()),
                        [](void* p) { delete static_cast<CompiledRegex::Matcher*>(p); });
    matcher = static_cast<CompiledRegex::Matcher*>(sqlite3_get_auxdata(context, 0));
    if (!matcher) {
      sqlite3_result_error_nomem(context);
      return;
    }
  }
  if (sqlite3_value_type(arguments[1]) == SQLITE_NULL) {
    sqlite3_result_int(context, 0);
    return;
  }
  sqlite3_result_int(context, matcher->findIn(argumentText(arguments[1])) ? 1 : 0);
}

int registerFunctions(sqlite3* db) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  int rc = sqlite3_create_function_v2(db, "pallix_lowercase", 1, flags, nullptr, textFunction<lowercase>, nullptr,
                                      nullptr, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_create_function_v2(db, "pallix_casefold", 1, flags, nullptr, textFunction<caseFold>, nullptr, nullptr,
                                    nullptr);
  }
  if (rc == SQLITE_OK) {
    rc = sqlite3_create_function_v2(db, "pallix_regexp", 2, flags, nullptr, regexpFunction, nullptr, nullptr, nullptr);
  }
  return rc;
}

const char* sqlOperator(Comparison comparison) {
  switch (comparison) {
    case Comparison::equal:
      return "=";
    case Comparison::greaterThan:
      return ">";
    case Comparison::lessThan:
      return "<";
    case Comparison::greaterOrEqual:
      return ">=";
    case Comparison::lessOrEqual:
      return "<=";
  }
  return "=";
}

}  // namespace

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Status Statement::prepare(sqlite3* db, const std::string& sql, const std::vector<Binding>& bindings) {
  db_ = db;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK && std::string_view(sqlite3_errmsg(db)).find("no such function: pallix_") == 0) {
    // First search on this connection.
    const int registered = registerFunctions(db);
    if (registered != SQLITE_OK) return storeError(db, "Failed to register the file search functions", registered);
    rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
  }
  if (rc != SQLITE_OK) return storeError(db, "Failed to prepare the file search query", rc);
  for (size_t k = 0; k < bindings.size(); ++k) {
    const int index = static_cast<int>(k + 1);
    if (const auto* i = std::get_if<int64_t>(&bindings[k])) {
      sqlite3_bind_int64(stmt_, index, *i);
    } else if (const auto* d = std::get_if<double>(&bindings[k])) {
      sqlite3_bind_double(stmt_, index, *d);
    } else {
      const std::string& s = std::get<std::string>(bindings[k]);
      sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
  }
  return okStatus();
}

Result<bool> Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return storeError(db_, "Failed to fetch files", rc);
}

Error storeError(sqlite3* db, const std::string& what, int code) {
  return Error("PersistentStoreError", code, what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
}

const char* const kItemColumns =
    "i.id, i.path, i.itemTypeRaw, i.name, i.searchName, i.fileExtension, i.sizeBytes, i.createdDate, "
    "i.modifiedDate, i.lastIndexed, i.bundleIdentifier, i.version, i.build, i.isPinned, i.lastUsed, "
    "i.domainPriority, i.fileCategoryRaw, i.parentBundleIdentifier";

IndexedItem readItem(sqlite3_stmt* s) {
  IndexedItem item;
  item.id = sqlite3_column_int64(s, 0);
  item.path = columnText(s, 1);
  item.itemTypeRaw = columnText(s, 2);
  item.name = columnText(s, 3);
  item.searchName = columnText(s, 4);
  item.fileExtension = optionalColumnText(s, 5);
  item.sizeBytes = sqlite3_column_int64(s, 6);
  item.createdDate = optionalDate(optionalColumnDouble(s, 7));
  item.modifiedDate = optionalDate(optionalColumnDouble(s, 8));
  item.lastIndexed = dateFromSecondsSince1970(sqlite3_column_double(s, 9));
  item.bundleIdentifier = optionalColumnText(s, 10);
  item.version = optionalColumnText(s, 11);
  item.build = optionalColumnText(s, 12);
  item.isPinned = sqlite3_column_int64(s, 13) != 0;
  item.lastUsed = optionalDate(optionalColumnDouble(s, 14));
  item.domainPriority = sqlite3_column_int64(s, 15);
  item.fileCategoryRaw = optionalColumnText(s, 16);
  item.parentBundleIdentifier = optionalColumnText(s, 17);
  return item;
}

std::string lowercase(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::string caseFold(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::vector<std::string> extensionList(std::string_view value) {
  std::vector<std::string> out;
  for (const std::string& entry : splitString(lowercase(value), ',')) {
    const std::string_view trimmed = trimWhitespace(entry);
    if (!trimmed.empty()) out.emplace_back(trimmed);
  }
  return out;
}

std::optional<int64_t> parseByteCount(const std::string& value) {
  if (value.empty()) return std::nullopt;
  int64_t bytes = 0;
  size_t i = value[0] == '-' ? 1 : 0;
  if (i == value.size()) return std::nullopt;
  for (; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return std::nullopt;
    if (__builtin_mul_overflow(bytes, int64_t{10}, &bytes) || __builtin_add_overflow(bytes, value[i] - '0', &bytes)) {
      return std::nullopt;
    }
  }
  return value[0] == '-' ? -bytes : bytes;
}

std::optional<DateRange> dateFilterRange(const std::string& value, const DateContext& context) {
  if (auto relative = relativeDateFrom(value)) return relativeDateRange(*relative, context);
  if (auto date = QueryParser::parseDate(value, context)) return calendarDayRange(*date, context);
  return std::nullopt;
}

StoreCondition storeCondition(const Filter& filter, const DateContext& context) {
  switch (filter.key) {
    case FilterKey::ext: {
      // The catalog stores extensions lowercased.
      const std::vector<std::string> entries = extensionList(filter.value);
      if (entries.empty()) return StoreCondition{"0", {}};
      StoreCondition condition{"i.fileExtension IN (", {}};
      for (size_t k = 0; k < entries.size(); ++k) {
        condition.sql += k == 0 ? "?" : ", ?";
        condition.bindings.emplace_back(entries[k]);
      }
      condition.sql += ")";
      return condition;
    }
    case FilterKey::type: {
      const std::optional<FileCategory> category = fileCategoryFrom(filter.value);
      if (!category) return StoreCondition{"0", {}};
      return StoreCondition{"i.fileCategoryRaw = ?", {std::string(fileCategoryRawValue(*category))}};
    }
    case FilterKey::before:
    case FilterKey::after: {
      const std::optional<Date> date = QueryParser::parseDate(filter.value, context);
      if (!date) return StoreCondition{"0", {}};
      // Open ranges hold many rows: the date index followed by a sort costs
      // more than the name index or a scan ("+" keeps the index out).
      return StoreCondition{filter.key == FilterKey::before ? "+i.modifiedDate < ?" : "+i.modifiedDate > ?",
                            {secondsSince1970(*date)}};
    }
    case FilterKey::modified:
    case FilterKey::created: {
      const std::optional<DateRange> range = dateFilterRange(filter.value, context);
      if (!range) return StoreCondition{"0", {}};
      // A day or two is selective enough for the date index; wider ranges scan.
      const bool narrow = range->end - range->start <= std::chrono::hours(48);
      const char* column = filter.key == FilterKey::modified ? (narrow ? "i.modifiedDate" : "+i.modifiedDate")
                                                             : (narrow ? "i.createdDate" : "+i.createdDate");
      return StoreCondition{std::string("(") + column + " >= ? AND " + column + " < ?)",
                            {secondsSince1970(range->start), secondsSince1970(range->end)}};
    }
    case FilterKey::size: {
      const std::optional<int64_t> bytes = parseByteCount(filter.value);
      if (!bytes) return StoreCondition{"0", {}};
      // Exact sizes use the size index; size ranges hold many rows and scan.
      const Comparison comparison = filter.comparison.value_or(Comparison::equal);
      return StoreCondition{std::string(comparison == Comparison::equal ? "i.sizeBytes " : "+i.sizeBytes ") +
                                sqlOperator(comparison) + " ?",
                            {*bytes}};
    }
    case FilterKey::inFolder: {
      // A value without "/" lies inside one component wherever it occurs in
      // the path; a value with one cannot be inside any component.
      const std::string value = lowercase(filter.value);
      if (value.find('/') != std::string::npos) return StoreCondition{"0", {}};
      return StoreCondition{"instr(pallix_lowercase(i.path), ?) > 0", {value}};
    }
    case FilterKey::app:
      return StoreCondition{"instr(pallix_lowercase(i.parentBundleIdentifier), ?) > 0", {lowercase(filter.value)}};
  }
  return StoreCondition{"0", {}};
}

StoreCondition regexCondition(const CompiledRegex& regex) {
  // The name alone, or the name as shown with its extension.
  return StoreCondition{
      "(pallix_regexp(?, i.name) OR (i.fileExtension IS NOT NULL AND i.fileExtension <> '' AND "
      "pallix_regexp(?, i.name || '.' || i.fileExtension)))",
      {regex.pattern(), regex.pattern()}};
}

StoreCondition phraseCondition(const std::string& phrase) {
  return StoreCondition{"instr(pallix_casefold(i.path), ?) > 0", {caseFold(phrase)}};
}

std::string ftsPhrase(std::string_view text) {
  std::string phrase = "\"";
  for (char c : text) {
    phrase += c;
    if (c == '"') phrase += '"';
  }
  return phrase + "\"";
}

Result<std::vector<std::string>> trigramsStartingWith(sqlite3* db, const std::string& prefix, int maxTrigrams) {
  Statement statement;
  PALLIX_RETURN_IF_ERROR(statement.prepare(
      db, "SELECT term FROM IndexedItemNameIndexTerms WHERE term >= ?1 AND term < ?1 || char(1114111) LIMIT ?2",
      {prefix, int64_t{maxTrigrams} + 1}));
  std::vector<std::string> trigrams;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    if (!row) break;
    trigrams.push_back(columnText(statement.get(), 0));
  }
  return trigrams;
}

}  // namespace pallix::filesearch
