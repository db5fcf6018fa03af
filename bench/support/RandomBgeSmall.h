// A random-weight transformer of bge-small-en's shape (12 layers, 384 hidden,
// 12 heads, 1,536 intermediate, 30,522 tokens) for the benchmarks: the encoder
// does the real model's arithmetic without a downloaded model. The weights
// come from a fixed seed, so every run and every benchmark uses the same model.
#pragma once

#include <map>
#include <string>

#include "SimilaritySearchKit/TransformerEncoder.h"

namespace pallix::bench {

TransformerConfig bgeSmallShape();

// Normal(0, 0.02) weights for every tensor of `config`; layer-norm weights are centred on 1.
std::map<std::string, TensorData> randomWeights(const TransformerConfig& config);

// Writes config.json, model.safetensors and the bundled vocab.txt into `dir`
// (an installed-model folder).
void writeRandomBgeSmall(const std::string& dir);

}  // namespace pallix::bench
