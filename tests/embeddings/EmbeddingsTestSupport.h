// Shared helpers of the embedding tests: test data locations, temporary
// directories, golden cases and a random tiny-model writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "SimilaritySearchKit/TransformerSafetensors.h"
#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

inline std::string testDataDir() {
  const char* dir = std::getenv("PALLIX_TEST_DATA");
  return std::string(dir ? dir : "tests/data") + "/embeddings";
}

// PALLIX_RESOURCES, else resources/ beside the test data folder (CTest may set only PALLIX_TEST_DATA).
inline std::string resourcesDir() {
  const char* dir = std::getenv("PALLIX_RESOURCES");
  if (dir && *dir) return dir;
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return data ? std::string(data) + "/../../resources" : "resources";
}

inline std::string tinyModelDir() {
  return testDataDir() + "/tiny_bert";
}

struct GoldenCase {
  std::string name;
  std::vector<int32_t> inputIds;  // [CLS] ... [SEP], unpadded.
  int paddedLength = 0;
  std::vector<float> embedding;
  std::vector<float> hiddenStates;  // Empty unless recorded.
  std::string text;
};

inline std::vector<GoldenCase> loadGoldenCases() {
  auto text = readFileToString(testDataDir() + "/tiny_bert_golden.json");
  EXPECT_TRUE(text.ok());
  if (!text.ok()) return {};
  auto j = nlohmann::json::parse(text.value());
  std::vector<GoldenCase> cases;
  for (const auto& c : j["cases"]) {
    GoldenCase g;
    g.name = c["name"];
    g.inputIds = c["input_ids"].get<std::vector<int32_t>>();
    g.paddedLength = c["padded_length"];
    g.embedding = c["embedding"].get<std::vector<float>>();
    if (c.contains("hidden_states")) g.hiddenStates = c["hidden_states"].get<std::vector<float>>();
    if (c.contains("text")) g.text = c["text"];
    cases.push_back(std::move(g));
  }
  return cases;
}

// The ids padded with zeros to `length`, and the matching mask.
inline std::pair<std::vector<int32_t>, std::vector<int32_t>> padded(const std::vector<int32_t>& ids, int length) {
  std::vector<int32_t> row(ids);
  std::vector<int32_t> mask(ids.size(), 1);
  row.resize(static_cast<size_t>(length), 0);
  mask.resize(static_cast<size_t>(length), 0);
  return {row, mask};
}

// Random BERT weights of the given shape (names as in Hugging Face BertModel).
inline std::map<std::string, TensorData> randomBertWeights(const TransformerConfig& c, uint32_t seed,
                                                           float scale = 0.2f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::map<std::string, TensorData> w;
  auto add = [&](const std::string& name, std::vector<int64_t> shape, float s, float offset = 0.0f) {
    size_t n = 1;
    for (auto d : shape) n *= static_cast<size_t>(d);
    TensorData t{shape, std::vector<float>(n)};
    for (auto& v : t.values) v = offset + s * normal(rng);
    w[name] = std::move(t);
  };
  const int64_t H = c.hiddenSize, I = c.intermediateSize;
  add("embeddings.word_embeddings.weight", {c.vocabSize, H}, 0.5f);
  add("embeddings.position_embeddings.weight", {c.maxPositionEmbeddings, H}, 0.3f);
  add("embeddings.token_type_embeddings.weight", {c.typeVocabSize, H}, 0.3f);
  add("embeddings.LayerNorm.weight", {H}, 0.1f, 1.0f);
  add("embeddings.LayerNorm.bias", {H}, 0.1f);
  for (int l = 0; l < c.numHiddenLayers; ++l) {
    const std::string p = "encoder.layer." + std::to_string(l) + ".";
    // Dense layers [out, in] with a bias; LayerNorms (in = 0) with weights near 1.
    const std::tuple<const char*, int64_t, int64_t> layers[] = {{"attention.self.query", H, H},
                                                                {"attention.self.key", H, H},
                                                                {"attention.self.value", H, H},
                                                                {"attention.output.dense", H, H},
                                                                {"attention.output.LayerNorm", H, 0},
                                                                {"intermediate.dense", I, H},
                                                                {"output.dense", H, I},
                                                                {"output.LayerNorm", H, 0}};
    for (const auto& [part, out, in] : layers) {
      in ? add(p + part + ".weight", {out, in}, scale) : add(p + part + ".weight", {out}, 0.1f, 1.0f);
      add(p + part + ".bias", {out}, 0.1f);
    }
  }
  return w;
}

inline TransformerConfig smallConfig(int vocab = 64, int hidden = 16, int layers = 2, int heads = 2, int inter = 32,
                                     int positions = 128) {
  TransformerConfig c;
  c.vocabSize = vocab;
  c.hiddenSize = hidden;
  c.numHiddenLayers = layers;
  c.numAttentionHeads = heads;
  c.intermediateSize = inter;
  c.maxPositionEmbeddings = positions;
  return c;
}

// A model directory with `config`, random weights and the tiny model's vocabulary.
inline void writeRandomModel(const std::string& dir, const TransformerConfig& config, uint32_t seed) {
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(writeFileAtomically(dir + "/config.json", config.toJson()).ok());
  ASSERT_TRUE(
      writeFileAtomically(dir + "/model.safetensors", SafetensorsFile::serialize(randomBertWeights(config, seed)))
          .ok());
  std::filesystem::copy_file(tinyModelDir() + "/vocab.txt", dir + "/vocab.txt");
}

inline float maxAbsDifference(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  float worst = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

}  // namespace pallix::testing
