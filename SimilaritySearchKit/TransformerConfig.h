// TransformerConfig: the shape of a BERT-family encoder, read from the
// "config.json" of a model directory (Hugging Face layout). "bert" models
// number positions from 0; "xlm-roberta" (and "roberta") ones from
// pad_token_id + 1, counting only unpadded tokens, with padding at position
// pad_token_id. The pooling comes from the sentence-transformers file
// "1_Pooling/config.json" beside it when there is one (loadDirectory), else
// the first token.
#pragma once

#include <string>

#include "core/Error.h"

namespace pallix {

struct TransformerConfig {
  std::string modelType = "bert";
  int vocabSize = 0;
  int hiddenSize = 0;
  int numHiddenLayers = 0;
  int numAttentionHeads = 0;
  int intermediateSize = 0;
  int maxPositionEmbeddings = 512;
  int typeVocabSize = 2;
  float layerNormEps = 1e-12f;
  std::string hiddenAct = "gelu";
  int padTokenId = 0;
  enum class Pooling { cls, mean };
  Pooling pooling = Pooling::cls;

  bool robertaPositions() const { return modelType != "bert"; }

  int headSize() const { return numAttentionHeads > 0 ? hiddenSize / numAttentionHeads : 0; }

  // Parses and validates config.json text: every size positive, the hidden size
  // a multiple of the head count, an erf GELU activation, a BERT-family model type.
  static Result<TransformerConfig> fromJson(const std::string& text);
  static Result<TransformerConfig> load(const std::string& path);
  // config.json of `directory`, with the pooling of its "1_Pooling/config.json".
  static Result<TransformerConfig> loadDirectory(const std::string& directory);
  std::string toJson() const;
};

}  // namespace pallix
