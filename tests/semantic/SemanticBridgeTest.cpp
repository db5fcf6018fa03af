// Merging semantic hits into the file searcher's results, and what the
// bridge answers without a store.
#include <gtest/gtest.h>

#include "app/semantic/SemanticBridge.h"
#include "testing/VirtualTime.h"

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

}  // namespace
}  // namespace pallix
