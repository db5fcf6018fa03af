// Shared helpers of the router tests: a temporary directory, the test data
// and resource folders, and a tiny random classifier package written on the fly.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "SimilaritySearchKit/TransformerSafetensors.h"
#include "tests/support/TempDir.h"

namespace pallix::router::testing {

using pallix::testing::TempDir;

// PALLIX_TEST_DATA / PALLIX_RESOURCES when set, else the source tree's folders
// (when a test binary runs outside ctest).
inline std::string testDataPath(const std::string& relative) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root && *root ? root : PALLIX_ROUTER_SOURCE_ROOT "/tests/data") + "/router/" + relative;
}

inline std::string routerResourcesPath() {
  const char* root = std::getenv("PALLIX_RESOURCES");
  return std::string(root && *root ? root : PALLIX_ROUTER_SOURCE_ROOT "/resources") + "/router";
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A vocabulary with the specials and a few words for the tiny model.
inline std::string tinyVocabulary() {
  return "[PAD]\n[UNK]\n[CLS]\n[SEP]\nweather\nmap\nfile\n##s\na\nb\n";
}

inline TransformerConfig tinyConfig() {
  TransformerConfig c;
  c.vocabSize = 10;
  c.hiddenSize = 8;
  c.numHiddenLayers = 1;
  c.numAttentionHeads = 2;
  c.intermediateSize = 16;
  c.maxPositionEmbeddings = 16;
  c.typeVocabSize = 1;
  return c;
}

// The tensors of a random BERT encoder of `config` plus a six-way head.
inline std::map<std::string, TensorData> tinyTensors(const TransformerConfig& c, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 0.2f);
  std::map<std::string, TensorData> t;
  auto put = [&](const std::string& name, std::vector<int64_t> shape, float fixed = NAN) {
    size_t n = 1;
    for (auto d : shape) n *= static_cast<size_t>(d);
    TensorData data{shape, std::vector<float>(n)};
    for (auto& v : data.values) v = std::isnan(fixed) ? normal(rng) : fixed;
    t[name] = std::move(data);
  };
  const int64_t H = c.hiddenSize, I = c.intermediateSize;
  put("embeddings.word_embeddings.weight", {c.vocabSize, H});
  put("embeddings.position_embeddings.weight", {c.maxPositionEmbeddings, H});
  put("embeddings.token_type_embeddings.weight", {c.typeVocabSize, H});
  put("embeddings.LayerNorm.weight", {H}, 1.0f);
  put("embeddings.LayerNorm.bias", {H}, 0.0f);
  for (int i = 0; i < c.numHiddenLayers; ++i) {
    const std::string p = "encoder.layer." + std::to_string(i) + ".";
    for (const char* m : {"query", "key", "value"}) {
      put(p + "attention.self." + m + ".weight", {H, H});
      put(p + "attention.self." + m + ".bias", {H});
    }
    put(p + "attention.output.dense.weight", {H, H});
    put(p + "attention.output.dense.bias", {H});
    put(p + "attention.output.LayerNorm.weight", {H}, 1.0f);
    put(p + "attention.output.LayerNorm.bias", {H}, 0.0f);
    put(p + "intermediate.dense.weight", {I, H});
    put(p + "intermediate.dense.bias", {I});
    put(p + "output.dense.weight", {H, I});
    put(p + "output.dense.bias", {H});
    put(p + "output.LayerNorm.weight", {H}, 1.0f);
    put(p + "output.LayerNorm.bias", {H}, 0.0f);
  }
  put("classifier.weight", {6, H});
  put("classifier.bias", {6});
  return t;
}

// Writes a bundle: "PallixRouter.pallixpackage", "vocab.txt", "calibration.json".
inline void writeTinyBundle(const TempDir& dir, const std::string& bundle, unsigned seed = 7) {
  const TransformerConfig c = tinyConfig();
  dir.write(bundle + "/PallixRouter.pallixpackage/config.json", c.toJson());
  dir.write(bundle + "/PallixRouter.pallixpackage/model.safetensors",
            SafetensorsFile::serialize(tinyTensors(c, seed), TensorDType::f32));
  dir.write(bundle + "/vocab.txt", tinyVocabulary());
  dir.write(bundle + "/calibration.json",
            R"({"labels":["maps","weather","dictionary","knowledge","messages","files"],"temps":{},)"
            R"("thresholds":{},"gray_band":[0.4,0.6]})");
}

}  // namespace pallix::router::testing
