// TransformerEncoder: a CPU runtime for BERT-family sentence encoders.
//
// Loads a model directory in the usual layout ("config.json" and
// "model.safetensors"; the directory's "vocab.txt" belongs to the tokenizer),
// checks every tensor's shape against the config, and runs the forward pass:
// word + position + token-type embeddings and layer norm, then per layer fused
// QKV projection, masked multi-head self-attention, output projection with
// residual and post-layer-norm, erf-GELU feed-forward with residual and
// post-layer-norm. The result is the final first-token ([CLS], <s>) vector
// or the mean over the unpadded tokens, as the config's pooling says,
// L2-normalised. XLM-RoBERTa models (config.h) differ only in their position
// numbering and their "roberta." weight prefix. Matrix products go through
// the system BLAS (Blas.h).
//
// Padding: only positions whose mask is 1 are computed (`computeAll` false);
// masked positions contribute nothing to attention, so this gives the same
// numbers as running every padded position (`computeAll` true), at a fraction
// of the cost. Several sequences can be encoded in one batch, sharing the
// matrix products.
//
// Immutable after loading; `encode` may be called from several threads, but
// BLAS thread counts are process-wide (see setBlasThreadCount).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "SimilaritySearchKit/TransformerSafetensors.h"
#include "core/Error.h"

namespace pallix {

struct EncoderInput {
  std::vector<int32_t> inputIds;
  std::vector<int32_t> attentionMask;  // Same length; 1 for real tokens, 0 for padding.
};

struct EncodeOptions {
  // Compute every position, padding included (the reference behaviour; slower).
  bool computeAll = false;
  // Also return the last layer's hidden state of every computed position (tests).
  bool keepHiddenStates = false;
};

struct EncoderOutput {
  std::vector<float> embedding;  // L2-normalised pooled vector, hiddenSize values.
  // Row-major [positions, hiddenSize] when keepHiddenStates; rows follow the
  // input positions (with computeAll) or the unmasked positions in order.
  std::vector<float> hiddenStates;
};

class TransformerEncoder {
 public:
  // config.json (with 1_Pooling/config.json) and model.safetensors of `directory`.
  static Result<std::unique_ptr<TransformerEncoder>> loadDirectory(const std::string& directory);
  static Result<std::unique_ptr<TransformerEncoder>> fromParts(const TransformerConfig& config,
                                                               const SafetensorsFile& weights);

  const TransformerConfig& config() const { return config_; }
  size_t parameterCount() const;

  // Encodes every input in one batch. Inputs must have equal id and mask
  // lengths, at most maxPositionEmbeddings positions, identifiers within the
  // vocabulary and an unmasked first ([CLS]) position.
  Result<std::vector<EncoderOutput>> encode(const std::vector<EncoderInput>& inputs,
                                            const EncodeOptions& options = {}) const;

  // Sets OpenBLAS's thread count (process-wide). Returns false when the linked
  // BLAS is not OpenBLAS (then it has no effect).
  static bool setBlasThreadCount(int threads);

 private:
  struct Layer {
    std::vector<float> qkvWeight;  // [3H, H]: query, key, value rows stacked.
    std::vector<float> qkvBias;    // [3H]
    std::vector<float> attentionOutWeight, attentionOutBias;
    std::vector<float> attentionNormWeight, attentionNormBias;
    std::vector<float> intermediateWeight, intermediateBias;  // [I, H], [I]
    std::vector<float> outputWeight, outputBias;              // [H, I], [H]
    std::vector<float> outputNormWeight, outputNormBias;
  };
  struct Sequence;

  explicit TransformerEncoder(TransformerConfig config) : config_(std::move(config)) {}
  void runLayer(const Layer& layer, const std::vector<Sequence>& sequences, bool queryAll, std::vector<float>& x) const;

  TransformerConfig config_;
  std::vector<float> wordEmbeddings_, positionEmbeddings_, tokenTypeEmbeddings_;
  std::vector<float> embeddingNormWeight_, embeddingNormBias_;
  std::vector<Layer> layers_;
};

}  // namespace pallix
