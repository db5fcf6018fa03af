// The semantic bridge: merging semantic hits into the file searcher's
// results, what it answers without a store, and the composition end to end
// in virtual time with the tiny model (a full pass over real files, then the
// bridge finds and merges them).
#include <gtest/gtest.h>

#include "app/preferences/FilesPreferences.h"
#include "app/search/FileMatchReason.h"
#include "app/semantic/SemanticBridge.h"
#include "app/semantic/SemanticServices.h"
#include "testing/VirtualTime.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

FileSearchResult textResult(const std::string& path, float score) {
  auto item = IndexedItem::file(path, path.substr(path.rfind('/') + 1), "txt", 10, std::nullopt, std::nullopt,
                                IndexedItem::FileCategory::document, std::nullopt);
  return {item, score, FileMatchType::substring};
}

SemanticResult hit(const std::string& path, float similarity) {
  SemanticResult r;
  r.filePath = path;
  r.fileName = path.substr(path.rfind('/') + 1);
  r.similarity = similarity;
  r.chunk.filePath = path;
  r.chunk.fileName = r.fileName;
  r.chunk.fileExtension = "md";
  r.chunk.modifiedDate = 1.7e9;
  return r;
}

TEST(SemanticBridgeTest, MergeRaisesTextMatchesAndAddsTheRest) {
  const std::vector<FileSearchResult> text = {textResult("/d/plan.txt", 0.95f), textResult("/d/todo.txt", 0.4f),
                                              textResult("/d/plan.txt", 0.2f)};
  const std::vector<SemanticResult> semantic = {hit("/d/plan.txt", 0.8f), hit("/d/plan.txt", 0.7f),
                                                hit("/d/catalogued.md", 0.6f), hit("/d/unknown.md", 0.55f),
                                                hit("/d/todo.txt", 0.3f)};
  int lookups = 0;
  CatalogLookup lookup = [&](const std::string& path) -> std::optional<IndexedItem> {
    ++lookups;
    if (path != "/d/catalogued.md") return std::nullopt;
    auto item = textResult(path, 0).item;
    item.id = 42;
    return item;
  };
  const auto merged = SemanticBridge::merge(text, semantic, lookup);

  std::vector<std::pair<std::string, float>> order;
  for (const auto& r : merged.results) order.emplace_back(r.item.path, r.relevanceScore);
  const std::vector<std::pair<std::string, float>> expected = {
      {"/d/plan.txt", 1.0f}, {"/d/catalogued.md", 0.6f}, {"/d/unknown.md", 0.55f}, {"/d/todo.txt", 0.5f}};
  ASSERT_EQ(order.size(), expected.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(order[i].first, expected[i].first);
    EXPECT_FLOAT_EQ(order[i].second, expected[i].second);
  }
  EXPECT_EQ(merged.addedCount, 2u);
  EXPECT_EQ(lookups, 2);
  EXPECT_EQ(merged.results[1].item.id, 42);  // the catalog's record
  const IndexedItem& transient = merged.results[2].item;
  EXPECT_EQ(transient.id, 0);
  EXPECT_EQ(transient.name, "unknown.md");
  EXPECT_EQ(transient.fileExtension, std::optional<std::string>("md"));
  EXPECT_EQ(merged.results[2].matchType, FileMatchType::semantic);
  EXPECT_EQ(merged.results[0].matchType, FileMatchType::substring);  // raised, keeps its match
  EXPECT_EQ(merged.semanticPaths.size(), 4u);
}

// A file found by its name and by its content says both; one found only by
// its content shows the passage.
TEST(SemanticBridgeTest, MergedResultsSayHowEachWayFoundThem) {
  FileSearchResult named = textResult("/d/plan.txt", 0.9f);
  named.why = fileMatchReason(named.item, QueryParser::parse("plan"), "");
  SemanticResult both = hit("/d/plan.txt", 0.8f);
  both.why = passageReason("Sow the seeds in March. Plan the beds.", "plan beds");
  SemanticResult only = hit("/d/notes.md", 0.7f);
  only.why = passageReason("Seed catalogue for spring.", "seed");
  const auto merged = SemanticBridge::merge({named}, {both, only}, nullptr);
  ASSERT_EQ(merged.results.size(), 2u);
  const MatchReason& first = merged.results[0].why;
  EXPECT_EQ(matchReasonKindName(first), "name+passage");
  EXPECT_EQ(first.text, "plan.txt \u00B7 Plan the beds.");
  std::vector<std::string> highlighted;
  for (const TextSpan& s : first.highlights) highlighted.push_back(first.text.substr(s.byteStart, s.byteLength));
  EXPECT_EQ(highlighted, (std::vector<std::string>{"plan", "Plan", "beds"}));
  EXPECT_EQ(merged.results[1].why, only.why);
  EXPECT_EQ(matchReasonKindName(merged.results[1].why), "passage");
}

TEST(SemanticBridgeTest, WithoutAStoreNothingIsSearched) {
  VirtualTimeEnvironment env;
  SemanticBridge bridge(nullptr, nullptr);
  std::optional<bool> can;
  std::optional<SemanticIndexStatus> status;
  std::optional<std::size_t> found;
  bridge.canPerformSearch(Completion<bool>([&](bool v) { can = v; }));
  bridge.status(Completion<SemanticIndexStatus>([&](SemanticIndexStatus s) { status = s; }));
  bridge.search("q", 5, Completion<std::vector<SemanticResult>>([&](auto r) { found = r.size(); }));
  env.runUntilIdle();
  EXPECT_EQ(can, false);
  EXPECT_EQ(status, SemanticIndexStatus::unavailable);
  EXPECT_EQ(found, 0u);
}

TEST(SemanticServicesTest, IndexedFilesAreFoundAndMergedIntoTextResults) {
  testing::StoreFixture f;
  const std::string folder = f.dir.mkdir("docs");
  const std::string garden = f.dir.write("docs/garden.txt", "Tomatoes and basil grow well together in the summer.\n");
  const std::string taxes = f.dir.write("docs/taxes.md", "Quarterly tax returns are due in April; keep receipts.\n");
  // The tiny model knows few words: query with a chunk's exact text, which it ranks first.
  auto chunkTextOf = [](const std::string& path) {
    return makeFileChunks(describeFile(path).value(), readTextFile(path).value()).at(0).text;
  };
  ASSERT_TRUE(f.defaults.set(FilesPreferences::kIndexedFoldersKey, std::vector<std::string>{folder}).ok());
  ASSERT_TRUE(f.defaults.set(FilesPreferences::kIndexingIntensityKey, "maximum").ok());

  SemanticServicesOptions options;
  options.dirs = DataDirectories::forHome(f.dir.path());
  options.defaults = &f.defaults;
  options.notifications = &f.center;
  options.modelFactory = f.factory;
  options.coordinator = EmbeddingCoordinator::create(f.env.makeRunner("lease"));
  options.storeDirectory = f.data();
  options.temporaryDirectory = f.dir.mkdir("tmp");
  for (auto* runner :
       {&options.fileStoreRunner, &options.messageStoreRunner, &options.backgroundRunner, &options.indexerRunner}) {
    *runner = f.env.makeRunner("service");
  }
  auto services = SemanticServices::create(std::move(options));
  EXPECT_EQ(SemanticServices::semanticFolders(f.defaults, DataDirectories::forHome(f.dir.path())),
            std::vector<std::string>{folder});
  ASSERT_TRUE(f.run([&](auto done) { services->initialize(done); }).ok());

  std::optional<FileChunkIndexer::PassSummary> summary;
  services->fileIndexer()->runFullPass({folder},
                                       Completion<FileChunkIndexer::PassSummary>([&](auto s) { summary = s; }));
  for (int i = 0; i < 100 && !summary; ++i) f.env.advanceBy(std::chrono::seconds(1));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->indexedFiles, 2);
  EXPECT_TRUE(f.exists("FileChunks.mmap") || f.exists("FileChunks.mmap.lz"));

  auto hits =
      f.await<std::vector<SemanticResult>>([&](auto done) { services->bridge().search(chunkTextOf(garden), 2, done); });
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].fileName, "garden.txt");
  // The passage of the chunk, the query's words in it highlighted.
  EXPECT_EQ(hits[0].why.text, "Tomatoes and basil grow well together in the summer.");
  EXPECT_FALSE(hits[0].why.highlights.empty());
  EXPECT_TRUE(f.await<bool>([&](auto done) { services->bridge().canPerformSearch(done); }));

  std::optional<SemanticMergeResult> merged;
  services->bridge().mergeWithTextResults({}, chunkTextOf(taxes), 1, nullptr, f.env.mainRunner(),
                                          [&](SemanticMergeResult m) { merged = std::move(m); });
  f.env.runUntilIdle();
  ASSERT_TRUE(merged.has_value());
  ASSERT_EQ(merged->results.size(), 1u);
  EXPECT_EQ(merged->results[0].item.name, "taxes.md");
  EXPECT_EQ(merged->results[0].matchType, FileMatchType::semantic);
}

}  // namespace
}  // namespace pallix
