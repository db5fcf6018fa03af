// The graph's serialized form: exact bytes, every load error message, a
// truncation at every offset, and a seeded random-corruption loop that must
// never crash and must leave a usable index.
#include <gtest/gtest.h>

#include <set>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "core/FileUtil.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

std::vector<IndexItem> threeItems() {
  return {{"a", "", {0, 0}, {}}, {"b", "", {1, 0}, {}}, {"c", "", {0, 2}, {}}};
}

// Written by hand: header {count 3, max level 1, entry 2, M 16, efSearch 50};
// node 0 on layers 0-1 links {1, 2} / {2}; node 1 on layer 0 links {0}; node 2
// on layers 0-1 links {0, 1} / {0}.
std::string threeNodeImage() {
  return readFileToString(testData("three_nodes.hnsw")).value();
}

// A graph of n random vectors, its image and the matching item list.
struct RandomGraph {
  std::vector<std::vector<float>> data;
  std::string image;
  std::vector<IndexItem> items;
};
RandomGraph randomGraph(std::size_t n, std::size_t dim, uint64_t seed, std::mt19937_64& rng) {
  RandomGraph g{randomRows(rng, n, dim), "", {}};
  HNSWIndex built;
  built.setRandomSeed(seed);
  for (std::size_t i = 0; i < n; ++i) built.insert("item-" + std::to_string(i), g.data[i]);
  g.image = built.serialize();
  g.items = itemsFor(g.data);
  return g;
}

// Expected load failure of `image` cut to `size` bytes, walking the records
// of the intact image (an oracle independent of the loader's own walk).
std::string expectedTruncationMessage(const std::string& image, std::size_t size) {
  if (size < 20) return "Invalid HNSW data: Data too small for header";
  const uint32_t count = getU32(image, 0);
  std::size_t pos = 20;
  for (uint32_t i = 0; i < count; ++i) {
    if (size <= pos) return "Invalid HNSW data: Unexpected end of data at node " + std::to_string(i);
    const int lists = uint8_t(image[pos++]);
    for (int l = 0; l < lists; ++l) {
      if (size < pos + 2) return "Invalid HNSW data: Unexpected end of data reading connections";
      const uint16_t c = uint16_t(uint8_t(image[pos]) | (uint8_t(image[pos + 1]) << 8));
      pos += 2;
      for (uint16_t j = 0; j < c; ++j) {
        if (size < pos + 4) return "Invalid HNSW data: Unexpected end of data reading connection index";
        pos += 4;
      }
    }
  }
  return "";
}

// The hand-written image loads with its levels and links and saves back byte
// for byte: trailing bytes are ignored, the constructed M and efSearch win
// over the stored ones, and a failed load keeps the loaded graph. An empty
// index saves the header alone.
TEST(HNSWFormatTest, HandWrittenImageLoadsAndReserializesByteForByte) {
  const std::string fixture = threeNodeImage();
  std::string stored = fixture + "trailing";
  auto info = HNSWIndex::inspectImage(stored);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->nodeCount, 3u);
  EXPECT_EQ(info->entryPoint, 2u);
  EXPECT_EQ(info->nodesPerLayer, (std::vector<uint64_t>{3, 2}));
  EXPECT_EQ(info->linksPerLayer, (std::vector<uint64_t>{5, 2}));
  EXPECT_EQ(info->trailingBytes, 8u);
  stored[12] = 99;  // stored M
  stored[16] = 7;   // stored efSearch
  HNSWIndex index(16, 200, 50);
  ASSERT_TRUE(index.deserialize(stored, threeItems()).ok());
  EXPECT_EQ(index.M(), 16);
  EXPECT_EQ(index.efSearch(), 50);
  EXPECT_FALSE(index.deserialize(fixture.substr(0, 30), threeItems()).ok());
  EXPECT_EQ(index.serialize(), fixture);
  EXPECT_EQ(index.count(), 3);
  EXPECT_EQ(index.maxLevel(), 1);
  EXPECT_EQ(*index.entryPointIndex(), 2);
  EXPECT_EQ(index.nodeLevel(0), 1);
  EXPECT_EQ(index.nodeLevel(1), 0);
  EXPECT_EQ(index.connections(0, 0), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(index.connections(2, 1), (std::vector<uint32_t>{0}));
  auto hits = index.search({1, 0.1f}, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, "b");
  EXPECT_EQ(hits[1].id, "a");
  EXPECT_EQ(hits[2].id, "c");
  index.setEfSearch(77);
  EXPECT_EQ(getU32(index.serialize(), 16), 77u);
  EXPECT_EQ(HNSWIndex(16, 200, 50).serialize(), std::string(12, '\0') + fixture.substr(12, 8));
}

// The loader and the inspector both name the field a cut image lacks.
TEST(HNSWFormatTest, TruncationAtEveryOffsetFailsWithTheMissingField) {
  std::mt19937_64 rng(3);
  const auto g = randomGraph(60, 4, 3, rng);
  std::set<std::string> seen;
  for (std::size_t size = 0; size < g.image.size(); ++size) {
    const std::string_view cut = std::string_view(g.image).substr(0, size);
    HNSWIndex index;
    auto status = index.deserialize(cut, g.items);
    ASSERT_FALSE(status.ok()) << "cut at " << size;
    const std::string expected = expectedTruncationMessage(g.image, size);
    ASSERT_EQ(status.error().description(), expected) << "cut at " << size;
    EXPECT_EQ(status.error().domain(), "HNSWError");
    auto info = HNSWIndex::inspectImage(cut);
    ASSERT_FALSE(info.ok()) << "cut at " << size;
    ASSERT_EQ(info.error().description(), expected) << "cut at " << size;
    seen.insert(expected.substr(0, expected.find(" at node ")));
  }
  EXPECT_EQ(seen.size(), 4u);  // header, node, connections, connection index all hit
  auto fewer = g.items;
  fewer.pop_back();
  EXPECT_EQ(HNSWIndex().deserialize(g.image, fewer).error().description(),
            "Invalid HNSW data: Node count mismatch: 60 vs 59");
}

TEST(HNSWFormatTest, GrowingALoadedGraphMatchesGrowingTheOriginal) {
  // A loaded graph has neither the cached link distances nor the lists'
  // diverse prefixes and measures every pair when it cuts a list; the
  // original relies on both caches through insertions and removals. A fresh
  // load before every insertion must cut every list alike.
  std::mt19937_64 rng(31);
  const auto data = randomRows(rng, 400, 3);
  HNSWIndex original(4, 100, 50);
  original.setRandomSeed(31);
  for (std::size_t i = 0; i < 200; ++i) original.insert("item-" + std::to_string(i), data[i]);
  for (std::size_t i = 200; i < data.size(); ++i) {
    if (i % 2 == 0) {
      EXPECT_TRUE(original.remove("item-" + std::to_string(i / 2)));
    }
    HNSWIndex copy(4, 100, 50);
    const std::vector<std::vector<float>> first(data.begin(), data.begin() + std::ptrdiff_t(i));
    ASSERT_TRUE(copy.deserialize(original.serialize(), itemsFor(first)).ok());
    original.setRandomSeed(i);
    copy.setRandomSeed(i);
    original.insert("item-" + std::to_string(i), data[i]);
    copy.insert("item-" + std::to_string(i), data[i]);
    ASSERT_EQ(copy.serialize(), original.serialize()) << "insertion " << i;
  }
}

TEST(HNSWFormatTest, RepeatedIdentifierMapsToLaterNode) {
  auto items = threeItems();
  items[2].id = "a";
  HNSWIndex index;
  ASSERT_TRUE(index.deserialize(threeNodeImage(), items).ok());
  EXPECT_EQ(index.liveCount(), 2);
  auto hits = index.search({0, 2}, 3);
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].id, "a");
  EXPECT_FLOAT_EQ(hits[0].distance, 0.0f);
  std::set<std::string> ids;
  for (const auto& h : hits) EXPECT_TRUE(ids.insert(h.id).second);
  EXPECT_TRUE(index.remove("a"));
  for (const auto& h : index.search({0, 0}, 3)) EXPECT_NE(h.id, "a");
}

TEST(HNSWFormatTest, OutOfRangeLinksAndEntryAreSkippedAndOversizeListsAreKept) {
  // Node 0 links to 40 nodes, most out of range; the entry point is out of range.
  std::string image;
  for (uint32_t v : {2u, 0u, 9u, 16u, 50u}) putU32(image, v);
  image.push_back(1);
  putU16(image, 40);
  for (uint32_t j = 0; j < 40; ++j) putU32(image, j == 5 ? 1 : 1000 + j);
  image.push_back(0);  // a bare record: no lists at all
  std::vector<IndexItem> items = {{"p", "", {0}, {}}, {"q", "", {1}, {}}};
  HNSWIndex index;
  ASSERT_TRUE(index.deserialize(image, items).ok());
  EXPECT_TRUE(index.search({0}, 5).empty());  // entry out of range: nothing reachable
  EXPECT_EQ(index.serialize(), image);
  auto info = HNSWIndex::inspectImage(image);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->outOfRangeLinks, 39u);
  EXPECT_EQ(info->nodesWithoutLists, 1u);
  // Inserting still works and never crashes; lists stay bounded once pruned.
  for (int i = 0; i < 50; ++i) index.insert("n" + std::to_string(i), {float(i) / 10});
  EXPECT_EQ(index.count(), 52);
}

TEST(HNSWFormatTest, RandomCorruptionNeverCrashesAndLeavesUsableIndex) {
  std::mt19937_64 rng(1234);
  const auto g = randomGraph(120, 3, 5, rng);
  int loaded = 0;
  for (int iteration = 0; iteration < 1500; ++iteration) {
    const std::string mutated = mutateBytes(g.image, rng, 6, 8);
    HNSWIndex index;
    auto status = index.deserialize(mutated, g.items);
    if (!status.ok()) {
      EXPECT_EQ(status.error().description().rfind("Invalid HNSW data: ", 0), 0u);
      continue;
    }
    ++loaded;
    for (int q = 0; q < 3; ++q) {
      for (const auto& h : index.search(randomVector(rng, 3), 5)) EXPECT_EQ(h.id.rfind("item-", 0), 0u);
    }
    index.insert("fresh", {0, 0, 0});
    index.remove("item-" + std::to_string(rng() % g.items.size()));
    index.remove("fresh");
    (void)index.serialize();
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace
}  // namespace pallix
