#include "app/semantic/EmbeddingModelFactory.h"

#include "SimilaritySearchKitBGESmall/BGEM3Embeddings.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "core/FileUtil.h"

namespace pallix {
namespace {

// The BGE wrapper behind the batch interface.
class BGESmallProvider final : public BatchEmbeddingProvider {
 public:
  explicit BGESmallProvider(std::unique_ptr<BGESmallEmbeddings> model) : model_(std::move(model)) {}
  // One text is a query (or the probe): a handful of tokens, which one BLAS
  // thread embeds sooner than several that must synchronise, above all on a
  // busy machine. Batches use the compute units' threads.
  Result<std::vector<float>> encode(const std::string& text) override {
    const BertTokenizer& tokenizer = model_->tokenizer();
    ModelInputs row = tokenizer.buildModelInputs(tokenizer.buildModelTokens(text));
    TransformerEncoder::setBlasThreadCount(1);
    auto outputs = model_->model().encode({EncoderInput{std::move(row.inputIds), std::move(row.attentionMask)}});
    if (!outputs.ok()) return outputs.error();
    return std::move(outputs.value().front().embedding);
  }
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts) override {
    if (texts.empty()) return std::vector<std::vector<float>>{};
    return model_->encodeBatch(texts);
  }
  int dimension() const override { return model_->dimension(); }

 private:
  std::unique_ptr<BGESmallEmbeddings> model_;
};

// The multilingual wrapper behind the batch interface; one text (a query) on one thread.
class BGEM3Provider final : public BatchEmbeddingProvider {
 public:
  explicit BGEM3Provider(std::unique_ptr<BGEM3Embeddings> model) : model_(std::move(model)) {}
  Result<std::vector<float>> encode(const std::string& text) override { return model_->encodeQuery(text); }
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts) override {
    if (texts.empty()) return std::vector<std::vector<float>>{};
    return model_->encodeBatch(texts);
  }
  int dimension() const override { return model_->dimension(); }

 private:
  std::unique_ptr<BGEM3Embeddings> model_;
};

}  // namespace

Result<std::vector<std::vector<float>>> BatchEmbeddingProvider::encodeBatch(const std::vector<std::string>& texts) {
  std::vector<std::vector<float>> out;
  out.reserve(texts.size());
  for (const auto& text : texts) {
    PALLIX_ASSIGN_OR_RETURN(auto embedding, encode(text));
    out.push_back(std::move(embedding));
  }
  return out;
}

std::shared_ptr<DirectoryEmbeddingModelFactory> DirectoryEmbeddingModelFactory::installed(const DataDirectories& dirs) {
  return std::make_shared<DirectoryEmbeddingModelFactory>(BGESmallEmbeddings::installedModelDirectory(dirs));
}

bool DirectoryEmbeddingModelFactory::isInstalled() const {
  return fileExists(modelDirectory_ + "/config.json") && fileExists(modelDirectory_ + "/model.safetensors");
}

std::string DirectoryEmbeddingModelFactory::unavailableMessage() const {
  return "semantic search is unavailable: no embedding model is installed at " + modelDirectory_ +
         ". Install a bge-small-en model directory (config.json, model.safetensors, vocab.txt) with "
         "`pallix model install DIR`.";
}

Result<std::shared_ptr<BatchEmbeddingProvider>> DirectoryEmbeddingModelFactory::load(
    EmbeddingComputeUnits computeUnits) {
  auto model = BGESmallEmbeddings::createFromDirectory(computeUnits, modelDirectory_);
  if (!model.ok()) return model.error();
  return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<BGESmallProvider>(std::move(model).value()));
}

std::shared_ptr<MultilingualEmbeddingModelFactory> MultilingualEmbeddingModelFactory::installed(
    const DataDirectories& dirs) {
  return std::make_shared<MultilingualEmbeddingModelFactory>(BGEM3Embeddings::installedPackageDirectory(dirs));
}

bool MultilingualEmbeddingModelFactory::isInstalled() const {
  return fileExists(packageDirectory_ + "/config.json") && fileExists(packageDirectory_ + "/model.safetensors") &&
         fileExists(packageDirectory_ + "/" + BGEM3Embeddings::kTokenizerFile);
}

std::string MultilingualEmbeddingModelFactory::unavailableMessage() const {
  return "semantic search is unavailable: the selected model bge-m3 is not downloaded at " + packageDirectory_ +
         ". Download it with `pallix model download bge-m3`, or go back to the small model with "
         "`pallix model use bge-small`.";
}

Result<std::shared_ptr<BatchEmbeddingProvider>> MultilingualEmbeddingModelFactory::load(
    EmbeddingComputeUnits computeUnits) {
  auto model = BGEM3Embeddings::loadPackage(computeUnits, packageDirectory_);
  if (!model.ok()) return model.error();
  return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<BGEM3Provider>(std::move(model).value()));
}

std::shared_ptr<EmbeddingModelFactory> installedEmbeddingModelFactory(const DataDirectories& dirs,
                                                                      EmbeddingModel model) {
  if (model == EmbeddingModel::bgeM3) return MultilingualEmbeddingModelFactory::installed(dirs);
  return DirectoryEmbeddingModelFactory::installed(dirs);
}

}  // namespace pallix
