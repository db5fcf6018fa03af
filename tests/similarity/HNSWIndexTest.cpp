// HNSWIndex behaviour: search against a brute-force oracle (random and
// clustered data), every insertion's neighbour selection against a model,
// insertion rules, removal and entry-point repair against a model of the live
// set, graph invariants and level distribution after a random build.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <thread>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "SimilaritySearchKit/VectorMath.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using testing_support::bruteForce;
using testing_support::euclidean;
using testing_support::randomRows;
using testing_support::randomVector;

std::unique_ptr<HNSWIndex> buildIndex(const std::vector<std::vector<float>>& data, uint64_t seed, int64_t ef = 50) {
  auto index = std::make_unique<HNSWIndex>(16, 200, ef);
  index->setRandomSeed(seed);
  for (std::size_t i = 0; i < data.size(); ++i) index->insert("item-" + std::to_string(i), data[i]);
  return index;
}

// Parameters follow M; an empty index, k <= 0 and a repeated identifier give nothing new.
TEST(HNSWIndexTest, ParametersEmptySearchesAndRepeatedIdentifiers) {
  HNSWIndex index(16, 200, 50);
  EXPECT_EQ(index.M0(), 32);
  EXPECT_TRUE(index.isEmpty());
  EXPECT_FALSE(index.entryPointIndex().has_value());
  EXPECT_TRUE(index.search({0, 0}, 5).empty());
  index.insert("a", {0, 0});
  index.insert("a", {3, 4});  // the first embedding stays
  EXPECT_EQ(index.count(), 1);
  EXPECT_TRUE(index.search({0, 0}, 0).empty());
  EXPECT_TRUE(index.search({0, 0}, -3).empty());
  auto hits = index.search({3, 4}, 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "a");
  EXPECT_FLOAT_EQ(hits[0].distance, 5.0f);
}

// n points around `clusters` centres drawn N(0, scale^2) per component, each
// point N(centre, 1): well apart for scale 4 in 16 dimensions.
struct ClusteredSet {
  std::mt19937_64 rng;
  std::vector<std::vector<float>> centres;
  ClusteredSet(uint64_t seed, std::size_t clusters, std::size_t dim, float scale) : rng(seed) {
    for (std::size_t c = 0; c < clusters; ++c) {
      centres.push_back(randomVector(rng, dim));
      for (float& x : centres.back()) x *= scale;
    }
  }
  std::vector<float> point() {
    auto v = randomVector(rng, centres[0].size());
    const auto& c = centres[rng() % centres.size()];
    for (std::size_t d = 0; d < v.size(); ++d) v[d] += c[d];
    return v;
  }
};

// Recall of the k nearest against the oracle, each item once, closest first
// with true distances; an efSearch above the count makes the search exact and
// a k above efSearch widens the search to k.
TEST(HNSWIndexTest, SearchAgreesWithBruteForce) {
  struct Case {
    std::size_t count, clusters, dim;
    int64_t ef, k;
    uint64_t seed;
    double minRecall;
  };
  // One cluster of scale 0 is plain normal data.
  for (const Case& c :
       {Case{300, 1, 12, 400, 10, 2, 1.0}, Case{300, 1, 12, 400, 10, 3, 1.0}, Case{300, 1, 12, 400, 10, 4, 1.0},
        Case{40, 1, 8, 8, 1000, 1, 1.0}, Case{3000, 1, 24, 64, 10, 5, 0.9}, Case{400, 8, 16, 50, 10, 1, 0.97},
        Case{400, 8, 16, 50, 10, 2, 0.97}, Case{400, 8, 16, 50, 10, 4, 0.97}, Case{400, 8, 16, 50, 10, 5, 0.97},
        Case{400, 8, 32, 50, 10, 11, 0.97}, Case{2000, 40, 16, 50, 10, 7, 0.97}}) {
    ClusteredSet set(c.seed, c.clusters, c.dim, c.clusters > 1 ? 4.0f : 0.0f);
    std::vector<std::vector<float>> data;
    for (std::size_t i = 0; i < c.count; ++i) data.push_back(set.point());
    auto index = buildIndex(data, c.seed * 7, c.ef);
    const std::size_t wanted = std::min(std::size_t(c.k), c.count);
    std::size_t found = 0;
    for (int qi = 0; qi < 100; ++qi) {
      const auto q = set.point();
      const auto truth = bruteForce(data, q, wanted);
      const auto hits = index->search(q, c.k);
      ASSERT_EQ(hits.size(), wanted);
      std::set<std::string> seen;
      for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_TRUE(seen.insert(hits[i].id).second) << hits[i].id;
        const std::size_t item = std::stoul(hits[i].id.substr(5));
        found += std::count(truth.begin(), truth.end(), item);
        EXPECT_NEAR(hits[i].distance, euclidean(data[item], q), 1e-4) << hits[i].id;
        if (i > 0) {
          EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
      }
    }
    EXPECT_GE(double(found) / double(100 * wanted), c.minRecall)
        << c.count << " vectors, " << c.clusters << " clusters, seed " << c.seed;
  }
}

// The diversity selection as written in the HNSW paper: candidates closest
// first, one kept unless a kept one is strictly closer to it than `base`.
std::vector<uint32_t> diverseModel(const std::vector<std::vector<float>>& data, uint32_t base,
                                   std::vector<uint32_t> candidates, std::size_t maxConn) {
  auto dist = [&](uint32_t a, uint32_t b) { return simkit::l2Squared(data[a].data(), data[b].data(), data[a].size()); };
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](uint32_t a, uint32_t b) { return dist(base, a) < dist(base, b); });
  if (candidates.size() <= maxConn) return candidates;
  std::vector<uint32_t> kept;
  for (uint32_t c : candidates) {
    if (kept.size() == maxConn) break;
    if (std::none_of(kept.begin(), kept.end(), [&](uint32_t k) { return dist(c, k) < dist(c, base); })) {
      kept.push_back(c);
    }
  }
  return kept;
}

// Nodes of `layer` when every one reaches every other through its lists; empty otherwise.
std::vector<uint32_t> connectedLayer(const HNSWIndex& index, int layer) {
  std::vector<uint32_t> nodes;
  for (int64_t i = 0; i < index.count(); ++i) {
    if (index.nodeLevel(i) >= layer) nodes.push_back(uint32_t(i));
  }
  for (uint32_t start : nodes) {
    std::set<uint32_t> seen = {start};
    std::vector<uint32_t> stack = {start};
    while (!stack.empty()) {
      const uint32_t at = stack.back();
      stack.pop_back();
      for (uint32_t e : index.connections(at, layer)) {
        if (seen.insert(e).second) stack.push_back(e);
      }
    }
    if (seen.size() != nodes.size()) return {};
  }
  return nodes;
}

TEST(HNSWIndexTest, EveryInsertionSelectsNeighboursLikeTheModel) {
  // efConstruction above the count makes a layer search return the whole
  // (connected) layer, so the new node's list is the model's cut of all of it.
  for (uint64_t seed : {1u, 2u, 3u}) {
    ClusteredSet set(seed, 4, 2, 3.0f);
    HNSWIndex index(4, 1000, 50);
    index.setRandomSeed(seed);
    std::vector<std::vector<float>> data;
    int checkedOwnLists = 0;
    for (uint32_t n = 0; n < 90; ++n) {
      std::map<std::pair<uint32_t, int>, std::vector<uint32_t>> before;
      for (uint32_t i = 0; i < n; ++i) {
        for (int l = 0; l <= index.nodeLevel(i); ++l) before[{i, l}] = index.connections(i, l);
      }
      const int64_t maxLevelBefore = index.maxLevel();
      std::vector<std::vector<uint32_t>> layers;
      for (int l = 0; l <= maxLevelBefore; ++l) layers.push_back(connectedLayer(index, l));
      data.push_back(set.point());
      index.insert("item-" + std::to_string(n), data.back());
      for (int l = 0; n > 0 && l <= std::min<int64_t>(index.nodeLevel(n), maxLevelBefore); ++l) {
        const std::size_t maxConn = std::size_t(l == 0 ? index.M0() : index.M());
        const auto own = index.connections(n, l);
        if (!layers[l].empty()) {
          EXPECT_EQ(own, diverseModel(data, n, layers[l], maxConn)) << "seed " << seed << " node " << n;
          ++checkedOwnLists;
        }
        for (auto& [key, list] : before) {
          if (key.second != l) continue;
          const bool linked = std::count(own.begin(), own.end(), key.first) > 0;
          if (linked) list.push_back(n);
          const auto expected = linked && list.size() > maxConn ? diverseModel(data, key.first, list, maxConn) : list;
          EXPECT_EQ(index.connections(key.first, l), expected) << "seed " << seed << " node " << key.first;
        }
      }
    }
    EXPECT_GT(checkedOwnLists, 60);
  }
}

TEST(HNSWIndexTest, IdenticalEmbeddingsStayFindable) {
  // Ties keep: copies of one vector (fewer than M0) do not exclude each other.
  std::mt19937_64 rng(12);
  auto data = randomRows(rng, 200, 8);
  const auto copy = randomVector(rng, 8);
  for (int i = 0; i < 30; ++i) data.push_back(copy);
  auto index = buildIndex(data, 12, /*ef=*/100);
  const auto hits = index->search(copy, 30);
  ASSERT_EQ(hits.size(), 30u);
  for (const auto& h : hits) EXPECT_EQ(h.distance, 0.0f) << h.id;
}

TEST(HNSWIndexTest, WrongLengthVectorsCompareAtInfinity) {
  HNSWIndex index;
  index.setRandomSeed(1);
  for (int i = 0; i < 20; ++i) index.insert("v" + std::to_string(i), {float(i), 0, 0});
  index.insert("short", {0, 0});
  auto hits = index.search({0.5f, 0, 0}, 100);
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].id, "v0");
  for (const auto& h : hits) EXPECT_EQ(std::isinf(h.distance), h.id == "short") << h.id;
  for (const auto& h : index.search({1, 2}, 5)) EXPECT_EQ(std::isinf(h.distance), h.id != "short") << h.id;
}

TEST(HNSWIndexTest, RandomBuildKeepsGraphInvariantsAndGeometricLevels) {
  const int n = 8000;
  std::mt19937_64 rng(8);
  auto index = buildIndex(randomRows(rng, n, 4), 42);
  int upper = 0, top = 0;
  for (int64_t node = 0; node < n; ++node) {
    const int level = index->nodeLevel(node);
    ASSERT_GE(level, 0);
    upper += level >= 1;
    top = std::max(top, level);
    for (int layer = 0; layer <= level; ++layer) {
      auto links = index->connections(node, layer);
      EXPECT_LE(int64_t(links.size()), layer == 0 ? index->M0() : index->M());
      std::set<uint32_t> unique(links.begin(), links.end());
      EXPECT_EQ(unique.size(), links.size()) << "duplicate link at node " << node;
      for (uint32_t e : links) {
        EXPECT_LT(int64_t(e), n);
        EXPECT_NE(int64_t(e), node);
        EXPECT_GE(index->nodeLevel(e), layer) << "link to a node without this layer";
      }
    }
    EXPECT_TRUE(index->connections(node, level + 1).empty());
  }
  // P(level >= 1) = 1/M = 0.0625.
  EXPECT_NEAR(double(upper) / n, 0.0625, 0.015);
  EXPECT_EQ(index->maxLevel(), top);
  EXPECT_EQ(index->nodeLevel(*index->entryPointIndex()), top);
}

// Inserts and removals against a model of the live set, with phases that
// drain it: the entry point is always the earliest live node of the highest
// level, a removed node keeps no links, and removed nodes stay counted.
TEST(HNSWIndexTest, RemovalMatchesLiveSetModelAndRepairsEntryPoint) {
  std::mt19937_64 rng(77);
  HNSWIndex index(16, 200, 400);
  index.setRandomSeed(77);
  std::map<std::string, std::pair<int64_t, std::vector<float>>> live;  // id -> node, embedding
  std::set<std::string> removed;
  int64_t nodes = 0;
  int next = 0, emptied = 0;
  for (int step = 0; step < 1200; ++step) {
    const bool draining = step % 400 >= 300;
    if (live.empty() || (!draining && rng() % 10 < 6)) {
      std::string id = "n" + std::to_string(next++ % 400);  // ids come back after removal
      auto v = randomVector(rng, 5);
      index.insert(id, v);
      if (!live.count(id)) {
        live[id] = {nodes++, v};
        removed.erase(id);
      }
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      const auto [id, entry] = *it;
      EXPECT_TRUE(index.remove(id));
      EXPECT_FALSE(index.remove(id));
      live.erase(it);
      removed.insert(id);
      emptied += live.empty();
      for (int layer = 0; layer <= index.nodeLevel(entry.first); ++layer) {
        EXPECT_TRUE(index.connections(entry.first, layer).empty());
      }
    }
    EXPECT_EQ(index.count(), nodes);
    EXPECT_EQ(index.liveCount(), int64_t(live.size()));
    int64_t expected = -1;
    for (const auto& [id, entry] : live) {
      const int64_t node = entry.first;
      if (expected < 0 || index.nodeLevel(node) > index.nodeLevel(expected) ||
          (index.nodeLevel(node) == index.nodeLevel(expected) && node < expected)) {
        expected = node;
      }
    }
    if (live.empty()) {
      EXPECT_FALSE(index.entryPointIndex().has_value());
      EXPECT_EQ(index.maxLevel(), 0);
    } else {
      ASSERT_TRUE(index.entryPointIndex().has_value());
      EXPECT_EQ(*index.entryPointIndex(), expected) << "step " << step;
      EXPECT_EQ(index.maxLevel(), index.nodeLevel(expected));
    }
    if (step % 50 == 0 || live.size() < 5) {
      auto q = randomVector(rng, 5);
      auto hits = index.search(q, int64_t(live.size()) + 5);
      std::set<std::string> ids;
      for (const auto& h : hits) {
        ASSERT_TRUE(live.count(h.id)) << "returned removed or unknown id " << h.id;
        EXPECT_TRUE(ids.insert(h.id).second) << "duplicate " << h.id;
        EXPECT_NEAR(h.distance, euclidean(live[h.id].second, q), 1e-4);
      }
      EXPECT_EQ(hits.empty(), live.empty());
    }
  }
  EXPECT_GE(emptied, 2);
  for (const auto& id : removed) EXPECT_FALSE(index.contains(id));
}

TEST(HNSWIndexTest, ConcurrentInsertsAndSearchesAreSerialised) {
  HNSWIndex index;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&index, t] {
      std::mt19937_64 rng(t);
      for (int i = 0; i < 200; ++i) {
        index.insert("t" + std::to_string(t) + "-" + std::to_string(i), randomVector(rng, 8));
        (void)index.search(randomVector(rng, 8), 5);
        (void)index.count();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(index.count(), 800);
  EXPECT_EQ(index.liveCount(), 800);
}

}  // namespace
}  // namespace pallix
