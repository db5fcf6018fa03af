#include "app/search/FileSearchSql.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "app/platform/PersistentStore.h"
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

Result<SqliteStatement> prepareStatement(sqlite3* db, const std::string& sql, const std::vector<Binding>& bindings) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK && std::string_view(sqlite3_errmsg(db)).find("no such function: pallix_") == 0) {
    // First search on this connection.
    const int registered = registerFunctions(db);
    if (registered != SQLITE_OK) return storeError(db, "Failed to register the file search functions", registered);
    rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
  }
  if (rc != SQLITE_OK) return storeError(db, "Failed to prepare the file search query", rc);
  SqliteStatement statement(db, stmt);
  statement.bindAll(bindings);
  return statement;
}

Error storeError(sqlite3* db, const std::string& what, int code) {
  return PersistentStore::error(code, what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
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
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement statement,
      prepareStatement(
          db, "SELECT term FROM IndexedItemNameIndexTerms WHERE term >= ?1 AND term < ?1 || char(1114111) LIMIT ?2",
          {prefix, int64_t{maxTrigrams} + 1}));
  std::vector<std::string> trigrams;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    if (!row) break;
    trigrams.push_back(statement.columnText(0));
  }
  return trigrams;
}

}  // namespace pallix::filesearch
