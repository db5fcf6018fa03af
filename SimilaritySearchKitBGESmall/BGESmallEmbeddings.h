// BGESmallEmbeddings: the small sentence-embedding model (bge-small-en).
//
// Tokenizes with BertTokenizer into the fixed 512-position row and runs the
// CPU transformer encoder over it; the result is the L2-normalised [CLS]
// vector (384 values for bge-small). The model is the directory
// "bge_small_en" under the models directory, installed with
// `pallix model install DIR`; construction fails with an error that says so
// when it is missing or unreadable, and callers then report semantic search as
// unavailable. Used by one caller at a time (the embedding coordinator hands
// it out); it holds the weights (~130 MB for bge-small) until destroyed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "SimilaritySearchKit/EmbeddingModel.h"
#include "SimilaritySearchKit/EmbeddingProvider.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "app/platform/DataDirectories.h"
#include "core/Error.h"

namespace pallix {

class BGESmallEmbeddings final : public EmbeddingProvider {
 public:
  static constexpr int inputDimention = 512;

  // Loads the installed model from dirs.modelsDirectory()/bge_small_en.
  static Result<std::unique_ptr<BGESmallEmbeddings>> create(EmbeddingComputeUnits computeUnits,
                                                            const DataDirectories& dirs);
  // Loads a model directory ("config.json", "model.safetensors", and "vocab.txt"
  // or else the bundled vocabulary).
  static Result<std::unique_ptr<BGESmallEmbeddings>> createFromDirectory(EmbeddingComputeUnits computeUnits,
                                                                         const std::string& modelDirectory);
  // The same without the logged failure and install hint: the bare reason (installer checks).
  static Result<std::unique_ptr<BGESmallEmbeddings>> loadDirectory(EmbeddingComputeUnits computeUnits,
                                                                   const std::string& modelDirectory);
  // The directory create() loads from.
  static std::string installedModelDirectory(const DataDirectories& dirs);

  // The embedding of `sentence` (truncated to 510 tokens with a logged notice).
  Result<std::vector<float>> encode(const std::string& sentence) override;
  // Several sentences in one batch (cheaper per sentence than one by one).
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& sentences);
  int dimension() const override { return outputDimention; }

  EmbeddingComputeUnits computeUnits() const { return computeUnits_; }
  int threads() const { return threads_; }
  const BertTokenizer& tokenizer() const { return tokenizer_; }
  const TransformerEncoder& model() const { return *model_; }

  const int outputDimention;

 private:
  BGESmallEmbeddings(std::unique_ptr<TransformerEncoder> model, BertTokenizer tokenizer, EmbeddingComputeUnits units);

  std::unique_ptr<TransformerEncoder> model_;
  BertTokenizer tokenizer_;
  EmbeddingComputeUnits computeUnits_;
  int threads_;
};

}  // namespace pallix
