#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "SimilaritySearchKit/TransformerSafetensors.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using ::pallix::testing::testDataDir;
using ::pallix::testing::tinyModelDir;

std::string withHeader(const std::string& header, const std::string& data = std::string(16, '\0')) {
  std::string out;
  uint64_t n = header.size();
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>((n >> (8 * b)) & 0xFF));
  return out + header + data;
}

std::string errorOf(const std::string& bytes) {
  auto file = SafetensorsFile::parse(bytes);
  return file.ok() ? "" : file.error().description();
}

TEST(HalfFloatTest, KnownValuesAndEveryPatternRoundTrips) {
  EXPECT_EQ(halfToFloat(0x3C00), 1.0f);
  EXPECT_EQ(halfToFloat(0xC000), -2.0f);
  EXPECT_EQ(halfToFloat(0x7BFF), 65504.0f);
  EXPECT_EQ(halfToFloat(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(halfToFloat(0x0400), std::ldexp(1.0f, -14));
  EXPECT_TRUE(std::isinf(halfToFloat(0x7C00)));
  EXPECT_TRUE(std::isnan(halfToFloat(0x7E00)));
  EXPECT_TRUE(std::signbit(halfToFloat(0x8000)));
  EXPECT_EQ(floatToHalf(1.0f + std::ldexp(1.0f, -11)), 0x3C00);      // tie rounds to even
  EXPECT_EQ(floatToHalf(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);  // tie rounds to even (up)
  EXPECT_EQ(floatToHalf(1e6f), 0x7C00);
  EXPECT_EQ(floatToHalf(-1e-10f), 0x8000);
  EXPECT_EQ(bfloat16ToFloat(0x3F80), 1.0f);
  EXPECT_EQ(bfloat16ToFloat(0xC040), -3.0f);
  EXPECT_EQ(floatToBfloat16(1.0f + std::ldexp(1.0f, -8)), 0x3F80);  // tie rounds to even
  // Exhaustive: every half and bfloat16 bit pattern survives float and back.
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    float f = halfToFloat(static_cast<uint16_t>(h));
    if (std::isnan(f)) {
      EXPECT_TRUE(std::isnan(halfToFloat(floatToHalf(f))));
      continue;
    }
    ASSERT_EQ(floatToHalf(f), h) << std::hex << h;
    float b = bfloat16ToFloat(static_cast<uint16_t>(h));
    if (!std::isnan(b)) {
      ASSERT_EQ(floatToBfloat16(b), h) << std::hex << h;
    }
  }
}

TEST(SafetensorsTest, SerializeAndParseRoundTrip) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0, 3);
  std::map<std::string, TensorData> tensors;
  tensors["a"] = {{2, 3}, {}};
  tensors["b.weight"] = {{5}, {}};
  tensors["scalar"] = {{}, {}};
  tensors["empty"] = {{0, 4}, {}};
  for (auto& [name, t] : tensors) {
    size_t n = 1;
    for (auto d : t.shape) n *= static_cast<size_t>(d);
    for (size_t i = 0; i < n; ++i) t.values.push_back(normal(rng));
  }
  for (TensorDType dtype : {TensorDType::f32, TensorDType::f16, TensorDType::bf16}) {
    auto file = SafetensorsFile::parse(SafetensorsFile::serialize(tensors, dtype));
    ASSERT_TRUE(file.ok()) << file.error().description();
    EXPECT_EQ(file->tensors().size(), tensors.size());
    for (const auto& [name, t] : tensors) {
      auto values = file->floats(name, t.shape);
      ASSERT_TRUE(values.ok()) << values.error().description();
      ASSERT_EQ(values->size(), t.values.size());
      for (size_t i = 0; i < t.values.size(); ++i) {
        float tolerance =
            dtype == TensorDType::f32 ? 0.0f : std::abs(t.values[i]) * (dtype == TensorDType::f16 ? 1e-3f : 8e-3f);
        ASSERT_NEAR((*values)[i], t.values[i], tolerance) << name << "[" << i << "]";
      }
    }
  }
}

// The three committed files hold the same (exactly representable) weights.
TEST(SafetensorsTest, HalfAndBfloatFilesMatchTheF32File) {
  auto f32 = SafetensorsFile::load(tinyModelDir() + "/model.safetensors");
  auto f16 = SafetensorsFile::load(testDataDir() + "/tiny_bert_f16.safetensors");
  auto bf16 = SafetensorsFile::load(testDataDir() + "/tiny_bert_bf16.safetensors");
  ASSERT_TRUE(f32.ok() && f16.ok() && bf16.ok());
  EXPECT_EQ(f32->metadata().at("format"), "pt");
  ASSERT_EQ(f32->tensors().size(), f16->tensors().size());
  for (const auto& [name, info] : f32->tensors()) {
    EXPECT_EQ(info.dtype, TensorDType::f32);
    EXPECT_EQ(f16->tensors().at(name).dtype, TensorDType::f16);
    EXPECT_EQ(bf16->tensors().at(name).dtype, TensorDType::bf16);
    auto a = f32->floats(name, info.shape);
    auto b = f16->floats(name, info.shape);
    auto c = bf16->floats(name, info.shape);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok()) << name;
    EXPECT_EQ(a.value(), b.value()) << name;
    EXPECT_EQ(a.value(), c.value()) << name;
  }
}

TEST(SafetensorsTest, LoadAndTensorLookupErrors) {
  EXPECT_FALSE(SafetensorsFile::load("/nonexistent/model.safetensors").ok());
  std::map<std::string, TensorData> tensors{{"w", {{2, 2}, {1, 2, 3, 4}}}};
  auto file = SafetensorsFile::parse(SafetensorsFile::serialize(tensors));
  ASSERT_TRUE(file.ok());
  auto missing = file->floats("v", {2, 2});
  ASSERT_TRUE(testing::failsWith(missing, "missing tensor \"v\""));
  auto shape = file->floats("w", {4});
  ASSERT_TRUE(testing::failsWith(shape, "has shape [2, 2], expected [4]"));

  auto ints = SafetensorsFile::parse(
      withHeader(R"({"ids":{"dtype":"I64","shape":[2],"data_offsets":[0,16]}})", std::string(16, '\1')));
  ASSERT_TRUE(ints.ok());
  auto read = ints->floats("ids", {2});
  ASSERT_TRUE(testing::failsWith(read, "only F32, F16 and BF16"));
}

TEST(SafetensorsCorruptionTest, MalformedHeadersAreRejectedWithReasons) {
  const std::string tensor = R"({"a":{"dtype":"F32","shape":)";
  const std::pair<std::string, std::string> cases[] = {
      {"", "shorter than"},
      {std::string("\x10\0\0\0", 4), "shorter than"},
      {withHeader("{}").replace(0, 8, std::string(8, '\xff')), "header length"},
      {withHeader("{\"a\": "), "not JSON"},
      {withHeader("[1,2]"), "not a JSON object"},
      {withHeader(R"({"a": 3})"), "not an object"},
      {withHeader(R"({"a":{"shape":[1],"data_offsets":[0,4]}})"), "no dtype"},
      {withHeader(R"({"a":{"dtype":"F32","data_offsets":[0,4]}})"), "no shape"},
      {withHeader(tensor + R"([1]}})"), "data_offsets"},
      {withHeader(tensor + R"([1],"data_offsets":[0]}})"), "data_offsets"},
      {withHeader(tensor + R"([1],"data_offsets":[-4,0]}})"), "data_offsets"},
      {withHeader(R"({"a":{"dtype":"Q4","shape":[1],"data_offsets":[0,4]}})"), "unknown dtype"},
      {withHeader(tensor + R"([-1],"data_offsets":[0,4]}})"), "negative"},
      {withHeader(tensor + R"([1],"data_offsets":[8,4]}})"), "outside"},
      {withHeader(tensor + R"([1],"data_offsets":[0,400]}})"), "truncated"},
      {withHeader(tensor + R"([3],"data_offsets":[0,8]}})"), "needs 12"},
      {withHeader(tensor + R"([4294967296,4294967296,16],"data_offsets":[0,8]}})"), "impossibly large"},
      {withHeader(R"({"__metadata__":{"k":1}})"), "not a string"},
      {withHeader(R"({"__metadata__":[]})"), "__metadata__"}};
  for (const auto& [bytes, reason] : cases) EXPECT_NE(errorOf(bytes).find(reason), std::string::npos) << reason;
  EXPECT_EQ(errorOf(withHeader(R"({"__metadata__":{"k":"v"}})")), "");
}

// Every cut inside the header and the first data bytes (then a stride through
// the data) fails; random damage to the header never crashes, and whatever
// still parses reads every tensor within bounds.
TEST(SafetensorsCorruptionTest, CutsFailAndRandomDamageNeverCrashes) {
  auto bytes = readFileToString(tinyModelDir() + "/model.safetensors");
  ASSERT_TRUE(bytes.ok());
  const std::string& full = bytes.value();
  ASSERT_TRUE(SafetensorsFile::parse(full).ok());
  uint64_t headerLength = 0;
  std::memcpy(&headerLength, full.data(), 8);
  for (size_t cut = 0; cut < full.size(); cut += (cut < headerLength + 64 ? 1 : 997)) {
    EXPECT_FALSE(SafetensorsFile::parse(full.substr(0, cut)).ok()) << "cut at " << cut;
  }
  EXPECT_FALSE(SafetensorsFile::parse(full.substr(0, full.size() - 1)).ok());

  std::mt19937 rng(2026);
  std::uniform_int_distribution<size_t> where(0, static_cast<size_t>(headerLength) + 8 - 1);
  std::uniform_int_distribution<int> value(0, 255);
  int rejected = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    std::string damaged = full;
    for (int i = 0; i < 1 + trial % 4; ++i) damaged[where(rng)] = static_cast<char>(value(rng));
    auto file = SafetensorsFile::parse(std::move(damaged));
    if (!file.ok()) {
      ++rejected;
      continue;
    }
    for (const auto& [name, info] : file->tensors()) {
      auto values = file->floats(name, info.shape);
      if (values.ok()) {
        size_t n = 1;
        for (auto d : info.shape) n *= static_cast<size_t>(d);
        EXPECT_EQ(values->size(), n);
      }
    }
  }
  EXPECT_GT(rejected, 100);
}

}  // namespace
}  // namespace pallix
