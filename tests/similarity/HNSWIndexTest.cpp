// HNSWIndex behaviour: search against a brute-force oracle (random and
// clustered data), every insertion's neighbour selection against a model,
// insertion rules, removal and entry-point repair against a model of the live
// set, graph invariants after random builds.
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

std::vector<std::vector<float>> randomData(std::size_t n, std::size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  return randomRows(rng, n, dim);
}

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
  EXPECT_NEAR(index.levelMultiplier(), 0.36067, 1e-5);
  EXPECT_EQ(index.efSearch(), 50);
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

// A k above efSearch widens the search to k.
TEST(HNSWIndexTest, KLargerThanCountReturnsEveryItemOnceClosestFirst) {
  auto data = randomData(40, 8, 1);
  auto index = buildIndex(data, 11, /*ef=*/8);
  const auto q = data[3];
  auto hits = index->search(q, 1000);
  ASSERT_EQ(hits.size(), data.size());
  std::set<std::string> seen;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    EXPECT_TRUE(seen.insert(hits[i].id).second) << hits[i].id;
    if (i > 0) {
      EXPECT_LE(hits[i - 1].distance, hits[i].distance);
    }
  }
  EXPECT_EQ(hits[0].id, "item-3");
  EXPECT_FLOAT_EQ(hits[0].distance, 0.0f);
}

TEST(HNSWIndexTest, EfAtLeastCountGivesExactNeighboursAndDistances) {
  for (uint64_t seed : {2u, 3u, 4u}) {
    auto data = randomData(300, 12, seed);
    auto index = buildIndex(data, seed * 7, /*ef=*/400);
    std::mt19937_64 rng(seed + 100);
    for (int qi = 0; qi < 20; ++qi) {
      auto q = randomVector(rng, 12);
      auto truth = bruteForce(data, q, 10);
      auto hits = index->search(q, 10);
      ASSERT_EQ(hits.size(), truth.size());
      for (std::size_t i = 0; i < truth.size(); ++i) {
        EXPECT_EQ(hits[i].id, "item-" + std::to_string(truth[i])) << "seed " << seed << " rank " << i;
        EXPECT_NEAR(hits[i].distance, euclidean(data[truth[i]], q), 1e-4);
      }
    }
  }
}

TEST(HNSWIndexTest, RecallOnRandomSetsIsHigh) {
  auto data = randomData(3000, 24, 5);
  auto index = buildIndex(data, 99, /*ef=*/64);
  std::mt19937_64 rng(6);
  std::size_t found = 0, total = 0;
  for (int qi = 0; qi < 100; ++qi) {
    auto q = randomVector(rng, 24);
    auto truth = bruteForce(data, q, 10);
    std::set<std::string> got;
    for (const auto& h : index->search(q, 10)) got.insert(h.id);
    for (auto t : truth) found += got.count("item-" + std::to_string(t));
    total += truth.size();
  }
  EXPECT_GE(double(found) / double(total), 0.9);
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

TEST(HNSWIndexTest, RecallOnClusteredDataMatchesBruteForce) {
  struct Case {
    std::size_t count, clusters, dim;
    uint64_t seed;
  };
  for (const Case& c : {Case{400, 8, 16, 1}, Case{400, 8, 16, 2}, Case{400, 8, 16, 4}, Case{400, 8, 16, 5},
                        Case{400, 8, 32, 11}, Case{2000, 40, 16, 7}}) {
    ClusteredSet set(c.seed, c.clusters, c.dim, 4.0f);
    std::vector<std::vector<float>> data;
    for (std::size_t i = 0; i < c.count; ++i) data.push_back(set.point());
    auto index = buildIndex(data, c.seed);
    std::size_t found = 0, total = 0;
    for (int qi = 0; qi < 100; ++qi) {
      auto q = set.point();
      std::set<std::string> got;
      for (const auto& h : index->search(q, 10)) got.insert(h.id);
      for (auto t : bruteForce(data, q, 10)) found += got.count("item-" + std::to_string(t));
      total += 10;
    }
    EXPECT_GE(double(found) / double(total), 0.97)
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
  for (const auto& h : hits) {
    if (h.id == "short") {
      EXPECT_TRUE(std::isinf(h.distance));
    }
  }
  for (const auto& h : index.search({1, 2}, 5)) {
    if (h.id != "short") {
      EXPECT_TRUE(std::isinf(h.distance)) << h.id;
    }
  }
}

TEST(HNSWIndexTest, LevelsFollowGeometricDistribution) {
  HNSWIndex index;
  index.setRandomSeed(42);
  const int n = 8000;
  for (int i = 0; i < n; ++i) index.insert(std::to_string(i), {float(i % 97), float(i % 89)});
  int upper = 0, top = 0;
  for (int i = 0; i < n; ++i) {
    const int level = index.nodeLevel(i);
    ASSERT_GE(level, 0);
    upper += level >= 1;
    top = std::max(top, level);
  }
  // P(level >= 1) = 1/M = 0.0625.
  EXPECT_NEAR(double(upper) / n, 0.0625, 0.015);
  EXPECT_EQ(index.maxLevel(), top);
  EXPECT_EQ(index.nodeLevel(*index.entryPointIndex()), top);
}

TEST(HNSWIndexTest, GraphInvariantsHoldAfterRandomBuild) {
  auto data = randomData(1500, 6, 8);
  auto index = buildIndex(data, 8);
  for (int64_t node = 0; node < index->count(); ++node) {
    for (int layer = 0; layer <= index->nodeLevel(node); ++layer) {
      auto links = index->connections(node, layer);
      EXPECT_LE(int64_t(links.size()), layer == 0 ? index->M0() : index->M());
      std::set<uint32_t> unique(links.begin(), links.end());
      EXPECT_EQ(unique.size(), links.size()) << "duplicate link at node " << node;
      for (uint32_t e : links) {
        EXPECT_LT(int64_t(e), index->count());
        EXPECT_NE(int64_t(e), node);
        EXPECT_GE(index->nodeLevel(e), layer) << "link to a node without this layer";
      }
    }
    EXPECT_TRUE(index->connections(node, index->nodeLevel(node) + 1).empty());
  }
}

TEST(HNSWIndexTest, RemovalMatchesLiveSetModelAndRepairsEntryPoint) {
  std::mt19937_64 rng(77);
  HNSWIndex index(16, 200, 400);
  index.setRandomSeed(77);
  std::map<std::string, std::vector<float>> live;
  std::set<std::string> removed;
  int next = 0;
  for (int step = 0; step < 1200; ++step) {
    const int op = int(rng() % 10);
    if (op < 6 || live.empty()) {
      std::string id = "n" + std::to_string(next++ % 400);  // ids come back after removal
      auto v = randomVector(rng, 5);
      const bool known = live.count(id) != 0;
      const int64_t before = index.count();
      index.insert(id, v);
      EXPECT_EQ(index.count(), before + (known ? 0 : 1));
      if (!known) {
        live[id] = v;
        removed.erase(id);
      }
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      const std::string id = it->first;
      EXPECT_TRUE(index.remove(id));
      EXPECT_FALSE(index.remove(id));
      live.erase(it);
      removed.insert(id);
      // The repaired entry point is the highest live node, earliest on a tie.
      const auto entry = index.entryPointIndex();
      if (live.empty()) {
        EXPECT_FALSE(entry.has_value());
        EXPECT_EQ(index.maxLevel(), 0);
      } else {
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(index.maxLevel(), index.nodeLevel(*entry));
      }
    }
    EXPECT_EQ(index.liveCount(), int64_t(live.size()));
    if (step % 50 == 0 || live.size() < 5) {
      auto q = randomVector(rng, 5);
      auto hits = index.search(q, int64_t(live.size()) + 5);
      std::set<std::string> ids;
      for (const auto& h : hits) {
        EXPECT_TRUE(live.count(h.id)) << "returned removed or unknown id " << h.id;
        EXPECT_TRUE(ids.insert(h.id).second) << "duplicate " << h.id;
        EXPECT_NEAR(h.distance, euclidean(live[h.id], q), 1e-4);
      }
      if (!live.empty()) {
        EXPECT_FALSE(hits.empty());
      }
    }
  }
  for (const auto& id : removed) EXPECT_FALSE(index.contains(id));
}

TEST(HNSWIndexTest, RemovingTheEntryPointPicksHighestLevelEarliestNode) {
  auto data = randomData(200, 4, 9);
  auto index = buildIndex(data, 9);
  for (int round = 0; round < 5; ++round) {
    const int64_t entry = *index->entryPointIndex();
    ASSERT_TRUE(index->remove("item-" + std::to_string(entry)));
    int64_t expected = -1;
    for (int64_t i = 0; i < index->count(); ++i) {
      if (!index->contains("item-" + std::to_string(i))) continue;
      if (expected < 0 || index->nodeLevel(i) > index->nodeLevel(expected)) expected = i;
    }
    EXPECT_EQ(*index->entryPointIndex(), expected);
    for (const auto& h : index->search(data[entry], 10)) EXPECT_NE(h.id, "item-" + std::to_string(entry));
    // Nothing links to the removed node through its former neighbours' lists on its layers.
    for (int layer = 0; layer <= index->nodeLevel(entry); ++layer) {
      EXPECT_TRUE(index->connections(entry, layer).empty());
    }
  }
}

TEST(HNSWIndexTest, RemoveAllThenInsertStartsOver) {
  HNSWIndex index;
  for (int i = 0; i < 10; ++i) index.insert(std::to_string(i), {float(i)});
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(index.remove(std::to_string(i)));
  EXPECT_FALSE(index.entryPointIndex().has_value());
  EXPECT_TRUE(index.search({1}, 3).empty());
  EXPECT_EQ(index.count(), 10);  // tombstones stay
  index.insert("x", {4});
  auto hits = index.search({4}, 3);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "x");
  EXPECT_EQ(*index.entryPointIndex(), 10);
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
