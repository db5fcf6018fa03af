// The salvaging loader of the item file: one named case per kind of bad
// record (dropped, the rest kept in order) and per kind of structural damage
// (still an error), and agreement with the strict loader on sound files.
#include <gtest/gtest.h>

#include "SimilaritySearchKit/MMapStore.h"
#include "tests/similarity/TestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

std::vector<IndexItem> threeItems() {
  return {{"a", "first", {1, 2}, {{"k", "1"}}}, {"b", "second", {3, 4}, {{"k", "2"}}}, {"c", "third", {5, 6}, {}}};
}

std::string image(const std::vector<IndexItem>& items) {
  return MMapStore::encode(items).value();
}

// `data` with the first byte of string `index` of the section at header offset `section` set to `byte`.
std::string withStringByte(std::string data, const std::vector<IndexItem>& items, std::size_t section,
                           std::size_t index, char byte) {
  uint64_t at = getU64(data, section);
  for (std::size_t i = 0; i < index; ++i) at += 4 + (section == 20 ? items[i].id : items[i].text).size();
  data[at + 4] = byte;
  return data;
}

// `items` encoded with `json` in place of their metadata section.
std::string withMetadata(const std::vector<IndexItem>& items, const std::string& json) {
  const std::string original = image(items);
  const uint64_t meta = getU64(original, 28), text = getU64(original, 36);
  std::string out = original.substr(0, meta);
  putU32(out, uint32_t(json.size()));
  out += json;
  const uint64_t newText = out.size();
  out += original.substr(text);
  for (int i = 0; i < 8; ++i) out[36 + i] = char((newText >> (8 * i)) & 0xff);
  return out;
}

std::vector<std::string> idsOf(const std::vector<IndexItem>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.id);
  return out;
}

TEST(MMapSalvageTest, SoundFileLoadsAsTheStrictLoaderReadsIt) {
  auto salvaged = MMapStore::decodeSalvaging(image(threeItems()));
  ASSERT_TRUE(salvaged.ok());
  EXPECT_EQ(salvaged->items, threeItems());
  EXPECT_TRUE(salvaged->dropped.empty());
}

TEST(MMapSalvageTest, TextThatIsNotUtf8DropsItsRecordOnly) {
  const auto items = threeItems();
  const std::string bad = withStringByte(image(items), items, 36, 1, '\xe9');
  EXPECT_FALSE(MMapStore::decode(bad).ok());
  auto salvaged = MMapStore::decodeSalvaging(bad);
  ASSERT_TRUE(salvaged.ok());
  EXPECT_EQ(idsOf(salvaged->items), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(salvaged->items[1], items[2]);  // embedding and metadata stay with their record
  ASSERT_EQ(salvaged->dropped.size(), 1u);
  EXPECT_EQ(salvaged->dropped[0].index, 1u);
  EXPECT_EQ(salvaged->dropped[0].reason, "Corrupted data: Invalid UTF-8 in text");
}

TEST(MMapSalvageTest, IdentifierThatIsNotUtf8DropsItsRecordOnce) {
  const auto items = threeItems();
  // Record 0 bad twice (identifier and text): listed once.
  const std::string bad = withStringByte(withStringByte(image(items), items, 20, 0, '\xff'), items, 36, 0, '\xc0');
  auto salvaged = MMapStore::decodeSalvaging(bad);
  ASSERT_TRUE(salvaged.ok());
  EXPECT_EQ(idsOf(salvaged->items), (std::vector<std::string>{"b", "c"}));
  ASSERT_EQ(salvaged->dropped.size(), 1u);
  EXPECT_EQ(salvaged->dropped[0].reason, "Corrupted data: Invalid UTF-8 in ID");
}

TEST(MMapSalvageTest, MetadataElementThatIsNotAStringMapDropsItsRecord) {
  const auto items = threeItems();
  auto salvaged = MMapStore::decodeSalvaging(withMetadata(items, R"([{"k":"1"},{"k":2},[]])"));
  ASSERT_TRUE(salvaged.ok());
  EXPECT_EQ(idsOf(salvaged->items), (std::vector<std::string>{"a"}));
  ASSERT_EQ(salvaged->dropped.size(), 2u);
  EXPECT_EQ(salvaged->dropped[0].index, 1u);
  EXPECT_EQ(salvaged->dropped[1].reason,
            "Corrupted data: Failed to decode metadata: element 2 is array, expected an object");
}

TEST(MMapSalvageTest, MetadataBytesThatAreNotUtf8AreReadAsReplacementCharacters) {
  const auto items = threeItems();
  auto salvaged = MMapStore::decodeSalvaging(withMetadata(items, "[{\"k\":\"caf\xe9\"},{},{}]"));
  ASSERT_TRUE(salvaged.ok());
  ASSERT_EQ(salvaged->items.size(), 3u);
  EXPECT_EQ(salvaged->items[0].metadata.at("k"), "caf\xef\xbf\xbd");
}

TEST(MMapSalvageTest, DamageToTheStructureStillFails) {
  const auto items = threeItems();
  const std::string sound = image(items);
  std::string magic = sound;
  magic[1] = 'X';
  const std::pair<const char*, std::string> cases[] = {
      {"Invalid file format: not a valid MMapStore file", magic},
      {"Corrupted data: Text string extends beyond file", sound.substr(0, sound.size() - 1)},
      {"Corrupted data: Metadata count mismatch: expected 3, got 2", withMetadata(items, "[{},{}]")},
      {"Corrupted data: Failed to decode metadata: expected an array, found object", withMetadata(items, "{}")},
  };
  for (const auto& [expected, data] : cases) {
    auto salvaged = MMapStore::decodeSalvaging(data);
    ASSERT_FALSE(salvaged.ok()) << expected;
    EXPECT_EQ(salvaged.error().description(), expected);
  }
}

}  // namespace
}  // namespace pallix
