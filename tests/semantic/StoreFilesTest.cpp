// The store's files: LZFSE round trips through the streamed and the
// reference one-shot decoder and corrupt streams that fail cleanly, which
// form compress-and-move stores a file in and what it leaves behind, and the
// fast item-file decoder against MMapStore::decode, the oracle.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "SimilaritySearchKit/MMapStore.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/EmbeddingStoreFiles.h"
#include "app/semantic/ItemImage.h"
#include "app/semantic/Lzfse.h"
#include "app/semantic/lzfse/LzfseStream.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::failsWith;

// Text with long-range repeats, floats, and noise: every block kind.
std::string sampleData(std::size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out;
  const std::string phrase = "{\"filePath\":\"/home/user/Documents/notes.md\",\"chunkIndex\":\"";
  while (out.size() < size) {
    switch (rng() % 3) {
      case 0:
        out += phrase + std::to_string(rng() % 1000) + "\"}";
        break;
      case 1: {
        float f = std::normal_distribution<float>(0, 0.05f)(rng);
        out.append(reinterpret_cast<const char*>(&f), sizeof f);
        break;
      }
      default:
        out.push_back(static_cast<char>(rng()));
    }
  }
  out.resize(size);
  return out;
}

std::string noise(std::size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) c = char(rng());
  return out;
}

std::string referenceDecode(const std::string& stream, std::size_t expected) {
  std::string out(expected + 16, '\0');
  const std::size_t n = pallix_lzfse_decode_buffer(reinterpret_cast<uint8_t*>(out.data()), out.size(),
                                                   reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
  out.resize(n);
  return out;
}

TEST(LzfseTest, RoundTripsThroughBothDecodersAtEverySize) {
  for (std::size_t size : {std::size_t(1), std::size_t(7), std::size_t(4095), std::size_t(4096), lzfse::kPieceSize - 1,
                           lzfse::kPieceSize, lzfse::kPieceSize + 1, std::size_t(5 * lzfse::kPieceSize + 333)}) {
    SCOPED_TRACE(size);
    const std::string data = sampleData(size, uint32_t(size));
    auto stream = lzfse::encode(data, data.size() + 64);
    ASSERT_TRUE(stream.has_value());
    EXPECT_EQ(referenceDecode(*stream, data.size()), data);
    auto decoded = lzfse::decode(*stream);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(decoded.value(), data);
  }
}

TEST(LzfseTest, ReadsReferenceStreamsWhoseMatchesReachFarBack) {
  // One-shot encoding of data repeating every 200 KiB: matches far beyond the 64 KiB window.
  std::string unit = sampleData(200 * 1024, 7);
  const std::string data = unit + unit + unit;
  std::vector<uint8_t> scratch(pallix_lzfse_encode_scratch_size() + 1);
  std::string stream(data.size(), '\0');
  const std::size_t n =
      pallix_lzfse_encode_buffer(reinterpret_cast<uint8_t*>(stream.data()), stream.size(),
                                 reinterpret_cast<const uint8_t*>(data.data()), data.size(), scratch.data());
  ASSERT_GT(n, 0u);
  stream.resize(n);
  ASSERT_LT(stream.size(), data.size() / 2);  // the repeats were matched
  auto decoded = lzfse::decode(stream);
  ASSERT_TRUE(decoded.ok()) << decoded.error().description();
  EXPECT_EQ(decoded.value(), data);
}

TEST(LzfseTest, FileDecodeKeepsTheFixedBuffersPrefixReadsStopEarlyAndNoiseDoesNotFit) {
  testing::TempDir dir;
  const std::string data = sampleData(3 * lzfse::kPieceSize + 10, 3);
  const std::string plain = dir.write("plain", data);
  uint64_t encodedSize = 0;
  auto outcome = lzfse::encodeFile(plain, dir / "file.lz", data.size(), &encodedSize);
  ASSERT_TRUE(outcome.ok());
  ASSERT_EQ(outcome.value(), lzfse::FileEncodeOutcome::written);
  auto stats = lzfse::decodeFile(dir / "file.lz", dir / "out");
  ASSERT_TRUE(stats.ok()) << stats.error().description();
  EXPECT_EQ(stats->decodedBytes, data.size());
  EXPECT_EQ(stats->compressedBytes, encodedSize);
  EXPECT_EQ(stats->bufferBytes, 2 * lzfse::kStreamBufferSize);
  EXPECT_FALSE(stats->neededFullHistory);
  std::ifstream in(dir / "out", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), data);
  auto prefix = lzfse::decodeFilePrefix(dir / "file.lz", 4);
  ASSERT_TRUE(prefix.ok());
  EXPECT_EQ(prefix.value(), data.substr(0, 4));

  // Incompressible data does not fit its own size (compress-and-move below
  // shows that no file is left behind).
  const std::string random = noise(20000, 1);
  EXPECT_FALSE(lzfse::encode(random, random.size()).has_value());
}

TEST(LzfseTest, DamagedStreamsFailWithADescription) {
  const std::string data = sampleData(2 * lzfse::kPieceSize, 9);
  const std::string stream = *lzfse::encode(data, data.size());
  struct Case {
    const char* name;
    std::string bytes;
    const char* fragment;
  };
  std::string flipped = stream;
  flipped[0] ^= 0x40;
  const Case cases[] = {
      {"empty", "", "decompression incomplete: wrote 0 bytes"},
      {"truncated", stream.substr(0, stream.size() / 2), "decompression incomplete"},
      {"no end marker", stream.substr(0, stream.size() - 4), "decompression incomplete"},
      {"bad magic", flipped, "invalid LZFSE data"},
      {"foreign", std::string("SKST\x01\0\0\0", 8) + std::string(200, 'x'), "invalid LZFSE data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(failsWith(lzfse::decode(c.bytes), c.fragment));
  }
  // LZFSE carries no checksum, so damage may decode to other bytes (the item
  // and graph loaders reject those); it must never crash or read out of bounds.
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    std::string damaged = stream;
    damaged[rng() % damaged.size()] ^= char(1 << (rng() % 8));
    (void)lzfse::decode(damaged);
  }
}

TEST(EmbeddingStoreFilesTest, CompressAndMoveChoosesTheFormByTheData) {
  struct Case {
    const char* name;
    std::string data;
    bool plain, compressed;
    const char* error;
  };
  const Case cases[] = {
      {"small", std::string(1024, 'a'), true, false, nullptr},
      {"compressible", std::string(5000, 'b'), false, true, nullptr},
      {"incompressible", noise(4000, 3), false, false, "Compression failed: FileChunks.mmap"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    Logger logger("test");
    EmbeddingStoreFiles files(dir.mkdir("store"), "FileChunks", dir.mkdir("tmp"), logger);
    // An earlier save in the other form, which a successful move replaces.
    dir.write(c.plain ? "store/FileChunks.mmap.lz" : "store/FileChunks.mmap", "previous");
    Status moved = files.compressAndMove(dir.write("tmp/source", c.data), files.itemPath());
    if (c.error) {
      EXPECT_TRUE(testing::failsWith(moved, c.error));
      EXPECT_TRUE(isError(moved.error(), CompressionError::kDomain, CompressionError::compressionFailed));
      EXPECT_TRUE(fs::exists(files.itemPath()));  // the previous file stays
    } else {
      ASSERT_TRUE(moved.ok()) << moved.error().description();
      EXPECT_EQ(fs::exists(files.itemPath()), c.plain);
      EXPECT_EQ(fs::exists(files.itemPath() + ".lz"), c.compressed);
    }
    for (const auto& entry : fs::directory_iterator(dir / "store")) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos);
    }
  }
}

TEST(EmbeddingStoreFilesTest, MissingSourceIsAReadFailureAndLeftoversAreSweptAway) {
  testing::TempDir dir;
  Logger logger("test");
  EmbeddingStoreFiles files(dir.mkdir("store"), "FileChunks", dir.mkdir("tmp"), logger);
  EXPECT_TRUE(isError(files.compressAndMove(dir / "tmp/none", files.itemPath()).error(), CompressionError::kDomain,
                      CompressionError::readFailed));
  const auto hoursAgo = [](int hours) { return fs::file_time_type::clock::now() - std::chrono::hours(hours); };
  const std::string cutShort = dir.write("store/FileChunks.mmap.lz.tmp-1234", "cut short");
  const std::string inProgress = dir.write("store/FileChunks.hnsw.lz.tmp-5678", "being written");
  dir.write("store/Other.mmap.tmp-1", "someone else's");
  fs::last_write_time(cutShort, hoursAgo(2));
  fs::last_write_time(dir / "store/Other.mmap.tmp-1", hoursAgo(2));
  const std::string old = dir.mkdir("tmp/Pallix-File-Save-OLD");
  const std::string recent = dir.mkdir("tmp/Pallix-File-Save-NEW");
  fs::last_write_time(old, hoursAgo(2));
  // Another process's load that has been running for two hours holds its directory locked.
  auto held = files.makeTemporaryDirectory("Pallix-HNSW-");
  ASSERT_TRUE(held.ok());
  fs::last_write_time(held->path(), hoursAgo(2));

  files.removeStaleTemporaries(/*besideStoreFiles=*/false);  // a reader leaves the store's own files alone
  EXPECT_TRUE(fs::exists(cutShort));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(recent));
  EXPECT_TRUE(fs::exists(held->path()));

  files.removeStaleTemporaries(/*besideStoreFiles=*/true);
  EXPECT_FALSE(fs::exists(cutShort));
  EXPECT_TRUE(fs::exists(inProgress));  // younger than an hour
  EXPECT_TRUE(fs::exists(dir / "store/Other.mmap.tmp-1"));
  EXPECT_TRUE(fs::exists(held->path()));

  const std::string heldPath = held->path();
  held = Result<TemporaryDirectory>(Error::make("released"));
  EXPECT_FALSE(fs::exists(heldPath));  // its maker removes it
}

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

TEST(ItemImageTest, DecodesLikeMMapStoreOnRandomItemsWhateverTheJsonLayout) {
  std::mt19937 rng(17);
  for (int round = 0; round < 200; ++round) {
    const auto items = randomItems(rng, 1 + rng() % 20);
    const std::string image = MMapStore::encode(items).value();
    auto fast = decodeItemImage(image);
    ASSERT_TRUE(fast.ok()) << fast.error().description();
    EXPECT_EQ(fast.value().items, MMapStore::decode(image).value());
    // The same metadata laid out with spaces, newlines and \u escapes.
    const MMapHeader header = MMapStore::decodeHeader(image).value();
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : items) array.push_back(item.metadata);
    const std::string pretty = array.dump(2, ' ', true);
    std::string rebuilt = image.substr(0, header.metadataOffset);
    const uint32_t length = uint32_t(pretty.size());
    rebuilt.append(reinterpret_cast<const char*>(&length), 4);
    rebuilt += pretty;
    const uint64_t textOffset = rebuilt.size();
    rebuilt += image.substr(header.textOffset);
    std::memcpy(rebuilt.data() + 36, &textOffset, 8);
    EXPECT_EQ(decodeItemImage(rebuilt).value().items, items);
  }
}

TEST(ItemImageTest, DamagedImagesDecodeLikeMMapStoresSalvagingDecoder) {
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
    auto oracle = MMapStore::decodeSalvaging(damaged);
    ASSERT_EQ(fast.ok(), oracle.ok());
    if (fast.ok()) {
      EXPECT_EQ(fast.value().items, oracle.value().items);
      EXPECT_EQ(fast.value().dropped.size(), oracle.value().dropped.size());
    } else {
      EXPECT_EQ(fast.error(), oracle.error());
    }
  }
}

}  // namespace
}  // namespace pallix
