// FileSearcher: power queries on a generated catalog against a brute-force
// model of the filter, fetch and scoring rules; scoring and match types;
// diacritics; the name index's upkeep; failures.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <map>
#include <random>

#include "app/search/CatalogNameIndex.h"
#include "app/search/FileSearcher.h"
#include "app/search/QueryParser.h"
#include "app/search/TextFolding.h"
#include "core/Strings.h"
#include "tests/query/FileSearchTestCatalog.h"

namespace pallix {
namespace {

using testing::FileSearchTestCatalog;
using testing::makeFile;

// Saturday 2024-06-15 12:00 UTC.
const Date kNow = dateFromSecondsSince1970(1718452800);

DateContext utcContext() {
  DateContext context;
  context.now = kNow;
  context.timeZoneId = "UTC";
  return context;
}

Date hoursAgo(double hours) {
  return kNow - std::chrono::duration_cast<Date::duration>(seconds(hours * 3600));
}

// ICU lower-casing (root locale), or full case folding.
std::string icuCase(const std::string& text, bool fold) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  fold ? u.foldCase() : u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}
std::string lower(const std::string& text) {
  return icuCase(text, false);
}
std::string caseFolded(const std::string& text) {
  return icuCase(text, true);
}

bool has(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// ---- The model: the filter, fetch and scoring rules written out plainly. ----

bool modelFilter(const IndexedItem& item, const Filter& filter, const DateContext& context) {
  switch (filter.key) {
    case FilterKey::ext: {
      if (!item.fileExtension) return false;
      for (const std::string& entry : splitString(lower(filter.value), ',')) {
        if (!entry.empty() && entry == lower(*item.fileExtension)) return true;
      }
      return false;
    }
    case FilterKey::type: {
      auto category = fileCategoryFrom(filter.value);
      return category && item.fileCategoryRaw == std::string(fileCategoryRawValue(*category));
    }
    case FilterKey::before:
    case FilterKey::after: {
      auto date = QueryParser::parseDate(filter.value, context);
      if (!date || !item.modifiedDate) return false;
      return filter.key == FilterKey::before ? *item.modifiedDate < *date : *item.modifiedDate > *date;
    }
    case FilterKey::modified:
    case FilterKey::created: {
      const auto& recordDate = filter.key == FilterKey::modified ? item.modifiedDate : item.createdDate;
      if (!recordDate) return false;
      std::optional<DateRange> range;
      if (auto relative = relativeDateFrom(filter.value)) {
        range = relativeDateRange(*relative, context);
      } else if (auto day = QueryParser::parseDate(filter.value, context)) {
        range = calendarDayRange(*day, context);
      }
      return range && range->start <= *recordDate && *recordDate < range->end;
    }
    case FilterKey::size: {
      const int64_t b = std::stoll(filter.value), s = item.sizeBytes;
      // clang-format off
      switch (filter.comparison.value_or(Comparison::equal)) {
        case Comparison::equal: return s == b;
        case Comparison::greaterThan: return s > b;
        case Comparison::lessThan: return s < b;
        case Comparison::greaterOrEqual: return s >= b;
        case Comparison::lessOrEqual: return s <= b;
      }
      // clang-format on
      return false;
    }
    case FilterKey::inFolder:
      for (const std::string& component : splitString(lower(item.path), '/')) {
        if (has(component, lower(filter.value))) return true;
      }
      return false;
    case FilterKey::app:
      return item.parentBundleIdentifier && has(lower(*item.parentBundleIdentifier), lower(filter.value));
  }
  return false;
}

struct ModelResult {
  std::string path;
  float score;
  FileMatchType type;
};

std::pair<float, FileMatchType> modelScore(const IndexedItem& item, const std::string& text, const ParsedQuery& query,
                                           const DateContext& context) {
  const std::string q = foldForSearch(text);
  const std::string n = foldForSearch(item.name);
  const std::string ne = item.fileExtension ? n + "." + foldForSearch(*item.fileExtension) : n;
  double score = 0.5;
  FileMatchType type = FileMatchType::filterOnly;
  if (q.empty()) {
  } else if (n == q || ne == q) {
    score = 1.0, type = FileMatchType::exact;
  } else if (startsWith(n, q) || startsWith(ne, q)) {
    score = 0.9, type = FileMatchType::prefix;
  } else if (has(n, q) || has(ne, q)) {
    score = 0.8, type = FileMatchType::substring;
  } else if (has(foldForSearch(item.path), q)) {
    score = 0.6, type = FileMatchType::substring;
  }
  for (const auto& phrase : query.exactPhrases) {
    if (has(caseFolded(item.path), caseFolded(phrase))) score += 0.1;
  }
  if (item.modifiedDate) {
    const double days = toSeconds(context.now - *item.modifiedDate) / 86400;
    score += days < 1 ? 0.15 : days < 7 ? 0.1 : days < 30 ? 0.05 : 0;
  }
  return {static_cast<float>(std::min(1.0, score)), type};
}

// Brute force over the whole catalog (in id order, the store's fetch order).
std::vector<ModelResult> modelSearch(const std::vector<IndexedItem>& catalog, const ParsedQuery& query, int limit,
                                     const DateContext& context) {
  const std::string text = joinStrings(query.textTerms, " ");
  const std::string q = foldForSearch(text);
  int effective = limit;
  if (query.textTerms.empty() && query.exactPhrases.empty()) effective = std::min(effective, 100);
  const bool post = !query.excludedFilters.empty() || !query.regexes.empty() || !query.exactPhrases.empty();
  const size_t fetchLimit = static_cast<size_t>(effective) * (post ? 3 : 2);
  const std::string type = query.itemType == IndexedItem::ItemType::app      ? "app"
                           : query.itemType == IndexedItem::ItemType::folder ? "folder"
                                                                             : "file";
  std::vector<const IndexedItem*> fetched;
  for (const IndexedItem& item : catalog) {
    if (fetched.size() == fetchLimit) break;
    if (item.itemTypeRaw != type) continue;
    const std::string ne = item.searchName + (item.fileExtension ? "." + *item.fileExtension : "");
    if (!q.empty() && !has(ne, q)) continue;
    bool ok = true;
    for (const auto& f : query.filters) ok = ok && modelFilter(item, f, context);
    for (const auto& f : query.excludedFilters) ok = ok && !modelFilter(item, f, context);
    if (ok) fetched.push_back(&item);
  }
  std::vector<ModelResult> results;
  for (const IndexedItem* item : fetched) {
    bool ok = true;
    for (const auto& regex : query.regexes) ok = ok && regex->findIn(item->name);
    for (const auto& phrase : query.exactPhrases) ok = ok && has(caseFolded(item->path), caseFolded(phrase));
    if (!ok) continue;
    auto [score, matchType] = modelScore(*item, text, query, context);
    results.push_back({item->path, score, matchType});
  }
  std::stable_sort(results.begin(), results.end(),
                   [](const ModelResult& a, const ModelResult& b) { return a.score > b.score; });
  if (results.size() > static_cast<size_t>(effective)) results.resize(static_cast<size_t>(effective));
  return results;
}

// ---- The generated catalog. ----

struct ExtensionInfo {
  const char* extension;
  const char* category;
};

class FileSearcherPowerQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> folders = {"/home/u/Projects/alpha", "/home/u/Archive/2023", "/home/u/Photos/Été",
                                              "/home/u/Documents", "/home/u/Música"};
    const std::vector<std::string> names = {
        "report",  "Report final", "Résumé", "Resume draft", "budget", "Budget Q3",   "notes",    "naïve plan", "photo",
        "IMG_001", "invoice 2024", "a",      "ab",           "x",      "ÉTÉ summary", "quote\"d", "50% off"};
    const std::vector<ExtensionInfo> extensions = {{"pdf", "document"}, {"docx", "document"}, {"txt", "document"},
                                                   {"png", "image"},    {"jpg", "image"},     {"mp3", "audio"},
                                                   {"zip", "archive"},  {"swift", "code"},    {"", "other"}};
    const std::vector<int64_t> sizes = {0, 512, 1024, 5000, 1048576, 1572864, 1073741824};
    std::mt19937 rng(42);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    for (int i = 0; i < 3000; ++i) {
      const std::string folder = folders[pick(folders.size())];
      std::string name = names[pick(names.size())];
      if (pick(3) == 0) name += " " + std::to_string(pick(50));
      const ExtensionInfo& ext = extensions[pick(extensions.size())];
      const std::string dir = folder + "/" + std::to_string(i);
      const std::string path = dir + "/" + name + (ext.extension[0] ? std::string(".") + ext.extension : "");
      std::optional<Date> modified;
      if (pick(20) != 0) modified = hoursAgo(static_cast<double>(pick(24 * 400)) + 0.5);
      std::optional<Date> created;
      if (pick(10) != 0) created = hoursAgo(static_cast<double>(pick(24 * 800)) + 0.25);
      std::optional<std::string> parent;
      if (pick(10) == 0) parent = "com.Example.Editor";
      if (pick(20) == 0) parent = "org.tool.Ünicode";
      IndexedItem item = makeFile(path, ext.extension, sizes[pick(sizes.size())], modified, created,
                                  std::string(ext.category), parent);
      const size_t kind = pick(20);
      if (kind < 2) {
        item.itemTypeRaw = "folder";
        item.fileExtension.reset();
        item.name = name;
        item.searchName = foldForSearch(name);
        item.path = dir + "/" + name;
      } else if (kind == 2) {
        item.itemTypeRaw = "app";
      }
      catalog_.insert(item);
      items_.push_back(item);
    }
  }

  void expectMatchesModel(const std::string& text, int limit, const FileSearchTuning& tuning = {}) {
    expectMatchesModel(QueryParser::parse(text), text, limit, tuning);
  }
  void expectMatchesModel(const ParsedQuery& query, const std::string& text, int limit,
                          const FileSearchTuning& tuning = {}) {
    SCOPED_TRACE("query: '" + text + "' limit " + std::to_string(limit) + " scan rows " +
                 std::to_string(tuning.shortQueryScanRows) + " max trigrams " +
                 std::to_string(tuning.maxShortQueryTrigrams));
    auto result = FileSearcher::search(catalog_.db(), query, limit, utcContext(), tuning);
    ASSERT_TRUE(result.ok()) << result.error().description();
    const std::vector<ModelResult> expected = modelSearch(items_, query, limit, utcContext());
    ASSERT_EQ(result->size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
      EXPECT_EQ((*result)[k].item.path, expected[k].path) << "rank " << k;
      EXPECT_FLOAT_EQ((*result)[k].relevanceScore, expected[k].score) << "rank " << k;
      EXPECT_EQ((*result)[k].matchType, expected[k].type) << "rank " << k;
    }
    ++checkedQueries_;
    if (!expected.empty()) ++nonEmptyQueries_;
  }

  FileSearchTestCatalog catalog_;
  std::vector<IndexedItem> items_;
  int checkedQueries_ = 0;
  int nonEmptyQueries_ = 0;
};

TEST_F(FileSearcherPowerQueryTest, PowerQueriesMatchTheBruteForceModel) {
  const std::vector<std::string> queries = {
      // text, diacritics, extensions and characters with a meaning elsewhere
      "report", "résumé", "RESUME", "report.pdf", "pdf", ".pdf", "re", "a", "ab", "x", "é", "naive", "budget q3",
      "invoice 2024", "zzz", "quote\"d", "50%", "off", "_0",
      // every filter, alone and with text
      "ext:pdf", "ext:pdf,DOCX report", "extension:zip,,mp3", "type:image", "type:doc budget", "type:nothing",
      "size:>1mb", "size:<=1kb notes", "size:1.5mb", "size:0", "modified:today", "mod:week report", "modified:month",
      "created:yesterday", "created:year notes", "before:2024-01-01", "after:2024-06-01 ext:txt", "modified:2024-06-10",
      "modified:06/14/2024", "before:garbage", "after:2024-13-01", "in:projects", "in:archive report", "in:été",
      "in:ÉTÉ", "in:a/b", "folder:2023 budget", "app:example", "bundle:ünicode", "app:EDITOR report",
      // exclusions, regexes, phrases, item types and a combination
      "NOT ext:pdf report", "NOT in:archive budget", "NOT type:image", "NOT app:example NOT size:0",
      "NOT modified:week", "/^inv.*\\d+$/", "/^report$/ ext:pdf", "/[/", "\"Projects/alpha\"", "\"photos\" ext:png",
      "\"ÉTÉ\"", "report \"archive\" NOT size:0", "is:folder report", "is:folder", "is:app", "is:app budget",
      "is:dir NOT in:été", "résumé type:document size:>=1024 NOT ext:txt"};
  for (const std::string& text : queries) {
    expectMatchesModel(text, 50);
    expectMatchesModel(text, 7);
  }
  // The table must exercise real results, not only empty answers.
  EXPECT_GE(nonEmptyQueries_, 2 * static_cast<int>(queries.size()) - 14);
}

TEST_F(FileSearcherPowerQueryTest, RandomFilterCombinationsMatchTheModel) {
  const std::vector<std::string> pieces = {"report",        "re",
                                           "budget",        "é",
                                           "notes 1",       "ext:pdf,txt",
                                           "type:image",    "size:>1000",
                                           "size:<1mb",     "modified:week",
                                           "created:month", "before:2024-05-01",
                                           "in:documents",  "in:música",
                                           "app:tool",      "NOT ext:zip",
                                           "NOT in:photos", "/\\d/",
                                           "\"2023\"",      "is:folder",
                                           "is:app",        "after:2024-06-14"};
  std::mt19937 rng(7);
  for (int i = 0; i < 150; ++i) {
    std::string text;
    const int count = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int k = 0; k < count; ++k)
      text += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)] + " ";
    expectMatchesModel(text, std::uniform_int_distribution<int>(1, 60)(rng));
  }
  EXPECT_GT(nonEmptyQueries_, 60);
}

TEST_F(FileSearcherPowerQueryTest, ShortQueriesGiveTheFullScanAnswerOnEveryPlan) {
  // Every plan for one and two characters: the first-rows scan alone, the
  // trigram index after it, and the full scan when trigrams are too many.
  const std::vector<std::string> queries = {
      "a",  "ab", "x", "é", "_0", "qz", "5 ", "r ext:pdf", "3 NOT ext:txt", "é in:música", "% type:document",
      ".p", "f.", "z"};
  for (const FileSearchTuning tuning : {FileSearchTuning{100, 1024}, FileSearchTuning{1, 1024},
                                        FileSearchTuning{100, 2}, FileSearchTuning{2999, 1024}}) {
    for (const std::string& text : queries) {
      expectMatchesModel(text, 50, tuning);
      expectMatchesModel(text, 3, tuning);
    }
  }
  EXPECT_GT(nonEmptyQueries_, 60);
}

TEST_F(FileSearcherPowerQueryTest, RandomTextWithIndexSyntaxMatchesTheModel) {
  // Characters that mean something to FTS5, LIKE or SQL must only ever be text.
  const std::vector<std::string> alphabet = {"a", "e", "r", "o", "p", " ", "\"", "*", "^",    "-",  "+",   "(",
                                             ")", ":", "%", "_", "'", ".", "é",  "0", "NEAR", "OR", "AND", "\\"};
  std::mt19937 rng(99);
  for (int i = 0; i < 300; ++i) {
    ParsedQuery query;
    std::string term;
    for (int k = std::uniform_int_distribution<int>(1, 5)(rng); k > 0; --k) {
      term += alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    }
    const std::string trimmed(trimWhitespace(term));
    if (trimmed.empty()) continue;
    query.textTerms = {trimmed};
    expectMatchesModel(query, trimmed, 20);
    expectMatchesModel(query, trimmed, 20, FileSearchTuning{50, 4});
  }
}

// ---- Scoring, match types and the rules the model shares. ----

class FileSearcherTest : public ::testing::Test {
 protected:
  IndexedItem add(IndexedItem item) {
    catalog_.insert(item);
    return item;
  }
  std::vector<FileSearcher::SearchResult> search(const std::string& text, int limit = 50) {
    auto result = FileSearcher::search(catalog_.db(), QueryParser::parse(text), limit, utcContext());
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description());
    return result.ok() ? result.value() : std::vector<FileSearcher::SearchResult>();
  }

  FileSearchTestCatalog catalog_;
};

TEST_F(FileSearcherTest, WholeFileNameIsAnExactMatch) {
  add(makeFile("/d/report.pdf", "pdf", 10, hoursAgo(24 * 90)));
  auto results = search("report.pdf");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].matchType, FileMatchType::exact);
  EXPECT_FLOAT_EQ(results[0].relevanceScore, 1.0f);
  ASSERT_EQ(search("Report.PDF").size(), 1u);
  EXPECT_EQ(search("rt.p")[0].matchType, FileMatchType::substring);
  EXPECT_EQ(search("report.p")[0].matchType, FileMatchType::prefix);
}

TEST_F(FileSearcherTest, RecencyBonusSteps) {
  add(makeFile("/d/old-draft.txt", "txt", 1, hoursAgo(1)));
  add(makeFile("/d/week-draft.txt", "txt", 1, hoursAgo(24 * 3)));
  add(makeFile("/d/month-draft.txt", "txt", 1, hoursAgo(24 * 20)));
  add(makeFile("/d/ancient-draft.txt", "txt", 1, hoursAgo(24 * 60)));
  add(makeFile("/d/undated-draft.txt", "txt", 1, std::nullopt));
  auto results = search("draft");
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[0].item.name, "old-draft");
  EXPECT_FLOAT_EQ(results[0].relevanceScore, 0.95f);
  EXPECT_FLOAT_EQ(results[1].relevanceScore, 0.9f);
  EXPECT_FLOAT_EQ(results[2].relevanceScore, 0.85f);
  // Equal scores keep fetch (insertion) order.
  EXPECT_EQ(results[3].item.name, "ancient-draft");
  EXPECT_EQ(results[4].item.name, "undated-draft");
  EXPECT_FLOAT_EQ(results[4].relevanceScore, 0.8f);
}

TEST_F(FileSearcherTest, PathOnlyMatchAndPhraseBonusClampToOne) {
  add(makeFile("/work/taxes/2024/scan.png", "png", 1, hoursAgo(2)));
  auto results = search("taxes \"2024\" \"TAXES\"");
  ASSERT_EQ(results.size(), 0u);  // the name index looks at names only
  results = search("sca \"2024\" \"TAXES\"");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].matchType, FileMatchType::prefix);
  EXPECT_FLOAT_EQ(results[0].relevanceScore, 1.0f);  // 0.9 + 0.2 + 0.15 clamped
  const IndexedItem item = makeFile("/work/taxes/2024/scan.png", "png", 1, std::nullopt);
  auto [score, type] = FileSearcher::calculateScore(item, "taxes", ParsedQuery(), utcContext());
  EXPECT_EQ(type, FileMatchType::substring);
  EXPECT_FLOAT_EQ(score, 0.6f);
}

TEST_F(FileSearcherTest, FilterOnlyQueriesAreCappedAtOneHundred) {
  for (int i = 0; i < 250; ++i) add(makeFile("/d/f" + std::to_string(i) + ".pdf", "pdf", i, hoursAgo(24 * 100)));
  auto results = search("ext:pdf", 500);
  ASSERT_EQ(results.size(), 100u);
  for (const auto& r : results) {
    EXPECT_EQ(r.matchType, FileMatchType::filterOnly);
    EXPECT_FLOAT_EQ(r.relevanceScore, 0.5f);
  }
  // An exact phrase lifts the cap.
  EXPECT_EQ(search("ext:pdf \"/d/\"", 500).size(), 250u);
}

TEST_F(FileSearcherTest, DiacriticsAndCaseAreIgnoredInNames) {
  add(makeFile("/d/Résumé Final.pdf", "pdf", 1, std::nullopt));
  add(makeFile("/d/NAÏVE.txt", "txt", 1, std::nullopt));
  EXPECT_EQ(search("resume").size(), 1u);
  EXPECT_EQ(search("RÉSUMÉ final").size(), 1u);
  EXPECT_EQ(search("résumé final.pdf")[0].matchType, FileMatchType::exact);
  EXPECT_EQ(search("naive")[0].matchType, FileMatchType::exact);
  EXPECT_EQ(search("ai").size(), 1u);  // the two-character path folds too
}

TEST_F(FileSearcherTest, ItemTypeRestriction) {
  IndexedItem folder = makeFile("/d/reports", "", 0, std::nullopt);
  folder.itemTypeRaw = "folder";
  add(folder);
  add(makeFile("/d/reports.txt", "txt", 0, std::nullopt));
  EXPECT_EQ(search("reports").size(), 1u);
  EXPECT_EQ(search("reports")[0].item.itemTypeRaw, "file");
  EXPECT_EQ(search("is:folder reports")[0].item.itemTypeRaw, "folder");
}

TEST_F(FileSearcherTest, QueryTextIsNeverInterpretedByTheIndex) {
  add(makeFile("/d/a\"b OR c*.txt", "txt", 0, std::nullopt));
  add(makeFile("/d/NEAR(x y).txt", "txt", 0, std::nullopt));
  ParsedQuery quoted;
  quoted.textTerms = {"a\"b", "or"};
  auto result = FileSearcher::search(catalog_.db(), quoted, 50, utcContext());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->size(), 1u);
  EXPECT_EQ(search("c*").size(), 1u);
  EXPECT_EQ(search("near(x").size(), 1u);
  EXPECT_EQ(search("OR").size(), 1u);
  EXPECT_EQ(search("-").size(), 0u);
}

TEST_F(FileSearcherTest, IndexFollowsInsertsRenamesAndDeletes) {
  IndexedItem item = add(makeFile("/d/alpha.txt", "txt", 0, std::nullopt));
  ASSERT_EQ(search("alpha").size(), 1u);
  catalog_.exec("UPDATE IndexedItem SET name = 'Gamma', searchName = 'gamma' WHERE id = " + std::to_string(item.id));
  EXPECT_EQ(search("alpha").size(), 0u);
  EXPECT_EQ(search("gamma").size(), 1u);
  catalog_.exec("UPDATE IndexedItem SET fileExtension = 'md' WHERE id = " + std::to_string(item.id));
  EXPECT_EQ(search("gamma.md").size(), 1u);
  EXPECT_EQ(search("gamma.txt").size(), 0u);
  catalog_.exec("DELETE FROM IndexedItem WHERE id = " + std::to_string(item.id));
  EXPECT_EQ(search("gamma").size(), 0u);
  catalog_.exec("INSERT INTO IndexedItemNameIndex (IndexedItemNameIndex) VALUES ('integrity-check')");
}

TEST(FileSearcherIndexTest, InstallIndexesExistingRowsOnceAndIsIdempotent) {
  FileSearchTestCatalog catalog(/*withNameIndex=*/false);
  IndexedItem item = makeFile("/d/existing.txt", "txt", 0, std::nullopt);
  catalog.insert(item);
  ASSERT_TRUE(CatalogNameIndex::install(catalog.db()).ok());
  ASSERT_TRUE(CatalogNameIndex::install(catalog.db()).ok());
  auto results = FileSearcher::search(catalog.db(), QueryParser::parse("existing"), 50, utcContext());
  ASSERT_TRUE(results.ok());
  EXPECT_EQ(results->size(), 1u);
}

TEST(FileSearcherIndexTest, StoreErrorsPropagate) {
  FileSearchTestCatalog catalog(/*withNameIndex=*/false);
  auto result = FileSearcher::search(catalog.db(), QueryParser::parse("anything"), 50, utcContext());
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().description().find("IndexedItemNameIndex"), std::string::npos);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  auto status = CatalogNameIndex::install(db);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.error().description().find("IndexedItem"), std::string::npos);
  sqlite3_close(db);
}

TEST(FileSearcherFilterTest, RulesOnSingleRecords) {
  const DateContext context = utcContext();
  IndexedItem item = makeFile("/Users/Ann/Projects/Été/plan.PDF", "pdf", 2048, hoursAgo(30), hoursAgo(24 * 40),
                              std::string("document"), std::string("com.Apple.Preview"));
  struct Case {
    FilterKey key;
    std::string value;
    std::optional<Comparison> comparison;
    bool matches;
  };
  const Case cases[] = {{FilterKey::ext, "txt, PDF", std::nullopt, true},
                        {FilterKey::ext, "pd", std::nullopt, false},
                        {FilterKey::type, "text", std::nullopt, true},
                        {FilterKey::type, "other", std::nullopt, false},
                        {FilterKey::size, "2048", std::nullopt, true},
                        {FilterKey::size, "2047", Comparison::greaterThan, true},
                        {FilterKey::size, "2048", Comparison::lessThan, false},
                        {FilterKey::size, "2048", Comparison::lessOrEqual, true},
                        {FilterKey::inFolder, "été", std::nullopt, true},
                        {FilterKey::inFolder, "PROJ", std::nullopt, true},
                        {FilterKey::inFolder, "ann/projects", std::nullopt, false},
                        {FilterKey::app, "apple", std::nullopt, true},
                        {FilterKey::modified, "yesterday", std::nullopt, true},
                        {FilterKey::modified, "today", std::nullopt, false},
                        {FilterKey::modified, "2024-06-14", std::nullopt, true},
                        {FilterKey::created, "month", std::nullopt, false},
                        {FilterKey::created, "year", std::nullopt, true},
                        {FilterKey::after, "2024-06-14", std::nullopt, true},
                        {FilterKey::before, "2024-06-14", std::nullopt, false},
                        {FilterKey::before, "someday", std::nullopt, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(FileSearcher::matchesFilter(item, Filter{c.key, c.value, c.comparison}, context), c.matches)
        << filterKeyRawValue(c.key) << ":" << c.value;
  }
  item.modifiedDate.reset();
  item.parentBundleIdentifier.reset();
  EXPECT_FALSE(FileSearcher::matchesFilter(item, Filter{FilterKey::after, "2000", std::nullopt}, context));
  EXPECT_FALSE(FileSearcher::matchesFilter(item, Filter{FilterKey::app, "a", std::nullopt}, context));
}

}  // namespace
}  // namespace pallix
