// BGEM3Embeddings: the large multilingual sentence-embedding model (bge-m3,
// an XLM-RoBERTa encoder, 1024 dimensions).
//
// Its package "bge_m3.mlpackage" under the models directory is what the
// model download unpacks: config.json, sentencepiece.bpe.model,
// model.safetensors and, optionally, the sentence-transformers pooling file
// 1_Pooling/config.json (bge-m3 pools the first token). Texts are cut to 512
// tokens; rows are not padded. Loading fails with an error that says what is
// missing, and callers then report semantic search as unavailable. Used by
// one caller at a time; it holds the weights (~2.2 GB in F32 for bge-m3)
// until destroyed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "SimilaritySearchKit/EmbeddingProvider.h"
#include "SimilaritySearchKit/SentencePieceTokenizer.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "app/platform/DataDirectories.h"
#include "core/Error.h"

namespace pallix {

class BGEM3Embeddings final : public EmbeddingProvider {
 public:
  static constexpr int kMaxTokens = 512;
  static constexpr const char* kTokenizerFile = "sentencepiece.bpe.model";

  // The package the download installs: dirs.modelsDirectory()/bge_m3.mlpackage.
  static std::string installedPackageDirectory(const DataDirectories& dirs);
  static Result<std::unique_ptr<BGEM3Embeddings>> loadPackage(EmbeddingComputeUnits computeUnits,
                                                              const std::string& packageDirectory);

  Result<std::vector<float>> encode(const std::string& text) override;
  // Several texts in one batch (cheaper per text than one by one), on the
  // compute units' BLAS threads.
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts);
  // One text on one BLAS thread (a query: a few tokens).
  Result<std::vector<float>> encodeQuery(const std::string& text);
  int dimension() const override { return model_->config().hiddenSize; }

  const SentencePieceTokenizer& tokenizer() const { return *tokenizer_; }
  const TransformerEncoder& model() const { return *model_; }

 private:
  BGEM3Embeddings(std::unique_ptr<TransformerEncoder> model, std::unique_ptr<SentencePieceTokenizer> tokenizer,
                  EmbeddingComputeUnits units);
  Result<std::vector<std::vector<float>>> run(const std::vector<std::string>& texts, int threads);

  std::unique_ptr<TransformerEncoder> model_;
  std::unique_ptr<SentencePieceTokenizer> tokenizer_;
  int threads_;
};

}  // namespace pallix
