// The graph's serialized form: exact bytes, every load error message, a
// truncation at every offset, and a seeded random-corruption loop that must
// never crash and must leave a usable index.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "core/FileUtil.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

std::string testData(const std::string& name) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root ? root : "tests/data") + "/similarity/" + name;
}

void insertAll(HNSWIndex& index, const std::vector<std::vector<float>>& data, uint64_t seed) {
  index.setRandomSeed(seed);
  for (std::size_t i = 0; i < data.size(); ++i) index.insert("item-" + std::to_string(i), data[i]);
}

std::vector<IndexItem> threeItems() {
  return {{"a", "", {0, 0}, {}}, {"b", "", {1, 0}, {}}, {"c", "", {0, 2}, {}}};
}

std::string threeNodeImage() {
  std::string s;
  for (uint32_t v : {3u, 1u, 2u, 16u, 50u}) putU32(s, v);
  s.push_back(2);
  putU16(s, 2), putU32(s, 1), putU32(s, 2);
  putU16(s, 1), putU32(s, 2);
  s.push_back(1);
  putU16(s, 1), putU32(s, 0);
  s.push_back(2);
  putU16(s, 2), putU32(s, 0), putU32(s, 1);
  putU16(s, 1), putU32(s, 0);
  return s;
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

TEST(HNSWFormatTest, EmptyIndexSerializesToTwentyByteHeader) {
  HNSWIndex index(16, 200, 50);
  std::string expected;
  for (uint32_t v : {0u, 0u, 0u, 16u, 50u}) putU32(expected, v);
  EXPECT_EQ(index.serialize(), expected);
  index.setEfSearch(77);
  EXPECT_EQ(getU32(index.serialize(), 16), 77u);
}

TEST(HNSWFormatTest, HandWrittenImageLoadsAndReserializesByteForByte) {
  auto fixture = readFileToString(testData("three_nodes.hnsw"));
  ASSERT_TRUE(fixture.ok()) << fixture.error().description();
  ASSERT_EQ(fixture.value(), threeNodeImage());
  HNSWIndex index(16, 200, 50);
  ASSERT_TRUE(index.deserialize(fixture.value(), threeItems()).ok());
  EXPECT_EQ(index.count(), 3);
  EXPECT_EQ(index.maxLevel(), 1);
  EXPECT_EQ(*index.entryPointIndex(), 2);
  EXPECT_EQ(index.nodeLevel(0), 1);
  EXPECT_EQ(index.nodeLevel(1), 0);
  EXPECT_EQ(index.connections(0, 0), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(index.connections(2, 1), (std::vector<uint32_t>{0}));
  EXPECT_EQ(index.serialize(), fixture.value());
  auto hits = index.search({1, 0.1f}, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, "b");
  EXPECT_EQ(hits[1].id, "a");
  EXPECT_EQ(hits[2].id, "c");
}

TEST(HNSWFormatTest, LoadKeepsConstructedParametersNotStoredOnes) {
  std::string image = threeNodeImage();
  image[12] = 99;  // stored M
  image[16] = 7;   // stored efSearch
  HNSWIndex index(16, 200, 50);
  ASSERT_TRUE(index.deserialize(image, threeItems()).ok());
  EXPECT_EQ(index.M(), 16);
  EXPECT_EQ(index.efSearch(), 50);
  EXPECT_EQ(getU32(index.serialize(), 12), 16u);
}

TEST(HNSWFormatTest, ErrorMessagesAreExact) {
  HNSWIndex index;
  auto small = index.deserialize(std::string(19, '\0'), {});
  ASSERT_FALSE(small.ok());
  EXPECT_EQ(small.error().description(), "Invalid HNSW data: Data too small for header");
  EXPECT_EQ(small.error().domain(), "HNSWError");

  std::string three = threeNodeImage();
  auto items = threeItems();
  items.pop_back();
  auto mismatch = index.deserialize(three, items);
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().description(), "Invalid HNSW data: Node count mismatch: 3 vs 2");
}

TEST(HNSWFormatTest, TruncationAtEveryOffsetFailsWithTheMissingField) {
  std::mt19937_64 rng(3);
  const auto data = randomRows(rng, 60, 4);
  HNSWIndex built;
  insertAll(built, data, 3);
  const std::string image = built.serialize();
  const auto items = itemsFor(data);
  std::set<std::string> seen;
  for (std::size_t size = 0; size < image.size(); ++size) {
    HNSWIndex index;
    auto status = index.deserialize(std::string_view(image).substr(0, size), items);
    ASSERT_FALSE(status.ok()) << "cut at " << size;
    const std::string expected = expectedTruncationMessage(image, size);
    ASSERT_EQ(status.error().description(), expected) << "cut at " << size;
    seen.insert(expected.substr(0, expected.find(" at node ")));
  }
  EXPECT_EQ(seen.size(), 4u);  // header, node, connections, connection index all hit
}

TEST(HNSWFormatTest, TrailingBytesAreIgnoredAndAFailedLoadKeepsThePreviousGraph) {
  HNSWIndex index;
  ASSERT_TRUE(index.deserialize(threeNodeImage() + "trailing garbage", threeItems()).ok());
  EXPECT_EQ(index.serialize(), threeNodeImage());
  EXPECT_FALSE(index.deserialize(threeNodeImage().substr(0, 30), threeItems()).ok());
  auto hits = index.search({0, 2}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "c");
}

TEST(HNSWFormatTest, RoundTripReproducesSearchResultsAndBytes) {
  std::mt19937_64 rng(21);
  const auto data = randomRows(rng, 800, 16);
  HNSWIndex original;
  insertAll(original, data, 21);
  const std::string image = original.serialize();
  HNSWIndex copy;
  ASSERT_TRUE(copy.deserialize(image, itemsFor(data)).ok());
  EXPECT_EQ(copy.serialize(), image);
  for (int qi = 0; qi < 50; ++qi) {
    auto q = randomVector(rng, 16);
    auto a = original.search(q, 10);
    auto b = copy.search(q, 10);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].id, b[i].id);
      EXPECT_EQ(a[i].distance, b[i].distance);
    }
  }
  // About 4 bytes per link: the file carries no identifiers or vectors.
  std::size_t links = 0;
  for (int64_t n = 0; n < original.count(); ++n) {
    for (int l = 0; l <= original.nodeLevel(n); ++l) links += original.connections(n, l).size();
  }
  EXPECT_LT(image.size(), links * 4 + original.count() * 8 + 20);
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
  std::string image = threeNodeImage();
  auto items = threeItems();
  items[2].id = "a";
  HNSWIndex index;
  ASSERT_TRUE(index.deserialize(image, items).ok());
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

TEST(HNSWFormatTest, InspectReportsLayersWithoutItems) {
  auto info = HNSWIndex::inspectImage(threeNodeImage());
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->nodeCount, 3u);
  EXPECT_EQ(info->entryPoint, 2u);
  EXPECT_EQ(info->nodesPerLayer, (std::vector<uint64_t>{3, 2}));
  EXPECT_EQ(info->linksPerLayer, (std::vector<uint64_t>{5, 2}));
  EXPECT_EQ(info->trailingBytes, 0u);
  auto bad = HNSWIndex::inspectImage(threeNodeImage().substr(0, 25));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().description(), "Invalid HNSW data: Unexpected end of data reading connection index");
}

TEST(HNSWFormatTest, RandomCorruptionNeverCrashesAndLeavesUsableIndex) {
  std::mt19937_64 rng(1234);
  const auto data = randomRows(rng, 120, 3);
  HNSWIndex built;
  insertAll(built, data, 5);
  const std::string image = built.serialize();
  const auto items = itemsFor(data);
  int loaded = 0;
  for (int iteration = 0; iteration < 1500; ++iteration) {
    const std::string mutated = mutateBytes(image, rng, 6, 8);
    HNSWIndex index;
    auto status = index.deserialize(mutated, items);
    if (!status.ok()) {
      EXPECT_EQ(status.error().description().rfind("Invalid HNSW data: ", 0), 0u);
      continue;
    }
    ++loaded;
    for (int q = 0; q < 3; ++q) {
      for (const auto& h : index.search(randomVector(rng, 3), 5)) EXPECT_EQ(h.id.rfind("item-", 0), 0u);
    }
    index.insert("fresh", {0, 0, 0});
    index.remove("item-" + std::to_string(rng() % items.size()));
    index.remove("fresh");
    (void)index.serialize();
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace
}  // namespace pallix
