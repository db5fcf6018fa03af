#include "app/search/FileSearchPlan.h"

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "app/search/FileSearchSql.h"
#include "app/search/TextFolding.h"
#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix::filesearch {

namespace {

// The folded "name.extension" of the row `i`, as matching compares it.
constexpr const char* kNameWithExtension =
    "(i.searchName || CASE WHEN i.fileExtension IS NULL OR i.fileExtension = '' THEN '' ELSE '.' || "
    "i.fileExtension END)";

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

// One (tier, bucket) pair: all its records have the same score.
struct ScoreClass {
  int tier;
  int bucket;
};

// The classes in result order: score descending, then tier, then recency.
std::vector<ScoreClass> classesBestFirst(bool hasText, size_t phrases) {
  std::vector<ScoreClass> classes;
  for (int tier : hasText ? std::vector<int>{kExact, kExactStem, kPrefix, kSubstring} : std::vector<int>{kFilterOnly}) {
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
  size_t alternatives = 1;  // Phrases OR-ed in `match`.
};

// An FTS5 query of more OR-ed phrases than this costs too much to count:
// such a short text is taken to match many records.
constexpr size_t kMaxCountedAlternatives = 64;
// Counting records to choose a plan stops after this many SQLite
// instructions (a filter the indexes cannot answer would scan the catalog).
// The connection's progress handler is borrowed meanwhile.
constexpr int kProbeInstructions = 150000;

// Answer order: score, tier, then the most recently modified first (undated
// last), then row order.
auto answerKey(const Candidate& c, size_t phrases) {
  return std::tuple(-scoreHundredths(c.tier, c.bucket, phrases), c.tier, !c.modified.has_value(),
                    -c.modified.value_or(0), c.id);
}

// One search: the query as store conditions and the plans that read its
// answer. Lives for one call on the caller's thread.
class SearchPlan {
 public:
  SearchPlan(sqlite3* db, const ParsedQuery& query, const DateContext& context, const FileSearchTuning& tuning)
      : db_(db),
        query_(query),
        tuning_(tuning),
        q_(foldForSearch(joinStrings(query.textTerms, " "))),
        now_(secondsSince1970(context.now)) {
    // For files (nearly every row) a scan in row order beats the item type index.
    conditions_ = query.itemType && *query.itemType != IndexedItem::ItemType::file ? " AND i.itemTypeRaw = ?"
                                                                                   : " AND +i.itemTypeRaw = ?";
    conditionBindings_.emplace_back(std::string(itemTypeRaw(query.itemType)));
    for (const Filter& filter : query.filters) {
      add(storeCondition(filter, context), false);
      narrowDates(filter, context);
    }
    for (const Filter& filter : query.excludedFilters) add(storeCondition(filter, context), true);
    for (const std::string& phrase : query.exactPhrases) add(phraseCondition(phrase), false);
    for (const auto& regex : query.regexes) {
      if (regex) add(regexCondition(*regex), false);
    }
  }

  bool hasText() const { return !q_.empty(); }

  // The best `wanted` records in answer order.
  Result<std::vector<Candidate>> best(size_t wanted) {
    PALLIX_ASSIGN_OR_RETURN(std::optional<std::vector<Candidate>> few, fewCandidates(wanted));
    if (few) return std::move(*few);
    return byClass(wanted);
  }

  // Matching records counted up to `bound`.
  Result<int64_t> count(int64_t bound) {
    std::vector<Binding> bindings = conditionBindings_;
    bindings.emplace_back(bound);
    return countOf("SELECT 1 FROM IndexedItem i WHERE 1" + conditions_ + " LIMIT ?", bindings);
  }

 private:
  void add(StoreCondition condition, bool negated) {
    // A NULL result counts as no match; a positive condition stays bare so
    // that the column indexes remain usable.
    conditions_ += negated ? " AND NOT coalesce((" + condition.sql + "), 0)" : " AND (" + condition.sql + ")";
    for (Binding& b : condition.bindings) conditionBindings_.push_back(std::move(b));
  }

  void narrowDates(const Filter& filter, const DateContext& context) {
    if (filter.key == FilterKey::before || filter.key == FilterKey::after) {
      if (auto date = QueryParser::parseDate(filter.value, context)) {
        const double seconds = secondsSince1970(*date);
        if (filter.key == FilterKey::before) datesTo_ = std::min(datesTo_, seconds);
        if (filter.key == FilterKey::after) datesFrom_ = std::max(datesFrom_, seconds);
      }
    } else if (filter.key == FilterKey::modified) {
      if (auto range = dateFilterRange(filter.value, context)) {
        datesFrom_ = std::max(datesFrom_, secondsSince1970(range->start));
        datesTo_ = std::min(datesTo_, secondsSince1970(range->end));
      }
    }
  }

  Result<int64_t> countOf(const std::string& rows, const std::vector<Binding>& bindings) {
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement statement,
                            prepareStatement(db_, "SELECT count(*) FROM (" + rows + ")", bindings));
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    return row ? statement.columnInt(0) : 0;
  }

  // Name rules: the text's first occurrence in "name.extension" must start
  // inside the name, so "pdf" does not find every PDF while "report.pdf" is
  // still an exact match.
  std::string nameRule(std::vector<Binding>& bindings) const {
    if (!hasText()) return "1";
    bindings.push_back(q_);
    return std::string("instr(") + kNameWithExtension + ", ?) BETWEEN 1 AND length(i.searchName)";
  }
  std::string tierCase(std::vector<Binding>& bindings) const {
    if (!hasText()) return "4";
    bindings.insert(bindings.end(), {q_, q_, q_});
    const std::string ne = kNameWithExtension;
    return "CASE WHEN " + ne + " = ? THEN 0 WHEN i.searchName = ? THEN 1 WHEN instr(" + ne +
           ", ?) = 1 THEN 2 ELSE 3 END";
  }
  std::string tierPredicate(int tier, std::vector<Binding>& bindings) const {
    const std::string ne = kNameWithExtension;
    switch (tier) {
      case kExact:
        bindings.push_back(q_);
        return ne + " = ? AND length(i.searchName) > 0";
      case kExactStem:
        bindings.insert(bindings.end(), {q_, q_});
        return "i.searchName = ? AND " + ne + " <> ? AND length(i.searchName) > 0";
      case kPrefix:
        bindings.insert(bindings.end(), {q_, q_, q_});
        return "instr(" + ne + ", ?) = 1 AND length(i.searchName) > 0 AND i.searchName <> ? AND " + ne + " <> ?";
      case kSubstring:
        bindings.push_back(q_);
        return "instr(" + ne + ", ?) BETWEEN 2 AND length(i.searchName)";
      default:
        return "1";
    }
  }
  std::string bucketCase(std::vector<Binding>& bindings) const {
    for (double age : kBucketAgeSeconds) bindings.push_back(now_ - age);
    return "CASE WHEN i.modifiedDate > ? THEN 0 WHEN i.modifiedDate > ? THEN 1 WHEN i.modifiedDate > ? THEN 2 "
           "ELSE 3 END";
  }
  // The dated records of a bucket, as a range of the date index narrowed
  // to the dates the filters allow.
  std::string bucketRange(int bucket, std::vector<Binding>& bindings) const {
    const auto b = static_cast<size_t>(bucket);
    const double above =
        bucket == kBuckets - 1 ? -std::numeric_limits<double>::infinity() : now_ - kBucketAgeSeconds[b];
    const double upTo = bucket == 0 ? std::numeric_limits<double>::infinity() : now_ - kBucketAgeSeconds[b - 1];
    std::string sql = "1";
    if (datesFrom_ > above) {
      sql += " AND i.modifiedDate >= ?";
      bindings.push_back(datesFrom_);
    } else if (std::isfinite(above)) {
      sql += " AND i.modifiedDate > ?";
      bindings.push_back(above);
    }
    if (datesTo_ < upTo) {
      sql += " AND i.modifiedDate <= ?";
      bindings.push_back(datesTo_);
    } else if (std::isfinite(upTo)) {
      sql += " AND i.modifiedDate <= ?";
      bindings.push_back(upTo);
    }
    return sql == "1" ? "i.modifiedDate IS NOT NULL" : sql;
  }

  // The FROM and WHERE start of a statement over `driver`'s rows.
  static std::string from(const Driver& driver, std::vector<Binding>& bindings) {
    if (driver.kind == Driver::scan) return " FROM IndexedItem i WHERE 1";
    bindings.emplace_back(driver.match);
    return " FROM IndexedItemNameIndex f JOIN IndexedItem i ON i.id = f.rowid WHERE IndexedItemNameIndex MATCH ?";
  }

  Result<Driver> trigramDriver(const std::string& start, const std::string& anchor) {
    PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> trigrams,
                            trigramsStartingWith(db_, start, tuning_.maxShortQueryTrigrams));
    if (trigrams.empty()) return Driver{Driver::none, ""};
    if (trigrams.size() > static_cast<size_t>(tuning_.maxShortQueryTrigrams)) return Driver{Driver::scan, ""};
    Driver driver{Driver::index, ""};
    for (const std::string& t : trigrams) {
      driver.match += (driver.match.empty() ? "" : " OR ") + anchor + ftsPhrase(t);
    }
    driver.alternatives = trigrams.size();
    return driver;
  }

  // Where a tier's records come from. "^" anchors a phrase at the start of
  // the indexed text and the U+0001 sentinels mark its end; one- and
  // two-character texts are spelled as the indexed trigrams that start with
  // them. The substring driver finds every record the text matches.
  Result<Driver> driverFor(int tier) {
    if (!hasText()) return Driver{Driver::scan, ""};
    auto& cached = drivers_[static_cast<size_t>(tier)];
    if (cached) return *cached;
    const size_t length = utf8CharacterCount(q_);
    Driver driver;
    if (tier == kExact || tier == kExactStem) {
      const std::string end(length >= 3 ? 2 : 3 - length, '\x01');
      const std::string whole = "^" + ftsPhrase(q_ + end);
      if (length >= 2) {
        driver = Driver{Driver::index, whole + " OR ^" + ftsPhrase(q_ + ".")};
      } else {
        PALLIX_ASSIGN_OR_RETURN(Driver withExtension, trigramDriver(q_ + ".", "^"));
        driver = withExtension.kind == Driver::scan    ? withExtension
                 : withExtension.kind == Driver::index ? Driver{Driver::index, whole + " OR " + withExtension.match}
                                                       : Driver{Driver::index, whole};
      }
    } else if (length >= 3) {
      driver = Driver{Driver::index, (tier == kPrefix ? "^" : "") + ftsPhrase(q_)};
    } else {
      PALLIX_ASSIGN_OR_RETURN(driver, trigramDriver(q_, tier == kPrefix ? "^" : ""));
    }
    cached = driver;
    return driver;
  }

  // Reads every record of `driver` that passes `predicate` (with the name
  // rule and the conditions), best first.
  Result<std::vector<Candidate>> readWhole(const Driver& driver, const std::string& predicate,
                                           const std::vector<Binding>& predicateBindings) {
    std::vector<Binding> bindings;
    std::string sql = "SELECT i.id, " + tierCase(bindings);
    sql += ", " + bucketCase(bindings) + ", i.modifiedDate";
    sql += from(driver, bindings) + " AND " + predicate;
    bindings.insert(bindings.end(), predicateBindings.begin(), predicateBindings.end());
    sql += " AND " + nameRule(bindings) + conditions_;
    bindings.insert(bindings.end(), conditionBindings_.begin(), conditionBindings_.end());
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement statement, prepareStatement(db_, sql, bindings));
    std::vector<Candidate> all;
    while (true) {
      PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
      if (!row) break;
      all.push_back({statement.columnInt(0), static_cast<int>(statement.columnInt(1)),
                     static_cast<int>(statement.columnInt(2)), statement.columnOptionalDouble(3)});
    }
    const size_t phrases = query_.exactPhrases.size();
    std::sort(all.begin(), all.end(),
              [&](const Candidate& a, const Candidate& b) { return answerKey(a, phrases) < answerKey(b, phrases); });
    return all;
  }

  // Whether at most `limit` records of `driver` pass `predicate`: the name
  // index's candidates are counted without reading records (an upper
  // bound); a scan is counted with every condition, but only so far. None
  // when counting would cost too much.
  Result<std::optional<bool>> atMost(int64_t limit, const Driver& driver, const std::string& predicate,
                                     const std::vector<Binding>& predicateBindings) {
    if (driver.kind == Driver::none) return std::optional<bool>(true);
    if (driver.kind == Driver::index) {
      if (driver.alternatives > kMaxCountedAlternatives) return std::optional<bool>();
      PALLIX_ASSIGN_OR_RETURN(int64_t named,
                              countOf("SELECT rowid FROM IndexedItemNameIndex WHERE IndexedItemNameIndex MATCH ? "
                                      "LIMIT ?",
                                      {driver.match, limit + 1}));
      return std::optional<bool>(named <= limit);
    }
    std::vector<Binding> bindings(predicateBindings);
    std::string rows = "SELECT 1 FROM IndexedItem i WHERE " + predicate;
    rows += " AND " + nameRule(bindings) + conditions_ + " LIMIT ?";
    bindings.insert(bindings.end(), conditionBindings_.begin(), conditionBindings_.end());
    bindings.emplace_back(limit + 1);
    return boundedCount(rows, bindings, limit);
  }

  // Whether at most `limit` records pass the conditions alone (the filter
  // indexes answer this); none when the count was cut short.
  Result<std::optional<bool>> conditionsAtMost(int64_t limit) {
    std::vector<Binding> bindings = conditionBindings_;
    bindings.emplace_back(limit + 1);
    return boundedCount("SELECT 1 FROM IndexedItem i WHERE 1" + conditions_ + " LIMIT ?", bindings, limit);
  }

  Result<std::optional<bool>> boundedCount(const std::string& rows, const std::vector<Binding>& bindings,
                                           int64_t limit) {
    // The statement is prepared before the handler is installed: preparing
    // a query of the name index runs the index's own set-up statements,
    // which an interrupt would break.
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement statement,
                            prepareStatement(db_, "SELECT count(*) FROM (" + rows + ")", bindings));
    sqlite3_progress_handler(
        db_, kProbeInstructions, [](void*) { return 1; }, nullptr);
    Result<bool> row = statement.step();
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    Result<int64_t> counted =
        row.ok() ? Result<int64_t>(row.value() ? statement.columnInt(0) : 0) : Result<int64_t>(row.error());
    if (!counted.ok()) {
      if (counted.error().code() == SQLITE_INTERRUPT) return std::optional<bool>();
      return counted.error();
    }
    return std::optional<bool>(counted.value() <= limit);
  }

  // When few records can match, all of them are read and ordered here: the
  // name index's candidates, or the records the filters select (the name
  // rule then checked on each).
  Result<std::optional<std::vector<Candidate>>> fewCandidates(size_t wanted) {
    PALLIX_ASSIGN_OR_RETURN(Driver driver, driverFor(kSubstring));
    std::optional<bool> few;
    if (driver.kind != Driver::scan) {
      PALLIX_ASSIGN_OR_RETURN(few, atMost(tuning_.fewCandidateRows, driver, "1", {}));
    }
    if (!few.value_or(false) && (driver.kind == Driver::scan || !query_.filters.empty() || query_.itemType)) {
      PALLIX_ASSIGN_OR_RETURN(std::optional<bool> selected, conditionsAtMost(tuning_.fewCandidateRows));
      if (selected.value_or(false)) driver = Driver{Driver::scan, ""};
      few = selected.value_or(false);
    }
    if (!hasText() && !few.value_or(false)) manyWithoutText_ = true;
    if (!few.value_or(false)) return std::optional<std::vector<Candidate>>();
    std::vector<Candidate> all;
    if (driver.kind != Driver::none) {
      PALLIX_ASSIGN_OR_RETURN(all, readWhole(driver, "1", {}));
    }
    if (all.size() > wanted) all.resize(wanted);
    return std::optional<std::vector<Candidate>>(std::move(all));
  }

  // Class by class in answer order until `wanted` are found. A tier with
  // few records is read whole; a larger one is read through the date index,
  // newest first, bucket by bucket, stopping once the answer is full.
  Result<std::vector<Candidate>> byClass(size_t wanted) {
    std::array<std::optional<std::vector<Candidate>>, kTiers> whole;  // Per tier, once read.
    std::array<std::optional<bool>, kTiers> readWholly;
    std::vector<Candidate> chosen;
    for (const ScoreClass& cls : classesBestFirst(hasText(), query_.exactPhrases.size())) {
      if (chosen.size() >= wanted) break;
      const auto tier = static_cast<size_t>(cls.tier);
      PALLIX_ASSIGN_OR_RETURN(Driver driver, driverFor(cls.tier));
      if (driver.kind == Driver::none) continue;
      std::vector<Binding> tierBindings;
      const std::string tierSql = tierPredicate(cls.tier, tierBindings);
      if (!readWholly[tier] && manyWithoutText_) readWholly[tier] = false;
      if (!readWholly[tier]) {
        PALLIX_ASSIGN_OR_RETURN(std::optional<bool> few,
                                atMost(tuning_.tierCandidateRows, driver, tierSql, tierBindings));
        readWholly[tier] = few.value_or(false);
      }
      const size_t before = chosen.size();
      bool finished = *readWholly[tier];
      // The oldest bucket holds the undated records too; they come last.
      for (bool dated : {true, false}) {
        if (finished || chosen.size() >= wanted || (!dated && cls.bucket != kBuckets - 1)) break;
        std::vector<Binding> bindings;
        std::string sql = "SELECT i.id, i.modifiedDate FROM IndexedItem i INDEXED BY IndexedItem_modifiedDate WHERE ";
        sql += dated ? bucketRange(cls.bucket, bindings) : "i.modifiedDate IS NULL";
        sql += " AND " + tierSql + conditions_;
        bindings.insert(bindings.end(), tierBindings.begin(), tierBindings.end());
        bindings.insert(bindings.end(), conditionBindings_.begin(), conditionBindings_.end());
        sql += dated ? " ORDER BY i.modifiedDate DESC, i.id LIMIT ?" : " ORDER BY i.id LIMIT ?";
        bindings.emplace_back(static_cast<int64_t>(wanted - chosen.size()));
        PALLIX_ASSIGN_OR_RETURN(SqliteStatement statement, prepareStatement(db_, sql, bindings));
        // Matches too sparse among the newest records: read the tier whole.
        sqlite3_progress_handler(
            db_, tuning_.dateReadInstructions, [](void*) { return 1; }, nullptr);
        Result<bool> row = false;
        while ((row = statement.step()).ok() && row.value()) {
          std::optional<double> modified;
          if (dated) modified = statement.columnDouble(1);
          chosen.push_back({statement.columnInt(0), cls.tier, cls.bucket, modified});
        }
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        if (!row.ok() && row.error().code() != SQLITE_INTERRUPT) return row.error();
        if (!row.ok()) {
          chosen.resize(before);
          readWholly[tier] = true;
          finished = true;
        }
      }
      if (*readWholly[tier]) {
        if (!whole[tier]) {
          // Positive filters with a column index select fewer records than
          // the name index; the planner then reads through them.
          const bool filtered = std::any_of(query_.filters.begin(), query_.filters.end(), [](const Filter& f) {
            return f.key == FilterKey::ext || f.key == FilterKey::type || f.key == FilterKey::size ||
                   f.key == FilterKey::modified;
          });
          PALLIX_ASSIGN_OR_RETURN(whole[tier],
                                  readWhole(filtered ? Driver{Driver::scan, ""} : driver, tierSql, tierBindings));
        }
        for (const Candidate& c : *whole[tier]) {
          if (chosen.size() >= wanted) break;
          if (c.bucket == cls.bucket) chosen.push_back(c);
        }
      }
    }
    return chosen;
  }

  sqlite3* db_;
  const ParsedQuery& query_;
  const FileSearchTuning& tuning_;
  const std::string q_;
  const double now_;
  std::string conditions_;
  // The modification dates the filters allow (a superset; the conditions
  // decide), so that reading the date index skips what they exclude.
  double datesFrom_ = -std::numeric_limits<double>::infinity();
  double datesTo_ = std::numeric_limits<double>::infinity();
  std::vector<Binding> conditionBindings_;
  std::array<std::optional<Driver>, kTiers> drivers_;
  bool manyWithoutText_ = false;  // A query without words already counted as large.
};

}  // namespace

Result<std::vector<Candidate>> bestCandidates(sqlite3* db, const ParsedQuery& query, const DateContext& context,
                                              const FileSearchTuning& tuning, size_t wanted) {
  SearchPlan plan(db, query, context, tuning);
  return plan.best(wanted);
}

Result<int64_t> countMatching(sqlite3* db, const ParsedQuery& query, const DateContext& context, int64_t bound) {
  const FileSearchTuning tuning;
  SearchPlan plan(db, query, context, tuning);
  return plan.count(bound);
}

}  // namespace pallix::filesearch
