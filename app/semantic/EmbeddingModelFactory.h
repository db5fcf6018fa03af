// EmbeddingModelFactory: where the embedding stores get their model.
//
// The stores load a model only when they are about to embed or search, and
// drop it when they unload; the factory is injected so the application and
// `pallix semantic` load the selected model (IntelligencePreferences.
// selectedModel: the installed bge-small, or the downloaded bge-m3) while
// tests load the tiny random-weight model of tests/data/embeddings. A factory
// is shared by the two stores and may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "SimilaritySearchKit/EmbeddingProvider.h"
#include "app/platform/DataDirectories.h"
#include "core/Error.h"

namespace pallix {

// An embedding model that can also embed several texts in one batch (the
// encoder shares its matrix products across a batch). Used by one caller at
// a time.
class BatchEmbeddingProvider : public EmbeddingProvider {
 public:
  // One embedding per text, in order; the default embeds them one by one.
  virtual Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts);
};

// Which model embeds: its output dimension and a digest of its
// configuration, vocabulary and weights. Two models with the same identity
// place texts at the same points, so an index built by one serves the other.
struct ModelIdentity {
  int dimension = 0;
  std::string digest;  // lower-case hex SHA-256
  friend bool operator==(const ModelIdentity&, const ModelIdentity&) = default;
  // "dimension 384, digest 0123abcd..." (the digest's first 12 digits).
  std::string describe() const;
};

class EmbeddingModelFactory {
 public:
  virtual ~EmbeddingModelFactory() = default;
  // A cheap check that a model is there to load (no weights are read).
  virtual bool isInstalled() const = 0;
  // What to tell the user when it is not.
  virtual std::string unavailableMessage() const = 0;
  virtual Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits computeUnits) = 0;
  // The identity of the model load() would return, computed without loading
  // it; nullopt when the factory cannot tell (the stores then trust their
  // files). Errors: the model's files cannot be read.
  virtual Result<std::optional<ModelIdentity>> identity() const { return std::optional<ModelIdentity>(); }
};

// Loads a model directory (config.json, model.safetensors, vocab.txt) with
// BGESmallEmbeddings: the installed bge-small model or any test model. Its
// encodeBatch runs on the compute units' threads; a single encode (a query)
// on one thread.
class DirectoryEmbeddingModelFactory final : public EmbeddingModelFactory {
 public:
  explicit DirectoryEmbeddingModelFactory(std::string modelDirectory) : modelDirectory_(std::move(modelDirectory)) {}
  // The installed small model, DataDirectories::modelsDirectory()/bge_small_en.
  static std::shared_ptr<DirectoryEmbeddingModelFactory> installed(const DataDirectories& dirs);

  const std::string& modelDirectory() const { return modelDirectory_; }
  bool isInstalled() const override;
  std::string unavailableMessage() const override;
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits computeUnits) override;
  // The dimension from config.json; the digest over config.json, vocab.txt,
  // the weights' size and safetensors header, and 64 KB samples spread over
  // the weights (reading a few hundred KB, not the whole file).
  Result<std::optional<ModelIdentity>> identity() const override;

 private:
  std::string modelDirectory_;
};

// Loads the downloaded multilingual package (config.json, model.safetensors,
// sentencepiece.bpe.model) with BGEM3Embeddings. Its encodeBatch runs on the
// compute units' threads; a single encode (a query) on one thread.
class MultilingualEmbeddingModelFactory final : public EmbeddingModelFactory {
 public:
  explicit MultilingualEmbeddingModelFactory(std::string packageDirectory)
      : packageDirectory_(std::move(packageDirectory)) {}
  // The downloaded bge-m3, DataDirectories::modelsDirectory()/bge_m3.mlpackage.
  static std::shared_ptr<MultilingualEmbeddingModelFactory> installed(const DataDirectories& dirs);

  const std::string& packageDirectory() const { return packageDirectory_; }
  bool isInstalled() const override;
  std::string unavailableMessage() const override;
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits computeUnits) override;
  Result<std::optional<ModelIdentity>> identity() const override;

 private:
  std::string packageDirectory_;
};

// The factory of `model` as installed under the models directory.
std::shared_ptr<EmbeddingModelFactory> installedEmbeddingModelFactory(const DataDirectories& dirs,
                                                                      EmbeddingModel model);

}  // namespace pallix
