// LZFSE round trips through the streamed decoder and the reference one-shot
// decoder, in both directions, and corrupt streams that fail cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/semantic/Lzfse.h"
#include "app/semantic/lzfse/LzfseStream.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

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

TEST(LzfseTest, FileDecodeKeepsTheFixedBuffersPrefixReadsStopEarlyAndNoiseIsNotWritten) {
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

  // Incompressible data does not fit its own size: no stream, no file.
  std::mt19937 rng(1);
  std::string noise(20000, '\0');
  for (char& c : noise) c = char(rng());
  EXPECT_FALSE(lzfse::encode(noise, noise.size()).has_value());
  auto noiseOutcome = lzfse::encodeFile(dir.write("noise", noise), dir / "noise.lz", noise.size());
  ASSERT_TRUE(noiseOutcome.ok());
  EXPECT_EQ(noiseOutcome.value(), lzfse::FileEncodeOutcome::wouldNotFit);
  EXPECT_FALSE(std::filesystem::exists(dir / "noise.lz"));
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

}  // namespace
}  // namespace pallix
