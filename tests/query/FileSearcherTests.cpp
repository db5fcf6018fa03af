// FileSearcher: power queries on a generated catalog (best matches inserted
// last) against a brute-force model that filters, scores and sorts every
// row; scoring and match types; name rules; the filter-only cap; refused
// queries; diacritics; failures.
#include <gtest/gtest.h>

#include <random>

#include "app/search/CatalogNameIndex.h"
#include "app/search/FileSearcher.h"
#include "app/search/QueryParser.h"
#include "app/search/TextFolding.h"
#include "core/Strings.h"
#include "tests/query/FileSearchModel.h"
#include "tests/query/FileSearchTestCatalog.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::failsWith;
using testing::FileSearchTestCatalog;
using testing::makeFile;
using testing::ModelResult;
using testing::ModelRow;
using testing::modelRow;
using testing::modelSearch;

// Saturday 2024-06-15 12:00 UTC.
const Date kNow = dateFromSecondsSince1970(1718452800);

const DateContext kUtc{.now = kNow, .timeZoneId = "UTC"};

Date hoursAgo(double hours) {
  return kNow - std::chrono::duration_cast<Date::duration>(seconds(hours * 3600));
}

// ICU lower-casing (root locale), or full case folding.
// Every plan: all candidates at once (the default for rare texts), class by
// class with tiers read whole or newest first through the date index, and
// short texts spelled as few trigrams or scanned.
constexpr FileSearchTuning kByClass{.fewCandidateRows = 0};
constexpr FileSearchTuning kByDate{.fewCandidateRows = 0, .tierCandidateRows = 0};
constexpr FileSearchTuning kByDateFewTrigrams{
    .fewCandidateRows = 0, .tierCandidateRows = 0, .maxShortQueryTrigrams = 4};
constexpr FileSearchTuning kByDateThenWhole{.fewCandidateRows = 0, .tierCandidateRows = 0, .dateReadInstructions = 500};
constexpr FileSearchTuning kByDateScans{.fewCandidateRows = 0, .tierCandidateRows = 0, .maxShortQueryTrigrams = 1};

// ---- The generated catalog: 20,000 names, the best matches inserted last. ----

class FileSearcherPowerQueryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    catalog_ = new FileSearchTestCatalog();
    rows_ = new std::vector<ModelRow>();
    const std::vector<std::string> folders = {"/home/u/Projects/alpha", "/home/u/Archive/2023", "/home/u/Photos/Été",
                                              "/home/u/Documents", "/home/u/Música"};
    // Early rows hold the query words inside longer names, mostly old.
    const std::vector<std::string> names = {
        "final report", "reports",  "Résumé draft", "my resume",    "budgets",  "Budget Q3 old", "notes old",
        "naïve plan",   "photos",   "IMG_001",      "invoice 2024", "ta",       "cab",           "xx",
        "ÉTÉ summary",  "quote\"d", "50% off",      "tools.1.x",    "pdfguide", "old my.pdf",    "gcloud"};
    // The best matches (whole names, prefixes, fresh files) come last.
    const std::vector<std::string> best = {"report", "Report", "résumé", "resume", "budget", "notes", "a",
                                           "ab",     "x",      "ls.1",   "naive",  "été",    "photo", "invoice"};
    // Extensions and their categories.
    const std::vector<std::pair<const char*, const char*>> extensions = {
        {"pdf", "document"}, {"docx", "document"}, {"txt", "document"}, {"png", "image"},  {"jpg", "image"},
        {"mp3", "audio"},    {"zip", "archive"},   {"gz", "archive"},   {"swift", "code"}, {"", "other"}};
    const std::vector<int64_t> sizes = {0, 512, 1024, 5000, 1048576, 1572864, 1073741824};
    std::mt19937 rng(42);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto add = [&](int i, const std::string& folder, std::string name, double maxAgeHours) {
      if (pick(3) == 0) name += " " + std::to_string(pick(50));
      const auto& [extension, category] = extensions[pick(extensions.size())];
      const std::string dir = folder + "/" + std::to_string(i);
      const std::string path = dir + "/" + name + (extension[0] ? std::string(".") + extension : "");
      std::optional<Date> modified;
      if (pick(20) != 0) modified = hoursAgo(static_cast<double>(pick(static_cast<size_t>(maxAgeHours))) + 0.5);
      std::optional<Date> created;
      if (pick(10) != 0) created = hoursAgo(static_cast<double>(pick(24 * 800)) + 0.25);
      std::optional<std::string> parent;
      if (pick(10) == 0) parent = "com.Example.Editor";
      if (pick(20) == 0) parent = "org.tool.Ünicode";
      IndexedItem item =
          makeFile(path, extension, sizes[pick(sizes.size())], modified, created, std::string(category), parent);
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
      catalog_->insert(item);
      rows_->push_back(modelRow(item));
    };
    catalog_->exec("BEGIN");
    int i = 0;
    for (; i < 18000; ++i) add(i, folders[pick(folders.size())], names[pick(names.size())], 24 * 400);
    // Many paths with the same phrase, after the rest.
    for (; i < 19200; ++i) add(i, "/opt/google/gcloud_alpha/lib", names[pick(names.size())], 24 * 400);
    for (; i < 20000; ++i) add(i, folders[pick(folders.size())], best[pick(best.size())], 24 * 40);
    IndexedItem manPage = makeFile("/usr/share/man/man1/ls.1.gz", "gz", 3000, hoursAgo(24 * 90));
    catalog_->insert(manPage);
    rows_->push_back(modelRow(manPage));
    catalog_->exec("COMMIT");
  }
  static void TearDownTestSuite() {
    delete catalog_;
    delete rows_;
  }

  void expectMatchesModel(const std::string& text, int limit, const FileSearchTuning& tuning = {}) {
    expectMatchesModel(QueryParser::parse(text), text, limit, tuning);
  }
  void expectMatchesModel(const ParsedQuery& query, const std::string& text, int limit,
                          const FileSearchTuning& tuning = {}) {
    SCOPED_TRACE("query: '" + text + "' limit " + std::to_string(limit) + " few " +
                 std::to_string(tuning.fewCandidateRows) + " tier " + std::to_string(tuning.tierCandidateRows) +
                 " max trigrams " + std::to_string(tuning.maxShortQueryTrigrams));
    auto result = FileSearcher::search(catalog_->db(), query, limit, kUtc, tuning);
    ASSERT_TRUE(result.ok()) << result.error().description();
    const std::vector<ModelResult> expected = modelSearch(*rows_, query, limit, kUtc);
    ASSERT_EQ(result->size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
      ASSERT_EQ((*result)[k].item.path, expected[k].path) << "rank " << k;
      EXPECT_FLOAT_EQ((*result)[k].relevanceScore, expected[k].score) << "rank " << k;
      EXPECT_EQ((*result)[k].matchType, expected[k].type) << "rank " << k;
    }
    if (!expected.empty()) ++nonEmptyQueries_;
  }
  static FileSearchTestCatalog* catalog_;
  static std::vector<ModelRow>* rows_;
  int nonEmptyQueries_ = 0;
};
FileSearchTestCatalog* FileSearcherPowerQueryTest::catalog_ = nullptr;
std::vector<ModelRow>* FileSearcherPowerQueryTest::rows_ = nullptr;

// Among them phrases, regexes and exact names whose best matches a fetch
// bounded in row order would miss.
TEST_F(FileSearcherPowerQueryTest, PowerQueriesMatchTheBruteForceModel) {
  const std::vector<std::string> queries = {
      // text, diacritics, extensions and characters with a meaning elsewhere
      "report", "résumé", "RESUME", "report.pdf", "pdf", ".pdf", "re", "a", "ab", "x", "é", "naive", "budget q3",
      "invoice 2024", "zzz", "quote\"d", "50%", "off", "_0", "ls.1", "ls.1.gz", "t.p", "s.1", "Report.PDF", "report.p",
      "my.pdf", "OR", "ai",
      // every filter, alone and with text
      "ext:pdf", "ext:pdf,DOCX report", "extension:zip,,mp3", "type:image", "type:doc budget", "size:>1mb",
      "size:<=1kb notes", "size:1.5mb", "size:0", "modified:today", "mod:week report", "modified:month",
      "created:yesterday", "created:year notes", "before:2024-01-01", "after:2024-06-01 ext:txt", "modified:2024-06-10",
      "modified:06/14/2024", "in:projects", "in:archive report", "in:été", "in:ÉTÉ", "in:a/b", "folder:2023 budget",
      "app:example", "bundle:ünicode", "app:EDITOR report",
      // exclusions, regexes, phrases, item types and a combination
      "NOT ext:pdf report", "NOT in:archive budget", "NOT type:image", "NOT app:example NOT size:0",
      "NOT modified:week", "/^inv.*\\d+$/", "/^report$/ ext:pdf", "/^ls\\.1$/", "/^report\\.pdf$/", "/^ls\\.1\\.gz$/",
      "\"Projects/alpha\"", "\"photos\" ext:png", "\"ÉTÉ\"", "\"gcloud_alpha\"", "\"gcloud_alpha\" \"lib\" report",
      "report \"archive\" NOT size:0", "is:folder report", "is:folder", "is:app", "is:app budget", "is:dir NOT in:été",
      "résumé type:document size:>=1024 NOT ext:txt"};
  for (const std::string& text : queries) {
    expectMatchesModel(text, 50);
    expectMatchesModel(text, 7, kByClass);
  }
  // The table must exercise real results, not only empty answers.
  EXPECT_GE(nonEmptyQueries_, 2 * static_cast<int>(queries.size()) - 8);
}

TEST_F(FileSearcherPowerQueryTest, RandomMixesMatchTheModelOnEveryPlan) {
  // Query pieces, separated by "|".
  const std::vector<std::string> pieces = splitString(
      "report|re|budget|é|notes 1|ls.1|ext:pdf,txt|type:image|size:>1000|size:<1mb|modified:week|created:month|"
      "before:2024-05-01|in:documents|in:música|app:tool|NOT ext:zip|NOT in:photos|/\\d/|/^r/|\"2023\"|\"lib\"|"
      "is:folder|is:app|after:2024-06-14|a|x",
      '|');
  std::mt19937 rng(7);
  const FileSearchTuning tunings[] = {{}, kByClass, kByDate, kByDateFewTrigrams, kByDateThenWhole};
  for (int i = 0; i < 120; ++i) {
    std::string text;
    for (int k = std::uniform_int_distribution<int>(1, 4)(rng); k > 0; --k)
      text += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)] + " ";
    expectMatchesModel(text, std::uniform_int_distribution<int>(1, 60)(rng), tunings[i % 5]);
  }
  EXPECT_GT(nonEmptyQueries_, 60);
}

TEST_F(FileSearcherPowerQueryTest, ShortQueriesGiveTheBruteForceAnswerOnEveryPlan) {
  const std::vector<std::string> queries = {
      "a",  "ab", "x", "é", "_0", "qz", "5 ", "r ext:pdf", "3 NOT ext:txt", "é in:música", "% type:document",
      ".p", "f.", "z", "l"};
  for (const FileSearchTuning tuning : {FileSearchTuning{}, kByClass, kByDate, kByDateThenWhole, kByDateScans}) {
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
  for (int i = 0; i < 150; ++i) {
    ParsedQuery query;
    std::string term;
    for (int k = std::uniform_int_distribution<int>(1, 5)(rng); k > 0; --k) {
      term += alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    }
    const std::string trimmed(trimWhitespace(term));
    if (trimmed.empty()) continue;
    query.textTerms = {trimmed};
    expectMatchesModel(query, trimmed, 20, i % 2 ? FileSearchTuning{} : kByDateFewTrigrams);
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
    auto result = FileSearcher::search(catalog_.db(), QueryParser::parse(text), limit, kUtc);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description());
    return result.ok() ? result.value() : std::vector<FileSearcher::SearchResult>();
  }

  FileSearchTestCatalog catalog_;
};

TEST_F(FileSearcherTest, PathOnlyMatchAndPhraseBonusClampToOne) {
  add(makeFile("/work/taxes/2024/scan.png", "png", 1, hoursAgo(2)));
  auto results = search("taxes \"2024\" \"TAXES\"");
  ASSERT_EQ(results.size(), 0u);  // the name index looks at names only
  results = search("sca \"2024\" \"TAXES\"");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].matchType, FileMatchType::prefix);
  EXPECT_FLOAT_EQ(results[0].relevanceScore, 1.0f);  // 0.9 + 0.2 + 0.15 clamped
  const IndexedItem item = makeFile("/work/taxes/2024/scan.png", "png", 1, std::nullopt);
  auto [score, type] = FileSearcher::calculateScore(item, "taxes", ParsedQuery(), kUtc);
  EXPECT_EQ(type, FileMatchType::substring);
  EXPECT_FLOAT_EQ(score, 0.6f);
}

// People type the name they see: the whole name with its extension wins
// among exact matches, whatever the dates, and a pattern may spell it.
TEST_F(FileSearcherTest, TheNameAsShownComesFirstAndPatternsMaySpellIt) {
  add(makeFile("/etc/kestrel/kestrel.conf", "conf", 1, hoursAgo(24 * 400)));
  add(makeFile("/etc/kestrel/kestrel.conf.sample", "sample", 1, hoursAgo(1)));
  add(makeFile("/etc/kestrel/kestrel.conf.d", "", 1, hoursAgo(2)));
  auto results = search("kestrel.conf");
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].item.path, "/etc/kestrel/kestrel.conf");
  EXPECT_EQ(results[1].item.path, "/etc/kestrel/kestrel.conf.sample");
  EXPECT_EQ(results[0].matchType, FileMatchType::exact);
  EXPECT_EQ(results[1].matchType, FileMatchType::exact);
  EXPECT_EQ(results[2].matchType, FileMatchType::prefix);

  add(makeFile("/docs/report.pdf", "pdf", 1, hoursAgo(3)));
  add(makeFile("/docs/report.pdf.txt", "txt", 1, hoursAgo(3)));
  results = search("/^report\\.pdf$/");
  ASSERT_EQ(results.size(), 2u);  // "report.pdf" and the name "report.pdf" of the .txt
  results = search("/^report\\.pdf$/ ext:pdf");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].item.path, "/docs/report.pdf");
  results = search("/^report$/");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].item.path, "/docs/report.pdf");
}

TEST_F(FileSearcherTest, FilterOnlyQueriesAreCappedAtOneHundredAndSaySo) {
  for (int i = 0; i < 250; ++i) add(makeFile("/d/f" + std::to_string(i) + ".pdf", "pdf", i, hoursAgo(24 * 100)));
  auto page = FileSearcher::searchPage(catalog_.db(), QueryParser::parse("ext:pdf"), 500, kUtc);
  ASSERT_TRUE(page.ok());
  ASSERT_EQ(page->results.size(), 100u);
  for (const auto& r : page->results) {
    EXPECT_EQ(r.matchType, FileMatchType::filterOnly);
    EXPECT_FLOAT_EQ(r.relevanceScore, 0.5f);
  }
  ASSERT_TRUE(page->cut.has_value());
  EXPECT_EQ(page->cut->shown, 100);
  EXPECT_EQ(page->cut->matches, 250);
  EXPECT_FALSE(page->cut->matchesIsLowerBound);
  // Nothing was cut: asked for no more than the cap, or fewer matches.
  for (auto [text, limit] : {std::pair{"ext:pdf", 100}, std::pair{"ext:pdf size:<50", 500}}) {
    auto uncut = FileSearcher::searchPage(catalog_.db(), QueryParser::parse(text), limit, kUtc);
    ASSERT_TRUE(uncut.ok());
    EXPECT_FALSE(uncut->cut.has_value()) << text;
  }
  // An exact phrase lifts the cap.
  EXPECT_EQ(search("ext:pdf \"/d/\"", 500).size(), 250u);
}

TEST_F(FileSearcherTest, InvalidQueriesAreRefusedWithOneClearMessage) {
  add(makeFile("/d/notes.gz", "gz", 1, std::nullopt));
  std::string manyFilters, manyExtensions = "ext:gz", deepest;
  for (int i = 0; i < 1000; ++i) manyFilters += "ext:gz ";
  for (int i = 0; i < 100; ++i) manyExtensions += ",e" + std::to_string(i);
  for (size_t i = 0; i < FileSearcher::kMaxQueryConditions; ++i) deepest += "NOT in:z" + std::to_string(i) + " ";
  struct Case {
    std::string query;
    int code;
    std::string fragment;
  };
  const Case cases[] = {
      {"/[/", FileSearcher::kInvalidQuery, "/[/ is not a valid regular expression"},
      {"notes /(a/", FileSearcher::kInvalidQuery, "/(a/ is not a valid regular expression"},
      {"after:garbage", FileSearcher::kInvalidQuery, "after:garbage has no date"},
      {"notes NOT before:2024-13-01", FileSearcher::kInvalidQuery, "before:2024-13-01 has no date"},
      {"type:nothing", FileSearcher::kInvalidQuery, "type:nothing names no kind of file"},
      {"   ", FileSearcher::kEmptyQuery, "nothing to search for"},
      {"NOT notes", FileSearcher::kEmptyQuery, "nothing to search for"},
      {manyFilters, FileSearcher::kQueryTooComplex, "the query has 1000 filters"},
      {manyExtensions, FileSearcher::kQueryTooComplex, "at most"},
  };
  for (const Case& c : cases) {
    auto result = FileSearcher::search(catalog_.db(), QueryParser::parse(c.query), 50, kUtc);
    ASSERT_FALSE(result.ok()) << c.query;
    EXPECT_EQ(result.error().domain(), FileSearcher::kErrorDomain) << c.query;
    EXPECT_EQ(result.error().code(), c.code) << c.query;
    EXPECT_TRUE(failsWith(result, c.fragment)) << c.query;
  }
  // As many conditions as allowed, each the deepest expression, still run.
  auto allowed = FileSearcher::search(catalog_.db(), QueryParser::parse(deepest + "notes"), 50, kUtc);
  ASSERT_TRUE(allowed.ok()) << allowed.error().description();
  EXPECT_EQ(allowed->size(), 1u);
}

TEST(FileSearcherIndexTest, StoreErrorsPropagate) {
  FileSearchTestCatalog catalog(/*withNameIndex=*/false);
  EXPECT_TRUE(
      failsWith(FileSearcher::search(catalog.db(), QueryParser::parse("anything"), 50, kUtc), "IndexedItemNameIndex"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  EXPECT_TRUE(failsWith(CatalogNameIndex::install(db), "IndexedItem"));
  sqlite3_close(db);
}

TEST(FileSearcherFilterTest, RulesOnSingleRecords) {
  const DateContext& context = kUtc;
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
