#include "app/search/FileSearcher.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <variant>

#include "app/search/TextFolding.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {

namespace {

const Logger& logger() {
  static const Logger* instance = new Logger("FileSearcher");
  return *instance;
}

constexpr const char* kColumns =
    "i.id, i.path, i.itemTypeRaw, i.name, i.searchName, i.fileExtension, i.sizeBytes, i.createdDate, "
    "i.modifiedDate, i.lastIndexed, i.bundleIdentifier, i.version, i.build, i.isPinned, i.lastUsed, "
    "i.domainPriority, i.fileCategoryRaw, i.parentBundleIdentifier";

// The folded "name.extension" of a row, as the scan path compares it.
std::string searchTextExpression(const char* row) {
  const std::string r(row);
  return r + ".searchName || CASE WHEN " + r + ".fileExtension IS NULL OR " + r +
         ".fileExtension = '' THEN '' ELSE '.' || " + r + ".fileExtension END";
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string lowercase(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

// Case folding without diacritic folding, for case-insensitive containment.
std::string caseFold(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

size_t codePointCount(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
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

Error storeError(sqlite3* db, const std::string& what, int code) {
  return Error("PersistentStoreError", code, what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
}

const char* itemTypeRaw(std::optional<IndexedItem::ItemType> type) {
  if (!type) return "file";
  switch (*type) {
    case IndexedItem::ItemType::app:
      return "app";
    case IndexedItem::ItemType::folder:
      return "folder";
    case IndexedItem::ItemType::file:
      return "file";
  }
  return "file";
}

// The lowercased, non-empty entries of an ext: value.
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

// The range a modified:/created: value selects: a relative word's range or the
// calendar day of an absolute date.
std::optional<DateRange> dateFilterRange(const std::string& value, const DateContext& context) {
  if (auto relative = relativeDateFrom(value)) return relativeDateRange(*relative, context);
  if (auto date = QueryParser::parseDate(value, context)) return calendarDayRange(*date, context);
  return std::nullopt;
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

using Binding = std::variant<int64_t, double, std::string>;

// A store-side condition equivalent to matchesFilter (NULL counts as false).
struct StoreCondition {
  std::string sql;
  std::vector<Binding> bindings;
};

constexpr const char* kLowercaseFunction = "pallix_lowercase";

// pallix_lowercase(text): the Unicode lowercase of a text (NULL stays NULL),
// so that store-side containment agrees with the in-memory rules.
void lowercaseFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const unsigned char* text = sqlite3_value_text(arguments[0]);
  const std::string lowered = lowercase(
      std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_value_bytes(arguments[0]))));
  sqlite3_result_text(context, lowered.data(), static_cast<int>(lowered.size()), SQLITE_TRANSIENT);
}

int registerLowercaseFunction(sqlite3* db) {
  return sqlite3_create_function_v2(db, kLowercaseFunction, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                    nullptr, lowercaseFunction, nullptr, nullptr, nullptr);
}

std::optional<StoreCondition> storeCondition(const Filter& filter, const DateContext& context) {
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
      // Open ranges hold many rows: a scan in row order fills the fetch sooner
      // than the date index followed by a sort ("+" keeps the index out).
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
      const std::string value = lowercase(filter.value);
      if (contains(value, "/")) return StoreCondition{"0", {}};
      return StoreCondition{"instr(pallix_lowercase(i.path), ?) > 0", {value}};
    }
    case FilterKey::app:
      return StoreCondition{"instr(pallix_lowercase(i.parentBundleIdentifier), ?) > 0", {lowercase(filter.value)}};
  }
  return std::nullopt;
}

// An owned prepared statement, finalized on destruction.
class Statement {
 public:
  ~Statement() { sqlite3_finalize(stmt_); }
  Status prepare(sqlite3* db, const std::string& sql) {
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) return storeError(db, "Failed to prepare the file search query", rc);
    return okStatus();
  }
  void bind(int index, const Binding& binding) {
    if (auto* i = std::get_if<int64_t>(&binding)) {
      sqlite3_bind_int64(stmt_, index, *i);
    } else if (auto* d = std::get_if<double>(&binding)) {
      sqlite3_bind_double(stmt_, index, *d);
    } else {
      const std::string& s = std::get<std::string>(binding);
      sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The query as an FTS5 phrase: every character literal.
std::string ftsPhrase(std::string_view text) {
  std::string phrase = "\"";
  for (char c : text) {
    phrase += c;
    if (c == '"') phrase += '"';
  }
  return phrase + "\"";
}

// The indexed trigrams that start with `prefix` (one or two characters), at
// most `maxTrigrams` + 1 of them.
Result<std::vector<std::string>> trigramsStartingWith(sqlite3* db, const std::string& prefix, int maxTrigrams) {
  Statement statement;
  PALLIX_RETURN_IF_ERROR(statement.prepare(
      db, "SELECT term FROM IndexedItemNameIndexTerms WHERE term >= ?1 AND term < ?1 || char(1114111) LIMIT ?2"));
  statement.bind(1, Binding(prefix));
  statement.bind(2, Binding(int64_t{maxTrigrams} + 1));
  std::vector<std::string> trigrams;
  while (true) {
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return storeError(db, "Failed to read the file name index", rc);
    trigrams.push_back(columnText(statement.get(), 0));
  }
  return trigrams;
}

// The id of the row at `offset` in id order; none when there are fewer rows.
Result<std::optional<int64_t>> rowIdAtOffset(sqlite3* db, int64_t offset) {
  Statement statement;
  PALLIX_RETURN_IF_ERROR(statement.prepare(db, "SELECT id FROM IndexedItem ORDER BY id LIMIT 1 OFFSET ?"));
  statement.bind(1, Binding(offset));
  const int rc = sqlite3_step(statement.get());
  if (rc == SQLITE_DONE) return std::optional<int64_t>();
  if (rc != SQLITE_ROW) return storeError(db, "Failed to read the catalog", rc);
  return std::optional<int64_t>(sqlite3_column_int64(statement.get(), 0));
}

Result<std::vector<IndexedItem>> fetchItems(sqlite3* db, const std::string& sql, const std::vector<Binding>& bindings) {
  Statement statement;
  Status prepared = statement.prepare(db, sql);
  if (!prepared.ok() && contains(prepared.error().description(), kLowercaseFunction)) {
    // First search on this connection: the helper function is not there yet.
    const int rc = registerLowercaseFunction(db);
    if (rc != SQLITE_OK) return storeError(db, "Failed to register the file search functions", rc);
    prepared = statement.prepare(db, sql);
  }
  PALLIX_RETURN_IF_ERROR(prepared);
  for (size_t k = 0; k < bindings.size(); ++k) statement.bind(static_cast<int>(k + 1), bindings[k]);
  std::vector<IndexedItem> fetched;
  while (true) {
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return storeError(db, "Failed to fetch files", rc);
    fetched.push_back(readItem(statement.get()));
  }
  return fetched;
}

}  // namespace

Result<std::vector<FileSearcher::SearchResult>> FileSearcher::search(sqlite3* db, const ParsedQuery& query, int limit,
                                                                     const DateContext& context,
                                                                     const FileSearchTuning& tuning) {
  const std::string searchText = joinStrings(query.textTerms, " ");
  const std::string foldedText = foldForSearch(searchText);
  int effectiveLimit = std::max(limit, 0);
  if (query.textTerms.empty() && query.exactPhrases.empty())
    effectiveLimit = std::min(effectiveLimit, kFilterOnlyLimit);
  const bool hasPostFetchConstraints =
      !query.excludedFilters.empty() || !query.regexes.empty() || !query.exactPhrases.empty();
  const int64_t fetchLimit = static_cast<int64_t>(effectiveLimit) * (hasPostFetchConstraints ? 3 : 2);
  if (effectiveLimit == 0) return std::vector<SearchResult>();

  // The item type and filter conditions shared by every fetch plan. For files
  // (nearly every row) a scan in row order beats the item type index.
  std::string conditions = query.itemType && *query.itemType != IndexedItem::ItemType::file ? " AND i.itemTypeRaw = ?"
                                                                                            : " AND +i.itemTypeRaw = ?";
  std::vector<Binding> conditionBindings{std::string(itemTypeRaw(query.itemType))};
  auto addCondition = [&](const Filter& filter, bool negated) {
    std::optional<StoreCondition> condition = storeCondition(filter, context);
    if (!condition) return;
    // A NULL result counts as no match; a positive condition stays bare so
    // that the column indexes remain usable.
    conditions += negated ? " AND NOT coalesce((" + condition->sql + "), 0)" : " AND (" + condition->sql + ")";
    for (Binding& b : condition->bindings) conditionBindings.push_back(std::move(b));
  };
  for (const Filter& filter : query.filters) addCondition(filter, false);
  for (const Filter& filter : query.excludedFilters) addCondition(filter, true);

  // Fetches in row order, through the name index for an FTS `match`, else by
  // a scan (containing the text when non-empty, below `idBound` when given).
  auto fetch = [&](const std::optional<std::string>& match,
                   std::optional<int64_t> idBound) -> Result<std::vector<IndexedItem>> {
    std::string sql = std::string("SELECT ") + kColumns;
    std::vector<Binding> bindings;
    if (match) {
      sql += " FROM IndexedItemNameIndex f JOIN IndexedItem i ON i.id = f.rowid WHERE IndexedItemNameIndex MATCH ?";
      bindings.emplace_back(*match);
    } else {
      sql += " FROM IndexedItem i WHERE 1";
      if (!foldedText.empty()) {
        sql += " AND instr(" + searchTextExpression("i") + ", ?) > 0";
        bindings.emplace_back(foldedText);
      }
      if (idBound) {
        sql += " AND i.id < ?";
        bindings.emplace_back(*idBound);
      }
    }
    sql += conditions;
    bindings.insert(bindings.end(), conditionBindings.begin(), conditionBindings.end());
    sql += match ? " ORDER BY f.rowid LIMIT ?" : " ORDER BY i.id LIMIT ?";
    bindings.emplace_back(fetchLimit);
    return fetchItems(db, sql, bindings);
  };

  std::vector<IndexedItem> fetched;
  const size_t length = codePointCount(foldedText);
  if (length >= 3) {
    PALLIX_ASSIGN_OR_RETURN(fetched, fetch(ftsPhrase(foldedText), std::nullopt));
  } else if (length == 0) {
    PALLIX_ASSIGN_OR_RETURN(fetched, fetch(std::nullopt, std::nullopt));
  } else {
    // One or two characters: common text fills the fetch limit within the
    // first rows; rare text is found through the trigrams that start with it
    // (few, with short posting lists). Both give the same rows as a full scan.
    PALLIX_ASSIGN_OR_RETURN(std::optional<int64_t> bound, rowIdAtOffset(db, tuning.shortQueryScanRows));
    PALLIX_ASSIGN_OR_RETURN(fetched, fetch(std::nullopt, bound));
    if (bound && static_cast<int64_t>(fetched.size()) < fetchLimit) {
      PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> trigrams,
                              trigramsStartingWith(db, foldedText, tuning.maxShortQueryTrigrams));
      if (trigrams.empty()) {
        fetched.clear();
      } else if (trigrams.size() <= static_cast<size_t>(tuning.maxShortQueryTrigrams)) {
        std::string match;
        for (const std::string& trigram : trigrams) match += (match.empty() ? "" : " OR ") + ftsPhrase(trigram);
        PALLIX_ASSIGN_OR_RETURN(fetched, fetch(match, std::nullopt));
      } else {
        PALLIX_ASSIGN_OR_RETURN(fetched, fetch(std::nullopt, std::nullopt));
      }
    }
  }
  logger().debug("FileSearcher: fetched %ld items from database (searchQuery: %s)", static_cast<long>(fetched.size()),
                 searchText.c_str());

  std::vector<SearchResult> results;
  for (IndexedItem& item : fetched) {
    if (!matchesAllFilters(item, query, context)) continue;
    results.push_back(SearchResult{std::move(item), 0, MatchType::filterOnly});
  }
  logger().debug("FileSearcher: %ld items passed post-filtering", static_cast<long>(results.size()));
  for (SearchResult& result : results) {
    std::tie(result.relevanceScore, result.matchType) = calculateScore(result.item, searchText, query, context);
  }
  std::stable_sort(results.begin(), results.end(),
                   [](const SearchResult& a, const SearchResult& b) { return a.relevanceScore > b.relevanceScore; });
  if (results.size() > static_cast<size_t>(effectiveLimit)) results.resize(static_cast<size_t>(effectiveLimit));
  return results;
}

bool FileSearcher::matchesAllFilters(const IndexedItem& item, const ParsedQuery& query, const DateContext& context) {
  for (const Filter& filter : query.excludedFilters) {
    if (matchesFilter(item, filter, context)) return false;
  }
  for (const auto& regex : query.regexes) {
    if (!regex || !regex->findIn(item.name)) return false;
  }
  if (!query.exactPhrases.empty()) {
    const std::string path = caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (!contains(path, caseFold(phrase))) return false;
    }
  }
  for (const Filter& filter : query.filters) {
    if (!matchesFilter(item, filter, context)) return false;
  }
  return true;
}

bool FileSearcher::matchesFilter(const IndexedItem& item, const Filter& filter, const DateContext& context) {
  switch (filter.key) {
    case FilterKey::ext: {
      if (!item.fileExtension) return false;
      const std::string extension = lowercase(*item.fileExtension);
      const std::vector<std::string> entries = extensionList(filter.value);
      return std::find(entries.begin(), entries.end(), extension) != entries.end();
    }
    case FilterKey::type: {
      const std::optional<FileCategory> category = fileCategoryFrom(filter.value);
      return category && item.fileCategoryRaw && *item.fileCategoryRaw == fileCategoryRawValue(*category);
    }
    case FilterKey::before:
    case FilterKey::after: {
      const std::optional<Date> date = QueryParser::parseDate(filter.value, context);
      if (!date || !item.modifiedDate) return false;
      return filter.key == FilterKey::before ? *item.modifiedDate < *date : *item.modifiedDate > *date;
    }
    case FilterKey::modified:
    case FilterKey::created: {
      const std::optional<Date>& recordDate = filter.key == FilterKey::modified ? item.modifiedDate : item.createdDate;
      if (!recordDate) return false;
      const std::optional<DateRange> range = dateFilterRange(filter.value, context);
      return range && range->start <= *recordDate && *recordDate < range->end;
    }
    case FilterKey::size: {
      const std::optional<int64_t> bytes = parseByteCount(filter.value);
      if (!bytes) return false;
      switch (filter.comparison.value_or(Comparison::equal)) {
        case Comparison::equal:
          return item.sizeBytes == *bytes;
        case Comparison::greaterThan:
          return item.sizeBytes > *bytes;
        case Comparison::lessThan:
          return item.sizeBytes < *bytes;
        case Comparison::greaterOrEqual:
          return item.sizeBytes >= *bytes;
        case Comparison::lessOrEqual:
          return item.sizeBytes <= *bytes;
      }
      return false;
    }
    case FilterKey::inFolder: {
      // A value without "/" lies inside one component wherever it occurs in
      // the path; a value with one cannot be inside any component.
      const std::string value = lowercase(filter.value);
      return !contains(value, "/") && contains(lowercase(item.path), value);
    }
    case FilterKey::app:
      return item.parentBundleIdentifier && contains(lowercase(*item.parentBundleIdentifier), lowercase(filter.value));
  }
  return false;
}

std::pair<float, FileSearcher::MatchType> FileSearcher::calculateScore(const IndexedItem& item,
                                                                       std::string_view searchText,
                                                                       const ParsedQuery& query,
                                                                       const DateContext& context) {
  const std::string q = foldForSearch(searchText);
  double score = 0.5;
  MatchType type = MatchType::filterOnly;
  if (!q.empty()) {
    const std::string name = foldForSearch(item.name);
    const std::string nameWithExtension =
        item.fileExtension && !item.fileExtension->empty() ? name + "." + foldForSearch(*item.fileExtension) : name;
    const std::string path = foldForSearch(item.path);
    if (name == q || nameWithExtension == q) {
      score = 1.0;
      type = MatchType::exact;
    } else if (startsWith(name, q) || startsWith(nameWithExtension, q)) {
      score = 0.9;
      type = MatchType::prefix;
    } else if (contains(name, q) || contains(nameWithExtension, q)) {
      score = 0.8;
      type = MatchType::substring;
    } else if (contains(path, q)) {
      score = 0.6;
      type = MatchType::substring;
    }
  }
  if (!query.exactPhrases.empty()) {
    const std::string path = caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (contains(path, caseFold(phrase))) score += 0.1;
    }
  }
  if (item.modifiedDate) {
    const double ageSeconds = toSeconds(context.now - *item.modifiedDate);
    if (ageSeconds < 86400) {
      score += 0.15;
    } else if (ageSeconds < 7 * 86400) {
      score += 0.1;
    } else if (ageSeconds < 30 * 86400) {
      score += 0.05;
    }
  }
  return {static_cast<float>(std::clamp(score, 0.0, 1.0)), type};
}

}  // namespace pallix
