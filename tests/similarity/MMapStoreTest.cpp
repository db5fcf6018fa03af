// The item file: exact bytes against a hand-written fixture, round trips,
// every error message, a truncation at every offset against a layout oracle,
// and a seeded random-corruption loop.
#include <gtest/gtest.h>

#include <filesystem>

#include "SimilaritySearchKit/MMapStore.h"
#include "core/FileUtil.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

std::vector<IndexItem> fixtureItems() {
  return {{"doc-1", "h\xc3\xa9llo w\xc3\xb6rld", {1.0f, -2.5f, 0.125f}, {{"path", "/a"}, {"lang", "fr"}}},
          {"caf\xc3\xa9-\xe2\x98\x95", "", {3, 4, 5}, {}}};
}

std::string encodeOrDie(const std::vector<IndexItem>& items) {
  auto image = MMapStore::encode(items);
  EXPECT_TRUE(image.ok());
  return image.ok() ? image.value() : std::string();
}

std::string decodeError(std::string_view data) {
  auto r = MMapStore::decode(data);
  return r.ok() ? "" : r.error().description();
}

TEST(MMapStoreTest, EmptyListIsTheHeaderAlone) {
  std::string image = encodeOrDie({});
  ASSERT_EQ(image.size(), 48u);
  EXPECT_EQ(image.substr(0, 4), "SKST");
  EXPECT_EQ(getU32(image, 4), 1u);
  EXPECT_EQ(getU64(image, 8), 0u);
  EXPECT_EQ(getU32(image, 16), 0u);
  for (std::size_t section : {20, 28, 36}) EXPECT_EQ(getU64(image, section), 48u);
  EXPECT_EQ(getU32(image, 44), 0u);
  auto items = MMapStore::decode(image);
  ASSERT_TRUE(items.ok());
  EXPECT_TRUE(items->empty());
}

TEST(MMapStoreTest, EncodesTheHandWrittenFixtureByteForByte) {
  auto fixture = readFileToString(testData("two_items.mmap"));
  ASSERT_TRUE(fixture.ok()) << fixture.error().description();
  EXPECT_EQ(encodeOrDie(fixtureItems()), fixture.value());
  auto items = MMapStore::decode(fixture.value());
  ASSERT_TRUE(items.ok()) << items.error().description();
  EXPECT_EQ(items.value(), fixtureItems());
}

// Random items (any UTF-8, quotes, escapes, dimensions 0-8) round trip.
// Damaged copies of their files fail with the store's error or, when they
// still decode, encode and decode again to the same bytes.
TEST(MMapStoreTest, RandomItemsRoundTripAndDamagedCopiesNeverCrash) {
  std::mt19937_64 rng(8);
  const std::vector<std::string> pieces = {"a", "Z",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                           " ", "\"", "\\",       "\n",           ""};
  auto randomString = [&] {
    std::string s;
    for (int n = int(rng() % 12); n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
  };
  int decodedDamaged = 0;
  for (int round = 0; round < 40; ++round) {
    const std::size_t dim = rng() % 9;
    std::vector<IndexItem> items(rng() % 20);
    for (auto& item : items) {
      item.id = randomString();
      item.text = randomString();
      item.embedding = randomVector(rng, dim);
      for (int m = int(rng() % 4); m > 0; --m) item.metadata[randomString()] = randomString();
    }
    const std::string image = encodeOrDie(items);
    auto decoded = MMapStore::decode(image);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(decoded.value(), items);
    for (int damage = 0; damage < 75; ++damage) {
      auto result = MMapStore::decode(mutateBytes(image, rng, 5, 6));
      if (!result.ok()) {
        EXPECT_EQ(result.error().domain(), "MMapStoreError");
        continue;
      }
      ++decodedDamaged;
      auto again = MMapStore::encode(result.value());
      if (!again.ok()) {
        EXPECT_EQ(again.error().code(), MMapStoreError::dimensionMismatch);
        continue;
      }
      auto twice = MMapStore::decode(again.value());
      ASSERT_TRUE(twice.ok()) << twice.error().description();
      // Compared as bytes: flipped float bits may be NaN, which never equals itself.
      auto thrice = MMapStore::encode(twice.value());
      ASSERT_TRUE(thrice.ok());
      EXPECT_EQ(thrice.value(), again.value());
    }
  }
  EXPECT_GT(decodedDamaged, 100);
}

// Saving writes name.mmap through a temporary; a refused or failed save leaves what was there.
TEST(MMapStoreTest, SaveWritesNameDotMmapAtomicallyOrNothing) {
  TempDir dir;
  MMapStore store;
  auto path = store.saveIndex(fixtureItems(), dir.path(), "idx");
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(path.value(), dir / "idx.mmap");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left behind
  auto loaded = store.loadIndex(path.value());
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(loaded.value(), fixtureItems());

  const auto before = readFileToString(dir / "idx.mmap").value();
  auto items = fixtureItems();
  items[1].embedding = {1, 2};
  auto saved = store.saveIndex(items, dir.path(), "idx");
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().description(), "Embedding dimension mismatch: expected 3, got 2");
  EXPECT_EQ(saved.error().code(), MMapStoreError::dimensionMismatch);
  EXPECT_EQ(readFileToString(dir / "idx.mmap").value(), before);
  EXPECT_FALSE(store.saveIndex(items, dir.path(), "other").ok());
  EXPECT_FALSE(fileExists(dir / "other.mmap"));

  saved = store.saveIndex(fixtureItems(), "/nonexistent-dir-for-pallix-tests/sub", "x");
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().code(), MMapStoreError::writeError);
  EXPECT_EQ(saved.error().description().rfind("Write error: ", 0), 0u);
}

TEST(MMapStoreTest, ListIndexesFindsMmapFilesOnly) {
  TempDir dir;
  MMapStore store;
  ASSERT_TRUE(store.saveIndex({}, dir.path(), "one").ok());
  ASSERT_TRUE(store.saveIndex({}, dir.path(), "two").ok());
  ASSERT_TRUE(writeFileAtomically(dir / "one.hnsw", "x").ok());
  EXPECT_EQ(store.listIndexes(dir.path()), (std::vector<std::string>{dir / "one.mmap", dir / "two.mmap"}));
  EXPECT_TRUE(store.listIndexes(dir / "missing").empty());
}

TEST(MMapStoreTest, HeaderErrorsAndForeignFilesHaveExactDescriptions) {
  const std::string image = encodeOrDie(fixtureItems());
  std::string magic = image, version = image, graph;
  magic[3] = 'X';
  version[4] = 2;
  for (uint32_t v : {0u, 0u, 0u, 16u, 50u}) putU32(graph, v);
  const std::string tooSmall = "File is too small to contain valid data";
  const std::string notOurs = "Invalid file format: not a valid MMapStore file";
  for (const auto& [data, error] : std::vector<std::pair<std::string, std::string>>{
           {graph, tooSmall},
           {magic, notOurs},
           {std::string("\x89PNG\r\n\x1a\n", 8) + std::string(100, '\0'), notOurs},
           {graph + std::string(40, '\0'), notOurs},
           {version, "Unsupported file version: 2"}}) {
    EXPECT_EQ(decodeError(data), error);
  }
  auto r = MMapStore::decode(version);
  EXPECT_EQ(r.error().domain(), "MMapStoreError");
  EXPECT_EQ(r.error().code(), MMapStoreError::unsupportedVersion);
  auto missing = MMapStore().loadIndex("/nonexistent/file.mmap");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description().find("/nonexistent/file.mmap"), std::string::npos);
}

// Sections are found through the header's offsets; names and texts must be UTF-8.
TEST(MMapStoreTest, SectionErrorsHaveExactDescriptions) {
  const std::string image = encodeOrDie(fixtureItems());
  const uint64_t ids = getU64(image, 20), text = getU64(image, 36);
  auto patched = [&](uint64_t at, const std::string& bytes) {
    std::string s = image;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  EXPECT_EQ(decodeError(patched(ids + 4, "\xff")), "Corrupted data: Invalid UTF-8 in ID");
  EXPECT_EQ(decodeError(patched(ids + 4, "\xc0")), "Corrupted data: Invalid UTF-8 in ID");         // overlong lead byte
  EXPECT_EQ(decodeError(patched(text + 4, "\xed\xa0")), "Corrupted data: Invalid UTF-8 in text");  // surrogate
  std::string farOffset, huge;
  putU64(farOffset, image.size() - 2);
  putU64(huge, ~0ull);
  EXPECT_EQ(decodeError(patched(28, farOffset)), "Corrupted data: Metadata section too small");
  EXPECT_EQ(decodeError(patched(20, farOffset)), "Corrupted data: Unexpected end of IDs section");
  EXPECT_EQ(decodeError(patched(36, farOffset)), "Corrupted data: Unexpected end of text section");
  EXPECT_EQ(decodeError(patched(28, huge)), "Corrupted data: Metadata section too small");
}

// `items` encoded with `json` in place of their metadata section.
std::string withMetadata(const std::vector<IndexItem>& items, const std::string& json) {
  const std::string image = encodeOrDie(items);
  const uint64_t meta = getU64(image, 28), text = getU64(image, 36);
  std::string out = image.substr(0, meta);
  putU32(out, uint32_t(json.size()));
  out += json;
  const uint64_t newText = out.size();
  out += image.substr(text);
  for (int i = 0; i < 8; ++i) out[36 + i] = char((newText >> (8 * i)) & 0xff);
  return out;
}

TEST(MMapStoreTest, MetadataMustBeAnArrayOfStringMapsInAnyJsonLayout) {
  const std::string spaced = "[ {\n \"lang\" : \"fr\", \"path\" : \"\\/a\" } ,\t{ } ]";
  auto decoded = MMapStore::decode(withMetadata(fixtureItems(), spaced));
  ASSERT_TRUE(decoded.ok()) << decoded.error().description();
  EXPECT_EQ(decoded.value(), fixtureItems());
  const std::vector<IndexItem> one = {{"a", "t", {1}, {}}};
  EXPECT_EQ(decodeError(withMetadata(one, "[{}]")), "");
  EXPECT_EQ(decodeError(withMetadata(one, "[{},{}]")), "Corrupted data: Metadata count mismatch: expected 1, got 2");
  EXPECT_EQ(decodeError(withMetadata(one, "[]")), "Corrupted data: Metadata count mismatch: expected 1, got 0");
  for (const char* bad : {"{}", "[1]", "[{\"k\":1}]", "[{\"k\":null}]", "[{\"k\":[\"v\"]}]", "[{", "", "[\"\xff\"]"}) {
    EXPECT_EQ(decodeError(withMetadata(one, bad)).rfind("Corrupted data: Failed to decode metadata: ", 0), 0u) << bad;
  }
}

TEST(MMapStoreTest, LyingCountsFailWithoutHugeAllocations) {
  for (uint32_t dim : {0u, 1u, 384u}) {
    std::string s = "SKST";
    putU32(s, 1);
    putU64(s, ~0ull >> 1);
    putU32(s, dim);
    for (int i = 0; i < 3; ++i) putU64(s, 48);
    putU32(s, 0);
    s += std::string(64, '\0');
    const std::string error = decodeError(s);
    EXPECT_EQ(error.rfind("Corrupted data: ", 0), 0u) << error;
  }
}

// Expected failure of `image` (a valid file of `items`) cut to `size` bytes.
std::string expectedTruncation(const std::string& image, const std::vector<IndexItem>& items, std::size_t size) {
  if (size < 48) return "File is too small to contain valid data";
  const std::size_t dim = items[0].embedding.size();
  if (size < 48 + items.size() * dim * 4) return "Corrupted data: File too small for embeddings";
  std::size_t pos = getU64(image, 20);
  for (const auto& item : items) {
    if (size < pos + 4) return "Corrupted data: Unexpected end of IDs section";
    if (size < pos + 4 + item.id.size()) return "Corrupted data: ID string extends beyond file";
    pos += 4 + item.id.size();
  }
  const std::size_t meta = getU64(image, 28);
  if (size < meta + 4) return "Corrupted data: Metadata section too small";
  if (size < meta + 4 + getU32(image, meta)) return "Corrupted data: Metadata extends beyond file";
  pos = getU64(image, 36);
  for (const auto& item : items) {
    if (size < pos + 4) return "Corrupted data: Unexpected end of text section";
    if (size < pos + 4 + item.text.size()) return "Corrupted data: Text string extends beyond file";
    pos += 4 + item.text.size();
  }
  return "";
}

TEST(MMapStoreTest, TruncationAtEveryOffsetNamesTheSection) {
  std::vector<IndexItem> items = fixtureItems();
  items.push_back({"third", "last text", {7, 8, 9}, {{"k", "v"}}});
  const std::string image = encodeOrDie(items);
  for (std::size_t size = 0; size < image.size(); ++size) {
    const std::string got = decodeError(std::string_view(image).substr(0, size));
    const std::string expected = expectedTruncation(image, items, size);
    if (expected.empty()) ADD_FAILURE() << "oracle found no error at " << size;
    EXPECT_EQ(got, expected) << "cut at " << size;
  }
}

}  // namespace
}  // namespace pallix
