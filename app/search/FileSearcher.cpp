#include "app/search/FileSearcher.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "app/search/FileSearchSql.h"
#include "app/search/TextFolding.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {

using filesearch::Binding;
using filesearch::Statement;

namespace {

const Logger& logger() {
  static const Logger* instance = new Logger("FileSearcher");
  return *instance;
}

// The indexed text of a row: its folded name, ".extension" when it has one,
// and two U+0001 sentinels so that every character of the name starts a
// trigram (which lets one- and two-character queries use the index) and so
// that "^" phrases ending in the sentinels match whole names.
std::string indexedTextExpression(const char* row) {
  const std::string r(row);
  return r + ".searchName || CASE WHEN " + r + ".fileExtension IS NULL OR " + r +
         ".fileExtension = '' THEN '' ELSE '.' || " + r + ".fileExtension END || char(1, 1)";
}

// The folded "name.extension" of the row `i`, as matching compares it.
constexpr const char* kNameWithExtension =
    "(i.searchName || CASE WHEN i.fileExtension IS NULL OR i.fileExtension = '' THEN '' ELSE '.' || "
    "i.fileExtension END)";

Status execute(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return okStatus();
  std::string text = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return Error("PersistentStoreError", rc, "Failed to create the file search indexes: " + text);
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

size_t codePointCount(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// How a record matched, best first; the store query orders by it.
enum Tier : int { kExact = 0, kPrefix = 1, kSubstring = 2, kFilterOnly = 3 };
constexpr std::array<int, 4> kTierScore = {100, 90, 80, 50};
constexpr std::array<FileMatchType, 4> kTierMatchType = {FileMatchType::exact, FileMatchType::prefix,
                                                         FileMatchType::substring, FileMatchType::filterOnly};
// Recency buckets, freshest first: modified less than 1, 7 and 30 days ago,
// then older or undated. Scores are in hundredths so that SQL and C++ agree.
constexpr int kBuckets = 4;
constexpr std::array<int, kBuckets> kRecencyBonus = {15, 10, 5, 0};
constexpr std::array<double, kBuckets - 1> kBucketAgeSeconds = {86400, 7 * 86400, 30 * 86400};
constexpr int kPhraseBonus = 10;
// The text found only in the folders. Never in search results, which match
// names; calculateScore keeps the whole table.
constexpr int kFolderMatchScore = 60;

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

int bucketFor(std::optional<Date> modified, const DateContext& context) {
  if (!modified) return kBuckets - 1;
  const double seconds = secondsSince1970(*modified);
  const double now = secondsSince1970(context.now);
  for (int b = 0; b < kBuckets - 1; ++b) {
    if (seconds > now - kBucketAgeSeconds[static_cast<size_t>(b)]) return b;
  }
  return kBuckets - 1;
}

int scoreHundredths(int tier, int bucket, size_t phrases) {
  return std::min<int>(100, kTierScore[static_cast<size_t>(tier)] + kPhraseBonus * static_cast<int>(phrases) +
                                kRecencyBonus[static_cast<size_t>(bucket)]);
}

// One (tier, bucket) pair: all its records have the same score.
struct ScoreClass {
  int tier;
  int bucket;
};

// The classes in result order: score descending, then tier, then recency.
std::vector<ScoreClass> classesBestFirst(bool hasText, size_t phrases) {
  std::vector<ScoreClass> classes;
  for (int tier : hasText ? std::vector<int>{kExact, kPrefix, kSubstring} : std::vector<int>{kFilterOnly}) {
    for (int bucket = 0; bucket < kBuckets; ++bucket) classes.push_back({tier, bucket});
  }
  std::stable_sort(classes.begin(), classes.end(), [&](const ScoreClass& a, const ScoreClass& b) {
    return scoreHundredths(a.tier, a.bucket, phrases) > scoreHundredths(b.tier, b.bucket, phrases);
  });
  return classes;
}

// Where the records of one tier come from: the name index (an FTS5 query in
// row order), a scan in row order, or nowhere (no record can match).
struct Driver {
  enum Kind { index, scan, none } kind = scan;
  std::string match;
};

// A record chosen for the answer, in answer order.
struct Candidate {
  int64_t id;
  int tier;
  int bucket;
};

}  // namespace

Status FileSearcher::validate(const ParsedQuery& query) {
  if (!query.problems.empty()) return Error(kErrorDomain, kInvalidQuery, query.problems.front().description);
  if (query.isEmpty()) {
    return Error(kErrorDomain, kEmptyQuery,
                 "the query has nothing to search for; give words, \"a phrase\", /a regular expression/ or a filter "
                 "such as ext:pdf");
  }
  size_t conditions = query.regexes.size() + query.exactPhrases.size();
  for (const auto* filters : {&query.filters, &query.excludedFilters}) {
    for (const Filter& filter : *filters) {
      conditions +=
          filter.key == FilterKey::ext ? std::max<size_t>(1, filesearch::extensionList(filter.value).size()) : 1;
    }
  }
  if (conditions > kMaxQueryConditions) {
    return Error(kErrorDomain, kQueryTooComplex,
                 "the query has " + std::to_string(conditions) +
                     " filters, extensions, phrases and regular expressions; one search takes at most " +
                     std::to_string(kMaxQueryConditions));
  }
  return okStatus();
}

Status FileSearcher::installNameIndex(sqlite3* db) {
  // Filter-only queries ("ext:zip", "size:>1gb", "modified:today") look rows
  // up through these instead of scanning the catalog.
  PALLIX_RETURN_IF_ERROR(
      execute(db,
              "CREATE INDEX IF NOT EXISTS IndexedItem_fileExtension ON IndexedItem (fileExtension);"
              "CREATE INDEX IF NOT EXISTS IndexedItem_fileCategoryRaw ON IndexedItem (fileCategoryRaw);"
              "CREATE INDEX IF NOT EXISTS IndexedItem_modifiedDate ON IndexedItem (modifiedDate);"
              "CREATE INDEX IF NOT EXISTS IndexedItem_sizeBytes ON IndexedItem (sizeBytes);"));
  Statement exists;
  PALLIX_RETURN_IF_ERROR(
      exists.prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'IndexedItemNameIndex'"));
  if (sqlite3_step(exists.get()) == SQLITE_ROW) return okStatus();
  const std::string newText = indexedTextExpression("new");
  const std::string oldRow = "DELETE FROM IndexedItemNameIndex WHERE rowid = old.id;";
  return execute(db,
                 "CREATE VIRTUAL TABLE IndexedItemNameIndex USING fts5(searchText, tokenize = 'trigram');"
                 "CREATE VIRTUAL TABLE IndexedItemNameIndexTerms USING fts5vocab(IndexedItemNameIndex, 'row');"
                 "CREATE TRIGGER IndexedItemNameIndex_insert AFTER INSERT ON IndexedItem BEGIN "
                 " INSERT INTO IndexedItemNameIndex (rowid, searchText) VALUES (new.id, " +
                     newText +
                     "); END;"
                     "CREATE TRIGGER IndexedItemNameIndex_delete AFTER DELETE ON IndexedItem BEGIN " +
                     oldRow +
                     " END;"
                     "CREATE TRIGGER IndexedItemNameIndex_update AFTER UPDATE OF id, searchName, fileExtension "
                     "ON IndexedItem BEGIN " +
                     oldRow + " INSERT INTO IndexedItemNameIndex (rowid, searchText) VALUES (new.id, " + newText +
                     "); END;"
                     "INSERT INTO IndexedItemNameIndex (rowid, searchText) SELECT i.id, " +
                     indexedTextExpression("i") + " FROM IndexedItem i;");
}

Result<std::vector<FileSearcher::SearchResult>> FileSearcher::search(sqlite3* db, const ParsedQuery& query, int limit,
                                                                     const DateContext& context,
                                                                     const FileSearchTuning& tuning) {
  PALLIX_ASSIGN_OR_RETURN(FileSearchPage page, searchPage(db, query, limit, context, tuning));
  return std::move(page.results);
}

Result<FileSearchPage> FileSearcher::searchPage(sqlite3* db, const ParsedQuery& query, int limit,
                                                const DateContext& context, const FileSearchTuning& tuning) {
  PALLIX_RETURN_IF_ERROR(validate(query));
  const std::string searchText = joinStrings(query.textTerms, " ");
  const std::string q = foldForSearch(searchText);
  const bool hasText = !q.empty();
  const bool capped = query.textTerms.empty() && query.exactPhrases.empty();
  const int effectiveLimit = capped ? std::min(std::max(limit, 0), kFilterOnlyLimit) : std::max(limit, 0);
  FileSearchPage page;
  if (effectiveLimit == 0) return page;

  // Every constraint of the query is a store condition, so the rows the store
  // returns are exactly the answer. For files (nearly every row) a scan in
  // row order beats the item type index.
  std::string conditions = query.itemType && *query.itemType != IndexedItem::ItemType::file ? " AND i.itemTypeRaw = ?"
                                                                                            : " AND +i.itemTypeRaw = ?";
  std::vector<Binding> conditionBindings{std::string(itemTypeRaw(query.itemType))};
  auto add = [&](filesearch::StoreCondition condition, bool negated) {
    // A NULL result counts as no match; a positive condition stays bare so
    // that the column indexes remain usable.
    conditions += negated ? " AND NOT coalesce((" + condition.sql + "), 0)" : " AND (" + condition.sql + ")";
    for (Binding& b : condition.bindings) conditionBindings.push_back(std::move(b));
  };
  for (const Filter& filter : query.filters) add(filesearch::storeCondition(filter, context), false);
  for (const Filter& filter : query.excludedFilters) add(filesearch::storeCondition(filter, context), true);
  for (const std::string& phrase : query.exactPhrases) add(filesearch::phraseCondition(phrase), false);
  for (const auto& regex : query.regexes) {
    if (regex) add(filesearch::regexCondition(*regex), false);
  }

  // Name rules: the text's first occurrence in "name.extension" must start
  // inside the name, so "pdf" does not find every PDF while "report.pdf" is
  // still an exact match. Tiers: 0 exact, 1 prefix, 2 substring.
  const std::string ne = kNameWithExtension;
  const std::string nameRule = hasText ? "instr(" + ne + ", ?) BETWEEN 1 AND length(i.searchName)" : "1";
  const std::vector<Binding> nameRuleBindings = hasText ? std::vector<Binding>{q} : std::vector<Binding>{};
  const std::string tierCase =
      hasText ? "CASE WHEN i.searchName = ? OR " + ne + " = ? THEN 0 WHEN instr(" + ne + ", ?) = 1 THEN 1 ELSE 2 END"
              : "3";
  auto tierPredicate = [&](int tier, std::vector<Binding>& bindings) -> std::string {
    switch (tier) {
      case kExact:
        bindings.insert(bindings.end(), {q, q});
        return "(i.searchName = ? OR " + ne + " = ?) AND length(i.searchName) > 0";
      case kPrefix:
        bindings.insert(bindings.end(), {q, q, q});
        return "instr(" + ne + ", ?) = 1 AND length(i.searchName) > 0 AND i.searchName <> ? AND " + ne + " <> ?";
      case kSubstring:
        bindings.push_back(q);
        return "instr(" + ne + ", ?) BETWEEN 2 AND length(i.searchName)";
      default:
        return "1";
    }
  };
  const double now = secondsSince1970(context.now);
  // "indexed" leaves the date index usable; otherwise "+" keeps it out.
  auto bucketPredicate = [&](int bucket, bool indexed, std::vector<Binding>& bindings) -> std::string {
    const std::string column = indexed ? "i.modifiedDate" : "+i.modifiedDate";
    const auto b = static_cast<size_t>(bucket);
    if (bucket == kBuckets - 1) {
      bindings.push_back(now - kBucketAgeSeconds[b - 1]);
      return "(i.modifiedDate IS NULL OR " + column + " <= ?)";
    }
    bindings.push_back(now - kBucketAgeSeconds[b]);
    if (bucket == 0) return column + " > ?";
    bindings.push_back(now - kBucketAgeSeconds[b - 1]);
    return column + " > ? AND " + column + " <= ?";
  };

  // Records modified recently are few: when a fresh bucket holds few rows,
  // all of its matches are read through the date index at once instead of
  // searching each of its tiers by name.
  std::array<std::optional<std::array<std::vector<int64_t>, 4>>, kBuckets - 1> byDate;
  for (int bucket = 0; bucket < kBuckets - 1; ++bucket) {
    std::vector<Binding> bindings;
    const std::string range = bucketPredicate(bucket, true, bindings);
    bindings.emplace_back(tuning.freshRowsReadByDate + 1);
    Statement count;
    PALLIX_RETURN_IF_ERROR(
        count.prepare(db, "SELECT count(*) FROM (SELECT 1 FROM IndexedItem i WHERE " + range + " LIMIT ?)", bindings));
    PALLIX_ASSIGN_OR_RETURN(bool counted, count.step());
    if (!counted || sqlite3_column_int64(count.get(), 0) > tuning.freshRowsReadByDate) continue;
    // Placeholders in statement order: tier, range, name rule, conditions.
    std::vector<Binding> ordered;
    if (hasText) ordered.insert(ordered.end(), {q, q, q});
    ordered.insert(ordered.end(), bindings.begin(), bindings.end() - 1);
    ordered.insert(ordered.end(), nameRuleBindings.begin(), nameRuleBindings.end());
    ordered.insert(ordered.end(), conditionBindings.begin(), conditionBindings.end());
    const std::string sql = "SELECT i.id, " + tierCase + " FROM IndexedItem i WHERE " + range + " AND " + nameRule;
    Statement rows;
    // No ORDER BY: sorting by id would tempt the planner into a scan in row
    // order; the few ids are sorted here instead.
    PALLIX_RETURN_IF_ERROR(rows.prepare(db, sql + conditions, ordered));
    auto& tiers = byDate[static_cast<size_t>(bucket)].emplace();
    while (true) {
      PALLIX_ASSIGN_OR_RETURN(bool row, rows.step());
      if (!row) break;
      tiers[static_cast<size_t>(sqlite3_column_int(rows.get(), 1))].push_back(sqlite3_column_int64(rows.get(), 0));
    }
    for (auto& ids : tiers) std::sort(ids.begin(), ids.end());
  }

  // The name index for each tier: "^" anchors a phrase at the start of the
  // indexed text and the U+0001 sentinels mark its end. One- and
  // two-character texts are spelled as the indexed trigrams that start with
  // them; too many of those and a scan is cheaper.
  const size_t length = codePointCount(q);
  auto trigramDriver = [&](const std::string& start, const std::string& anchor) -> Result<Driver> {
    PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> trigrams,
                            filesearch::trigramsStartingWith(db, start, tuning.maxShortQueryTrigrams));
    if (trigrams.empty()) return Driver{Driver::none, ""};
    if (trigrams.size() > static_cast<size_t>(tuning.maxShortQueryTrigrams)) return Driver{Driver::scan, ""};
    Driver driver{Driver::index, ""};
    for (const std::string& t : trigrams)
      driver.match += (driver.match.empty() ? "" : " OR ") + anchor + filesearch::ftsPhrase(t);
    return driver;
  };
  auto driverFor = [&](int tier) -> Result<Driver> {
    if (!hasText) return Driver{Driver::scan, ""};
    const std::string end = length >= 2 ? std::string("\x01", 1) : std::string("\x01\x01", 2);
    switch (tier) {
      case kExact: {
        const std::string whole = "^" + filesearch::ftsPhrase(q + (length >= 3 ? std::string("\x01\x01", 2) : end));
        if (length >= 2) return Driver{Driver::index, whole + " OR ^" + filesearch::ftsPhrase(q + ".")};
        PALLIX_ASSIGN_OR_RETURN(Driver withExtension, trigramDriver(q + ".", "^"));
        if (withExtension.kind == Driver::scan) return withExtension;
        if (withExtension.kind == Driver::index) return Driver{Driver::index, whole + " OR " + withExtension.match};
        return Driver{Driver::index, whole};
      }
      case kPrefix:
        return length >= 3 ? Driver{Driver::index, "^" + filesearch::ftsPhrase(q)} : trigramDriver(q, "^");
      default:
        return length >= 3 ? Driver{Driver::index, filesearch::ftsPhrase(q)} : trigramDriver(q, "");
    }
  };
  std::array<std::optional<Driver>, 4> drivers;

  std::vector<Candidate> chosen;
  const size_t wanted = static_cast<size_t>(effectiveLimit);
  for (const ScoreClass& cls : classesBestFirst(hasText, query.exactPhrases.size())) {
    if (chosen.size() >= wanted) break;
    const auto bucket = static_cast<size_t>(cls.bucket);
    if (bucket < byDate.size() && byDate[bucket]) {
      for (int64_t id : (*byDate[bucket])[static_cast<size_t>(cls.tier)]) {
        if (chosen.size() >= wanted) break;
        chosen.push_back({id, cls.tier, cls.bucket});
      }
      continue;
    }
    auto& driver = drivers[static_cast<size_t>(cls.tier)];
    if (!driver) {
      PALLIX_ASSIGN_OR_RETURN(Driver made, driverFor(cls.tier));
      driver = std::move(made);
    }
    if (driver->kind == Driver::none) continue;
    std::vector<Binding> bindings;
    std::string sql;
    if (driver->kind == Driver::index) {
      sql =
          "SELECT i.id FROM IndexedItemNameIndex f JOIN IndexedItem i ON i.id = f.rowid WHERE "
          "IndexedItemNameIndex MATCH ?";
      bindings.emplace_back(driver->match);
    } else {
      sql = "SELECT i.id FROM IndexedItem i WHERE 1";
    }
    sql += " AND " + tierPredicate(cls.tier, bindings);
    sql += " AND " + bucketPredicate(cls.bucket, false, bindings);
    sql += conditions;
    bindings.insert(bindings.end(), conditionBindings.begin(), conditionBindings.end());
    sql += driver->kind == Driver::index ? " ORDER BY f.rowid LIMIT ?" : " ORDER BY i.id LIMIT ?";
    bindings.emplace_back(static_cast<int64_t>(wanted - chosen.size()));
    Statement rows;
    PALLIX_RETURN_IF_ERROR(rows.prepare(db, sql, bindings));
    while (true) {
      PALLIX_ASSIGN_OR_RETURN(bool row, rows.step());
      if (!row) break;
      chosen.push_back({sqlite3_column_int64(rows.get(), 0), cls.tier, cls.bucket});
    }
  }
  logger().debug("FileSearcher: fetched %ld items from database (searchQuery: %s)", static_cast<long>(chosen.size()),
                 searchText.c_str());

  if (!chosen.empty()) {
    std::string ids;
    for (const Candidate& c : chosen) ids += (ids.empty() ? "" : ", ") + std::to_string(c.id);
    Statement rows;
    PALLIX_RETURN_IF_ERROR(rows.prepare(
        db, std::string("SELECT ") + filesearch::kItemColumns + " FROM IndexedItem i WHERE i.id IN (" + ids + ")"));
    std::unordered_map<int64_t, IndexedItem> items;
    while (true) {
      PALLIX_ASSIGN_OR_RETURN(bool row, rows.step());
      if (!row) break;
      IndexedItem item = filesearch::readItem(rows.get());
      items.emplace(item.id, std::move(item));
    }
    for (const Candidate& c : chosen) {
      auto it = items.find(c.id);
      if (it == items.end()) continue;
      const int score = scoreHundredths(c.tier, c.bucket, query.exactPhrases.size());
      page.results.push_back(SearchResult{std::move(it->second), static_cast<float>(score) / 100.0f,
                                          kTierMatchType[static_cast<size_t>(c.tier)]});
    }
  }

  if (capped && limit > kFilterOnlyLimit && page.results.size() == static_cast<size_t>(kFilterOnlyLimit)) {
    std::vector<Binding> bindings = conditionBindings;
    bindings.emplace_back(kMatchCountBound);
    Statement count;
    PALLIX_RETURN_IF_ERROR(count.prepare(
        db, "SELECT count(*) FROM (SELECT 1 FROM IndexedItem i WHERE 1" + conditions + " LIMIT ?)", bindings));
    PALLIX_ASSIGN_OR_RETURN(bool counted, count.step());
    const int64_t matches = counted ? sqlite3_column_int64(count.get(), 0) : 0;
    if (matches > kFilterOnlyLimit) page.cut = FileSearchCut{kFilterOnlyLimit, matches, matches >= kMatchCountBound};
  }
  return page;
}

bool FileSearcher::matchesAllFilters(const IndexedItem& item, const ParsedQuery& query, const DateContext& context) {
  for (const Filter& filter : query.excludedFilters) {
    if (matchesFilter(item, filter, context)) return false;
  }
  for (const auto& regex : query.regexes) {
    if (!regex || !regex->findIn(item.name)) return false;
  }
  if (!query.exactPhrases.empty()) {
    const std::string path = filesearch::caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (!contains(path, filesearch::caseFold(phrase))) return false;
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
      const std::string extension = filesearch::lowercase(*item.fileExtension);
      const std::vector<std::string> entries = filesearch::extensionList(filter.value);
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
      const std::optional<DateRange> range = filesearch::dateFilterRange(filter.value, context);
      return range && range->start <= *recordDate && *recordDate < range->end;
    }
    case FilterKey::size: {
      const std::optional<int64_t> bytes = filesearch::parseByteCount(filter.value);
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
      const std::string value = filesearch::lowercase(filter.value);
      return !contains(value, "/") && contains(filesearch::lowercase(item.path), value);
    }
    case FilterKey::app:
      return item.parentBundleIdentifier &&
             contains(filesearch::lowercase(*item.parentBundleIdentifier), filesearch::lowercase(filter.value));
  }
  return false;
}

std::pair<float, FileSearcher::MatchType> FileSearcher::calculateScore(const IndexedItem& item,
                                                                       std::string_view searchText,
                                                                       const ParsedQuery& query,
                                                                       const DateContext& context) {
  const std::string q = foldForSearch(searchText);
  int tier = kFilterOnly;
  int base = kTierScore[kFilterOnly];
  if (!q.empty()) {
    const std::string name = foldForSearch(item.name);
    const std::string nameWithExtension =
        item.fileExtension && !item.fileExtension->empty() ? name + "." + foldForSearch(*item.fileExtension) : name;
    // The text's first occurrence must start inside the name (not in ".pdf").
    const size_t at = nameWithExtension.find(q);
    if (at != std::string::npos && at < name.size()) {
      tier = name == q || nameWithExtension == q ? kExact : at == 0 ? kPrefix : kSubstring;
      base = kTierScore[static_cast<size_t>(tier)];
    } else if (contains(foldForSearch(item.path), q)) {
      tier = kSubstring;
      base = kFolderMatchScore;
    }
  }
  size_t phrasesInPath = 0;
  if (!query.exactPhrases.empty()) {
    const std::string path = filesearch::caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (contains(path, filesearch::caseFold(phrase))) ++phrasesInPath;
    }
  }
  const int bucket = bucketFor(item.modifiedDate, context);
  const int score = std::min<int>(
      100, base + kPhraseBonus * static_cast<int>(phrasesInPath) + kRecencyBonus[static_cast<size_t>(bucket)]);
  return {static_cast<float>(score) / 100.0f, kTierMatchType[static_cast<size_t>(tier)]};
}

}  // namespace pallix
