// The fast item-file decoder against MMapStore::decode, the oracle: same
// items for every image the stores write, same error for every damage.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "SimilaritySearchKit/MMapStore.h"
#include "app/semantic/ItemImage.h"

namespace pallix {
namespace {

std::vector<IndexItem> randomItems(std::mt19937& rng, std::size_t count) {
  const std::vector<std::string> pieces = {
      "plain",       "caf\xC3\xA9", "\xF0\x9F\x98\x80",          "quote\"",  "back\\slash",
      "line\nbreak", "tab\t",       std::string("nul\0byte", 8), "\x01\x1F", "/"};
  auto text = [&] {
    std::string s;
    for (int k = int(rng() % 5); k > 0; --k) s += pieces[rng() % pieces.size()];
    return s;
  };
  std::vector<IndexItem> items(count);
  for (auto& item : items) {
    item.id = text() + std::to_string(rng());
    item.text = text();
    item.embedding = {float(rng() % 100), -1.5f, 3.25f};
    for (int k = int(rng() % 4); k > 0; --k) item.metadata[text()] = text();
  }
  return items;
}

TEST(ItemImageTest, DecodesLikeMMapStoreOnRandomItems) {
  std::mt19937 rng(17);
  for (int round = 0; round < 200; ++round) {
    const auto items = randomItems(rng, 1 + rng() % 20);
    const std::string image = MMapStore::encode(items).value();
    auto fast = decodeItemImage(image);
    ASSERT_TRUE(fast.ok()) << fast.error().description();
    EXPECT_EQ(fast.value(), MMapStore::decode(image).value());
  }
}

TEST(ItemImageTest, AcceptsAnyJsonLayoutOfTheMetadata) {
  std::mt19937 rng(5);
  const auto items = randomItems(rng, 6);
  std::string image = MMapStore::encode(items).value();
  const MMapHeader header = MMapStore::decodeHeader(image).value();
  nlohmann::json array = nlohmann::json::array();
  for (const auto& item : items) array.push_back(item.metadata);
  const std::string pretty = array.dump(2, ' ', true);  // spaces, newlines and \u escapes
  std::string rebuilt = image.substr(0, header.metadataOffset);
  const uint32_t length = uint32_t(pretty.size());
  rebuilt.append(reinterpret_cast<const char*>(&length), 4);
  rebuilt += pretty;
  const uint64_t textOffset = rebuilt.size();
  rebuilt += image.substr(header.textOffset);
  std::memcpy(rebuilt.data() + 36, &textOffset, 8);
  EXPECT_EQ(decodeItemImage(rebuilt).value(), items);
}

TEST(ItemImageTest, DamagedImagesFailWithMMapStoresError) {
  std::mt19937 rng(9);
  const std::string image = MMapStore::encode(randomItems(rng, 8)).value();
  for (int round = 0; round < 400; ++round) {
    std::string damaged = image;
    switch (rng() % 3) {
      case 0:
        damaged[rng() % damaged.size()] ^= char(1 << (rng() % 8));
        break;
      case 1:
        damaged.resize(rng() % damaged.size());
        break;
      default:
        damaged[48 + rng() % (damaged.size() - 48)] = char(rng());
    }
    auto fast = decodeItemImage(damaged);
    auto oracle = MMapStore::decode(damaged);
    ASSERT_EQ(fast.ok(), oracle.ok());
    if (fast.ok()) {
      EXPECT_EQ(fast.value(), oracle.value());
    } else {
      EXPECT_EQ(fast.error(), oracle.error());
    }
  }
}

}  // namespace
}  // namespace pallix
