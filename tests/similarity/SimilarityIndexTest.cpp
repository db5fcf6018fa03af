// The similarity index facade: add/update/remove against a std::map model,
// the scan/graph switch at 100 items and its scores, persistence of items and
// graph, and recovery from corrupt or foreign graph files.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "SimilaritySearchKit/MMapStore.h"
#include "SimilaritySearchKit/SimilarityIndex.h"
#include "core/FileUtil.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

// A model that maps known texts to fixed vectors and fails on the rest.
class TableEmbeddings final : public EmbeddingProvider {
 public:
  explicit TableEmbeddings(int dim) : dim_(dim) {}
  Result<std::vector<float>> encode(const std::string& text) override {
    if (text == "Test sentence") return std::vector<float>(std::size_t(dim_), 0.5f);
    auto it = table.find(text);
    if (it == table.end()) return Error::make("no embedding for " + text);
    return it->second;
  }
  int dimension() const override { return dim_; }
  std::map<std::string, std::vector<float>> table;

 private:
  int dim_;
};

class FailingEmbeddings final : public EmbeddingProvider {
 public:
  Result<std::vector<float>> encode(const std::string&) override { return Error::make("model not loaded"); }
  int dimension() const override { return 0; }
};

std::unique_ptr<SimilarityIndex> makeIndex(int dim = 4) {
  return std::make_unique<SimilarityIndex>("Test", std::make_shared<TableEmbeddings>(dim));
}

void addRandom(SimilarityIndex& index, std::mt19937_64& rng, int n, std::size_t dim, const std::string& prefix = "i") {
  for (int i = 0; i < n; ++i) {
    index.addItem(prefix + std::to_string(i), "text " + std::to_string(i), {{"n", std::to_string(i)}},
                  randomVector(rng, dim));
  }
}

TEST(SimilarityIndexTest, DimensionIsMeasuredAndMismatchedInputsAreRefused) {
  EXPECT_EQ(makeIndex(7)->dimension(), 7);
  EXPECT_EQ(SimilarityIndex().dimension(), 384);
  SimilarityIndex failing("F", std::make_shared<FailingEmbeddings>());
  EXPECT_EQ(failing.dimension(), 0);
  auto index = makeIndex(3);
  index->addItems({"a", "b"}, {"x", "y"}, {{}, {}}, std::vector<std::vector<float>>{{1, 2, 3}});
  EXPECT_EQ(index->itemCount(), 0u);
  index->addItem("a", "text", {}, std::vector<float>{1, 2, 3});
  EXPECT_FALSE(index->updateItem("a", "new", std::vector<float>{1, 2}));
  EXPECT_EQ(index->getItem("a")->text, "text");
  EXPECT_TRUE(index->updateItem("a", std::nullopt, std::nullopt, std::map<std::string, std::string>{{"x", "y"}}));
  EXPECT_EQ(index->getItem("a")->metadata.at("x"), "y");
}

TEST(SimilarityIndexTest, AddItemsReportsProgressAndEncodesMissingEmbeddings) {
  auto model = std::make_shared<TableEmbeddings>(2);
  model->table["hello"] = {1, 0};
  SimilarityIndex index("T", model);
  std::vector<AddItemsProgress> progress;
  index.addItems({"a", "b", "c"}, {"hello", "unknown", "x"}, {{{"k", "v"}}, {}, {}}, std::nullopt,
                 [&](const AddItemsProgress& p) { progress.push_back(p); });
  ASSERT_EQ(progress.size(), 3u);
  EXPECT_EQ(progress[2].current, 3);
  EXPECT_EQ(progress[2].total, 3);
  // "unknown" and "x" have no embedding: nothing is recorded for them.
  ASSERT_EQ(index.itemCount(), 1u);
  EXPECT_EQ(index.getItem("a")->embedding, (std::vector<float>{1, 0}));
  EXPECT_EQ(index.getItem("a")->metadata.at("k"), "v");
}

TEST(SimilarityIndexTest, NinetyNineItemsAreScannedWithTheMetric) {
  std::mt19937_64 rng(1);
  auto index = makeIndex();
  addRandom(*index, rng, 99, 4);
  ASSERT_TRUE(index->hnswIndex() != nullptr);
  auto q = randomVector(rng, 4);
  auto results = index->searchByVector(q, 7);
  ASSERT_EQ(results.size(), 7u);
  // Oracle: cosine similarity over all items, highest first.
  std::vector<std::pair<double, std::string>> expected;
  std::vector<std::vector<float>> data;
  for (const auto& item : index->items()) {
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < 4; ++i) {
      ab += q[i] * item.embedding[i];
      aa += q[i] * q[i];
      bb += item.embedding[i] * item.embedding[i];
    }
    expected.emplace_back(-ab / std::sqrt(aa * bb), item.id);
    data.push_back(item.embedding);
  }
  std::sort(expected.begin(), expected.end());
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(results[i].id, expected[i].second);
    EXPECT_NEAR(results[i].score, -expected[i].first, 1e-5);
  }
  // The metric argument overrides the index's metric on the scan path.
  EuclideanDistance euclid;
  EXPECT_EQ(index->searchByVector(q, 1, &euclid)[0].id, index->items()[bruteForce(data, q, 1)[0]].id);
}

TEST(SimilarityIndexTest, HundredItemsUseTheGraphAndScoreByDistance) {
  auto index = makeIndex(2);
  for (int i = 0; i < 100; ++i) index->addItem("p" + std::to_string(i), "", {}, std::vector<float>{float(i), 0});
  auto results = index->searchByVector({0, 0}, 5);
  ASSERT_EQ(results.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(results[i].id, "p" + std::to_string(i));
    EXPECT_NEAR(results[i].score, std::max(0.0f, 1.0f - float(i) / 10.0f), 1e-6);
  }
  // A distance of 10 or more scores 0; a k above efSearch still gets k results.
  auto far = index->searchByVector({50, 0}, 60);
  ASSERT_EQ(far.size(), 60u);
  for (const auto& r : far) {
    const float d = std::fabs(50.0f - std::stof(r.id.substr(1)));
    EXPECT_NEAR(r.score, std::max(0.0f, 1.0f - d / 10.0f), 1e-5);
  }
  EXPECT_EQ(far.back().score, 0.0f);
  // Without the graph the same index scans.
  index->setUseHNSW(false);
  auto scanned = index->searchByVector({0, 0}, 3);
  ASSERT_EQ(scanned.size(), 3u);
  EXPECT_EQ(scanned[0].score, 0.0f);  // cosine with a zero query is 0 for every item
}

TEST(SimilarityIndexTest, GraphResultsMissingFromTheItemsAreSkipped) {
  std::mt19937_64 rng(2);
  auto index = makeIndex(3);
  addRandom(*index, rng, 150, 3);
  auto items = index->items();
  std::vector<IndexItem> kept(items.begin(), items.begin() + 120);
  index->setItems(kept);
  index->rebuildItemIndex();  // the graph still knows all 150
  for (int q = 0; q < 20; ++q) {
    auto results = index->searchByVector(randomVector(rng, 3), 10);
    EXPECT_LE(results.size(), 10u);
    for (const auto& r : results) EXPECT_LT(std::stoi(r.id.substr(1)), 120);
  }
}

TEST(SimilarityIndexTest, AddUpdateRemoveMatchesMapModel) {
  std::mt19937_64 rng(3);
  auto index = makeIndex(3);
  std::map<std::string, IndexItem> model;
  std::vector<std::string> order;
  for (int step = 0; step < 700; ++step) {
    const std::string id = "k" + std::to_string(rng() % 150);
    const int op = int(rng() % 10);
    if (op < 5 && model.count(id) == 0) {
      IndexItem item{id, "t" + std::to_string(step), randomVector(rng, 3), {{"s", std::to_string(step)}}};
      index->addItem(item.id, item.text, item.metadata, item.embedding);
      model[id] = item;
      order.push_back(id);
    } else if (op < 8) {
      const bool known = model.count(id) != 0;
      auto v = randomVector(rng, 3);
      EXPECT_EQ(index->updateItem(id, "u" + std::to_string(step), v), known);
      if (known) {
        model[id].text = "u" + std::to_string(step);
        model[id].embedding = v;
      }
    } else {
      index->removeItem(id);
      model.erase(id);
      std::erase(order, id);
    }
    auto items = index->items();
    ASSERT_EQ(items.size(), order.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i], model[order[i]]);
      EXPECT_EQ(index->getItem(order[i]), model[order[i]]);
    }
    if (step % 25 == 0 && model.size() >= 100) {
      // Graph path: every result is live and scored from its current embedding.
      auto q = randomVector(rng, 3);
      std::set<std::string> seen;
      for (const auto& r : index->searchByVector(q, 10)) {
        ASSERT_TRUE(model.count(r.id)) << r.id;
        EXPECT_TRUE(seen.insert(r.id).second);
        const float d = float(euclidean(model[r.id].embedding, q));
        EXPECT_NEAR(r.score, std::max(0.0f, 1.0f - d / 10.0f), 1e-5);
      }
    }
  }
}

TEST(SimilarityIndexTest, DuplicateIdentifiersAppendAndMapToTheLaterItem) {
  auto index = makeIndex(1);
  index->addItem("d", "first", {}, std::vector<float>{1});
  index->addItem("d", "second", {}, std::vector<float>{2});
  EXPECT_EQ(index->itemCount(), 2u);
  EXPECT_EQ(index->getItem("d")->text, "second");
  EXPECT_EQ(index->hnswIndex()->count(), 1);
  index->removeItem("d");
  EXPECT_EQ(index->itemCount(), 0u);
  index->addItem("e", "", {}, std::vector<float>{3});
  index->removeAll();
  EXPECT_EQ(index->itemCount(), 0u);
  EXPECT_EQ(index->hnswIndex(), nullptr);
  EXPECT_TRUE(index->searchByVector({1}).empty());
}

// The items and their graph load as they were saved: the graph is read, not
// rebuilt, and the copy answers like the original, also once items were
// removed and the graph saved again. A missing or foreign graph is rebuilt
// from the items, never fatal; with no items nothing is read. Unreadable item
// files are errors.
TEST(SimilarityIndexTest, SavedIndexLoadsAsItWasAndUnusableGraphsAreRebuilt) {
  std::mt19937_64 rng(8);
  TempDir dir;
  auto index = makeIndex(4);
  addRandom(*index, rng, 140, 4);
  PrintedLines printed;
  auto location = index->saveIndex(dir.path(), "Chunks");
  ASSERT_TRUE(location.ok()) << location.error().description();
  EXPECT_EQ(location.value(), dir / "Chunks.mmap");
  const auto graphSize = readFileToString(dir / "Chunks.hnsw").value().size();
  EXPECT_EQ(printed.lines(), (std::vector<std::string>{"Saved HNSW index (" + std::to_string(graphSize) +
                                                           " bytes) to " + (dir / "Chunks.hnsw"),
                                                       "Saved 140 index items to " + (dir / "Chunks.mmap")}));

  auto loaded = makeIndex(4);
  auto items = loaded->loadIndex(dir.path(), "Chunks");
  ASSERT_TRUE(items.ok()) << items.error().description();
  EXPECT_EQ(items.value(), index->items());
  EXPECT_EQ(printed.lines().back(), "Loaded HNSW index from " + (dir / "Chunks.hnsw"));
  auto expectSameAnswers = [&] {
    for (int q = 0; q < 20; ++q) {
      auto v = randomVector(rng, 4);
      auto a = index->searchByVector(v, 8), b = loaded->searchByVector(v, 8);
      ASSERT_EQ(a.size(), b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].id, b[i].id);
        EXPECT_EQ(a[i].score, b[i].score);
        EXPECT_EQ(a[i].metadata, b[i].metadata);
      }
    }
  };
  expectSameAnswers();

  index->removeItem("i7");
  index->removeItem("i8");
  ASSERT_TRUE(index->saveHNSW(dir.path(), "Chunks").ok());
  EXPECT_EQ(getU32(readFileToString(dir / "Chunks.hnsw").value(), 0), 138u);
  loaded->setItems(index->items());
  loaded->rebuildItemIndex();
  EXPECT_EQ(loaded->loadOrRebuildHNSW(dir.path(), "Chunks"), HNSWLoadOutcome::loaded);
  expectSameAnswers();
  index->removeItem("i9");
  ASSERT_TRUE(index->saveIndex(dir.path(), "Pruned").ok());
  ASSERT_TRUE(makeIndex(4)->loadIndex(dir.path(), "Pruned").ok());
  EXPECT_EQ(printed.lines().back(), "Loaded HNSW index from " + (dir / "Pruned.hnsw"))
      << "a graph saved after removals is read, not rebuilt";

  // The saved graph now has 138 nodes for the file's 140 items.
  auto fromForeign = makeIndex(4), other = makeIndex(4), empty = makeIndex(4);
  addRandom(*other, rng, 5, 4);
  PrintedLines rebuilt;
  ASSERT_TRUE(fromForeign->loadIndex(dir.path(), "Chunks").ok());
  ASSERT_NE(fromForeign->hnswIndex(), nullptr);
  EXPECT_EQ(fromForeign->hnswIndex()->count(), 140);
  EXPECT_EQ(other->loadOrRebuildHNSW(dir.path(), "Chunks"), HNSWLoadOutcome::rebuilt);
  EXPECT_EQ(other->hnswIndex()->count(), 5);
  EXPECT_EQ(rebuilt.lines(),
            (std::vector<std::string>{
                "Failed to deserialize HNSW, rebuilding: Invalid HNSW data: Node count mismatch: 138 vs 140",
                "Failed to deserialize HNSW, rebuilding: Invalid HNSW data: Node count mismatch: 138 vs 5"}));
  EXPECT_EQ(empty->loadOrRebuildHNSW(dir.path(), "Chunks"), HNSWLoadOutcome::skipped);
  EXPECT_EQ(empty->hnswIndex(), nullptr);
  std::filesystem::remove(dir / "Chunks.hnsw");
  ASSERT_TRUE(empty->loadIndex(dir.path(), "Chunks").ok());
  ASSERT_NE(empty->hnswIndex(), nullptr);
  EXPECT_EQ(empty->hnswIndex()->count(), 140);

  ASSERT_TRUE(writeFileAtomically(dir / "Chunks.mmap", "SKST-not-really").ok());
  auto bad = loaded->loadIndex(dir.path(), "Chunks");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().description(), "File is too small to contain valid data");
  EXPECT_FALSE(loaded->loadIndex(dir.path(), "Nope").ok());
}

TEST(SimilarityIndexTest, TextSearchWithBuiltInModelFindsSharedWords) {
  SimilarityIndex index;
  index.addItem("1", "meeting notes from last week");
  index.addItem("2", "grocery list apples bananas");
  index.addItem("3", "quarterly tax documents");
  auto results = index.search("notes from the meeting");
  ASSERT_TRUE(results.ok());
  ASSERT_EQ(results->size(), 3u);
  EXPECT_EQ((*results)[0].id, "1");
  EXPECT_GT((*results)[0].score, (*results)[1].score);
  EXPECT_GT(index.estimatedSizeInBytes(), 3 * 384 * sizeof(float));
  EXPECT_EQ(SimilarityIndex::combinedResultsString({{"a", 1, "x", {}}, {"b", 1, "y", {}}}), "x\ny");
  EXPECT_NE(SimilarityIndex::exportLLMPrompt("q?", {{"a", 1, "ctx", {}}}).find("ctx"), std::string::npos);
  EXPECT_EQ(index.sample(2).size(), 2u);
}

// Cosine ranking is pinned by the scan oracle above.
TEST(SimilarityIndexTest, MetricsRankAndRefuseMismatchedLengths) {
  std::vector<std::vector<float>> data = {{1, 0}, {0, 1}, {2, 2}, {-1, 0}};
  std::vector<const std::vector<float>*> refs;
  for (const auto& v : data) refs.push_back(&v);
  auto dotp = DotProduct().findNearest({1, 1}, refs, 10);
  ASSERT_EQ(dotp.size(), 4u);
  EXPECT_EQ(dotp[0].second, 2u);
  EXPECT_FLOAT_EQ(dotp[0].first, 4.0f);
  auto l2 = EuclideanDistance().findNearest({-1, 0.1f}, refs, 1);
  EXPECT_EQ(l2[0].second, 3u);
  EXPECT_NEAR(l2[0].first, 0.1f, 1e-6);

  std::vector<float> odd = {1, 2, 3};
  refs.push_back(&odd);
  EXPECT_TRUE(CosineSimilarity().findNearest({1, 0}, refs, 3).empty());
}

}  // namespace
}  // namespace pallix
