#include "bench/support/RandomBgeSmall.h"

#include <filesystem>
#include <random>
#include <vector>

#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "core/FileUtil.h"

namespace pallix::bench {

TransformerConfig bgeSmallShape() {
  TransformerConfig c;
  c.vocabSize = 30522;
  c.hiddenSize = 384;
  c.numHiddenLayers = 12;
  c.numAttentionHeads = 12;
  c.intermediateSize = 1536;
  c.maxPositionEmbeddings = 512;
  c.typeVocabSize = 2;
  return c;
}

std::map<std::string, TensorData> randomWeights(const TransformerConfig& c) {
  std::mt19937 rng(42);
  std::normal_distribution<float> normal(0.0f, 0.02f);
  std::map<std::string, TensorData> w;
  auto add = [&](const std::string& name, std::vector<int64_t> shape, float offset = 0.0f) {
    size_t n = 1;
    for (auto d : shape) n *= static_cast<size_t>(d);
    TensorData t{shape, std::vector<float>(n)};
    for (auto& v : t.values) v = offset + normal(rng);
    w[name] = std::move(t);
  };
  const int64_t H = c.hiddenSize, I = c.intermediateSize;
  add("embeddings.word_embeddings.weight", {c.vocabSize, H});
  add("embeddings.position_embeddings.weight", {c.maxPositionEmbeddings, H});
  add("embeddings.token_type_embeddings.weight", {c.typeVocabSize, H});
  add("embeddings.LayerNorm.weight", {H}, 1.0f);
  add("embeddings.LayerNorm.bias", {H});
  for (int l = 0; l < c.numHiddenLayers; ++l) {
    const std::string p = "encoder.layer." + std::to_string(l) + ".";
    for (const char* part : {"query", "key", "value"}) {
      add(p + "attention.self." + part + ".weight", {H, H});
      add(p + "attention.self." + part + ".bias", {H});
    }
    add(p + "attention.output.dense.weight", {H, H});
    add(p + "attention.output.dense.bias", {H});
    add(p + "attention.output.LayerNorm.weight", {H}, 1.0f);
    add(p + "attention.output.LayerNorm.bias", {H});
    add(p + "intermediate.dense.weight", {I, H});
    add(p + "intermediate.dense.bias", {I});
    add(p + "output.dense.weight", {H, I});
    add(p + "output.dense.bias", {H});
    add(p + "output.LayerNorm.weight", {H}, 1.0f);
    add(p + "output.LayerNorm.bias", {H});
  }
  return w;
}

void writeRandomBgeSmall(const std::string& dir) {
  const TransformerConfig config = bgeSmallShape();
  std::filesystem::create_directories(dir);
  (void)writeFileAtomically(dir + "/config.json", config.toJson());
  (void)writeFileAtomically(dir + "/model.safetensors", SafetensorsFile::serialize(randomWeights(config)));
  std::filesystem::copy_file(bundledVocabularyPath().value(), dir + "/vocab.txt",
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace pallix::bench
