#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "SimilaritySearchKit/TransformerEncoder.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace ::pallix::testing;

constexpr float kGoldenTolerance = 1e-4f;

std::unique_ptr<TransformerEncoder> loaded(Result<std::unique_ptr<TransformerEncoder>> encoder) {
  EXPECT_TRUE(encoder.ok()) << (encoder.ok() ? "" : encoder.error().description());
  return encoder.ok() ? std::move(encoder).value() : nullptr;
}

std::unique_ptr<TransformerEncoder> loadTiny() {
  return loaded(TransformerEncoder::loadDirectory(tinyModelDir()));
}

// An encoder over `weights` serialized to safetensors in memory.
Result<std::unique_ptr<TransformerEncoder>> build(const TransformerConfig& config,
                                                  const std::map<std::string, TensorData>& weights) {
  auto file = SafetensorsFile::parse(SafetensorsFile::serialize(weights));
  EXPECT_TRUE(file.ok());
  return TransformerEncoder::fromParts(config, file.value());
}

std::unique_ptr<TransformerEncoder> fromWeights(const TransformerConfig& config,
                                                const std::map<std::string, TensorData>& weights) {
  return loaded(build(config, weights));
}

std::string loadError(const TransformerConfig& config, const std::map<std::string, TensorData>& weights) {
  auto encoder = build(config, weights);
  return encoder.ok() ? "" : encoder.error().description();
}

// Each case alone and all in one batch, computing real tokens only or every
// position; hidden states of every real position where recorded.
TEST(TransformerEncoderGoldenTest, SingleAndBatchedMatchTheNumpyReference) {
  auto encoder = loadTiny();
  ASSERT_TRUE(encoder);
  auto cases = loadGoldenCases();
  ASSERT_GE(cases.size(), 6u);
  std::vector<EncoderInput> inputs;
  for (const auto& c : cases) {
    auto [ids, mask] = padded(c.inputIds, c.paddedLength);
    inputs.push_back({ids, mask});
  }
  int hiddenChecked = 0;
  for (bool all : {false, true}) {
    const EncodeOptions options{.computeAll = all};
    auto batch = encoder->encode(inputs, options);
    ASSERT_TRUE(batch.ok());
    ASSERT_EQ(batch->size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].name + (all ? " (all positions)" : " (real tokens only)"));
      auto single = encoder->encode({inputs[i]}, EncodeOptions{.computeAll = all, .keepHiddenStates = !all});
      ASSERT_TRUE(single.ok()) << single.error().description();
      EXPECT_LT(maxAbsDifference(single->at(0).embedding, cases[i].embedding), kGoldenTolerance);
      EXPECT_LT(maxAbsDifference(batch->at(i).embedding, single->at(0).embedding), 1e-5f);
      EXPECT_LT(maxAbsDifference(batch->at(i).embedding, cases[i].embedding), kGoldenTolerance);
      if (!all && !cases[i].hiddenStates.empty()) {
        // Tolerance relative to the layer-normed magnitudes (~1).
        EXPECT_LT(maxAbsDifference(single->at(0).hiddenStates, cases[i].hiddenStates), 5e-4f);
        ++hiddenChecked;
      }
    }
  }
  EXPECT_GE(hiddenChecked, 2);
}

// Masked positions contribute nothing: computing every position and computing
// only the unmasked ones agree, whether the mask ends the row or has holes and
// whatever tokens sit under it, for random models of several shapes.
TEST(TransformerEncoderPaddingTest, UnmaskedPositionsOnlyEqualsAllPositions) {
  struct Shape {
    int vocab, hidden, layers, heads, inter, positions;
  };
  const std::vector<Shape> shapes{{50, 16, 1, 1, 32, 512}, {64, 24, 3, 4, 48, 512}, {30, 12, 2, 3, 20, 96}};
  std::mt19937 rng(5);
  uint32_t seed = 100;
  for (const auto& s : shapes) {
    auto config = smallConfig(s.vocab, s.hidden, s.layers, s.heads, s.inter, s.positions);
    auto encoder = fromWeights(config, randomBertWeights(config, seed++));
    ASSERT_TRUE(encoder);
    std::uniform_int_distribution<int> token(1, s.vocab - 1);
    for (int trial = 0; trial < 6; ++trial) {
      const int real = std::uniform_int_distribution<int>(1, s.positions)(rng);
      std::vector<int32_t> ids;
      for (int i = 0; i < real; ++i) ids.push_back(token(rng));
      auto [row, mask] = padded(ids, s.positions);
      for (int i = 1; trial % 2 == 1 && i < real; ++i) mask[size_t(i)] = rng() % 4 != 0;
      const EncodeOptions all{.computeAll = true, .keepHiddenStates = true};
      auto full = encoder->encode({{row, mask}}, all);
      auto compact = encoder->encode({{row, mask}});
      auto compactHidden = encoder->encode({{row, mask}}, EncodeOptions{.keepHiddenStates = true});
      ASSERT_TRUE(full.ok() && compact.ok() && compactHidden.ok());
      EXPECT_LT(maxAbsDifference(full->at(0).embedding, compact->at(0).embedding), 1e-5f) << real;
      std::vector<float> fullUnmasked;
      for (size_t i = 0; i < mask.size(); ++i) {
        const auto at = full->at(0).hiddenStates.begin() + static_cast<std::ptrdiff_t>(i) * s.hidden;
        if (mask[i]) fullUnmasked.insert(fullUnmasked.end(), at, at + s.hidden);
      }
      EXPECT_LT(maxAbsDifference(fullUnmasked, compactHidden->at(0).hiddenStates), 1e-4f) << real;

      std::vector<int32_t> noisy = row;
      for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = mask[i] ? noisy[i] : token(rng);
      auto noisyFull = encoder->encode({{noisy, mask}}, all);
      ASSERT_TRUE(noisyFull.ok());
      EXPECT_LT(maxAbsDifference(noisyFull->at(0).embedding, full->at(0).embedding), 1e-5f);
    }
  }
}

// An empty batch is no work; a bad input fails the whole batch.
TEST(TransformerEncoderTest, RejectsInvalidInputs) {
  auto encoder = loadTiny();
  ASSERT_TRUE(encoder);
  auto expectError = [&](EncoderInput input, const std::string& needle) {
    auto out = encoder->encode({{{2, 3}, {1, 1}}, input});
    ASSERT_TRUE(testing::failsWith(out, needle)) << needle;
  };
  expectError({{2, 3}, {1}}, "attention_mask has 1");
  expectError({{}, {}}, "no positions");
  expectError({std::vector<int32_t>(513, 5), std::vector<int32_t>(513, 1)}, "exceed the model's 512");
  expectError({{2, 3}, {0, 1}}, "first ([CLS]) position is masked");
  expectError({{2, 100}, {1, 1}}, "token identifier 100");
  expectError({{2, -1}, {1, 1}}, "token identifier -1");
  auto empty = encoder->encode({});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

TEST(TransformerEncoderLoadTest, EveryTensorShapeIsChecked) {
  auto config = smallConfig();
  auto weights = randomBertWeights(config, 3);
  ASSERT_EQ(loadError(config, weights), "");
  for (const auto& [name, tensor] : weights) {
    auto broken = weights;
    broken[name].shape.push_back(1);  // same values, wrong rank
    std::string error = loadError(config, broken);
    EXPECT_NE(error.find("\"" + name + "\""), std::string::npos) << name << ": " << error;
    EXPECT_NE(error.find("do not match config.json"), std::string::npos) << error;
    auto missing = weights;
    missing.erase(name);
    error = loadError(config, missing);
    EXPECT_NE(error.find("missing tensor \"" + name + "\""), std::string::npos) << error;
  }
  auto deeper = config;
  deeper.numHiddenLayers = 3;
  EXPECT_NE(loadError(deeper, weights).find("encoder.layer.2."), std::string::npos);
  auto wider = config;
  wider.intermediateSize = 40;
  EXPECT_NE(loadError(wider, weights).find("intermediate.dense.weight"), std::string::npos);
  auto bigger = config;
  bigger.vocabSize = 65;
  EXPECT_NE(loadError(bigger, weights).find("expected [65, 16]"), std::string::npos);
}

TEST(TransformerEncoderLoadTest, AcceptsPrefixedAndGammaBetaNames) {
  auto config = smallConfig();
  auto weights = randomBertWeights(config, 4);
  auto reference = fromWeights(config, weights);
  std::map<std::string, TensorData> renamed;
  for (const auto& [name, t] : weights) {
    std::string n = "bert." + name;
    auto pos = n.find("LayerNorm.weight");
    if (pos != std::string::npos) n.replace(pos + 10, 6, "gamma");
    pos = n.find("LayerNorm.bias");
    if (pos != std::string::npos) n.replace(pos + 10, 4, "beta");
    renamed[n] = t;
  }
  renamed["cls.predictions.bias"] = {{64}, std::vector<float>(64, 0.0f)};
  auto other = fromWeights(config, renamed);
  ASSERT_TRUE(reference && other);
  EncoderInput in{{2, 7, 8, 9, 3}, {1, 1, 1, 1, 1}};
  auto a = reference->encode({in});
  auto b = other->encode({in});
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->at(0).embedding, b->at(0).embedding);
}

TEST(TransformerEncoderLoadTest, DirectoryErrorsNameTheProblem) {
  TempDir dir;
  auto missing = TransformerEncoder::loadDirectory(dir.path());
  ASSERT_TRUE(testing::failsWith(missing, "config.json"));

  auto config = readFileToString(tinyModelDir() + "/config.json");
  auto weights = readFileToString(tinyModelDir() + "/model.safetensors");
  ASSERT_TRUE(config.ok() && weights.ok());
  ASSERT_TRUE(writeFileAtomically(dir / "config.json", config.value()).ok());
  ASSERT_TRUE(writeFileAtomically(dir / "model.safetensors", weights->substr(0, weights->size() / 2)).ok());
  auto truncated = TransformerEncoder::loadDirectory(dir.path());
  ASSERT_TRUE(testing::failsWith(truncated, "corrupt safetensors file"));
  EXPECT_NE(truncated.error().description().find("model.safetensors"), std::string::npos);

  ASSERT_TRUE(writeFileAtomically(dir / "model.safetensors", weights.value()).ok());
  EXPECT_TRUE(TransformerEncoder::loadDirectory(dir.path()).ok());
}

TEST(TransformerEncoderTest, BlasThreadCountCanBeSet) {
  // The project links OpenBLAS; with another BLAS this reports false and does nothing.
  bool openBlas = TransformerEncoder::setBlasThreadCount(1);
  if (openBlas) {
    EXPECT_TRUE(TransformerEncoder::setBlasThreadCount(2));
  }
  // Embeddings 100·32 + 512·32 + 2·32 + 64, two layers of 8,544; the pooler is not loaded.
  EXPECT_EQ(loadTiny()->parameterCount(), 36800u);
}

}  // namespace
}  // namespace pallix
