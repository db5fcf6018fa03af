#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"

#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("BGESmallEmbeddings");
  return log;
}

Error loadFailure(const std::string& description) {
  Error error("BGESmallEmbeddingsError", 1,
              "Failed to load BGE-Small model. Error: " + description +
                  ". Install a bge-small-en model directory (config.json, model.safetensors, vocab.txt) with "
                  "`pallix model install DIR`.");
  logger().error("%s", error.description().c_str());
  return error;
}

}  // namespace

std::string BGESmallEmbeddings::installedModelDirectory(const DataDirectories& dirs) {
  return dirs.modelsDirectory() + "/" + std::string(embeddingModelDirectoryName(EmbeddingModel::bgeSmall));
}

Result<std::unique_ptr<BGESmallEmbeddings>> BGESmallEmbeddings::create(EmbeddingComputeUnits computeUnits,
                                                                       const DataDirectories& dirs) {
  return createFromDirectory(computeUnits, installedModelDirectory(dirs));
}

Result<std::unique_ptr<BGESmallEmbeddings>> BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits computeUnits,
                                                                                    const std::string& modelDirectory) {
  auto model = loadDirectory(computeUnits, modelDirectory);
  if (!model.ok()) return loadFailure(model.error().description());
  return model;
}

Result<std::unique_ptr<BGESmallEmbeddings>> BGESmallEmbeddings::loadDirectory(EmbeddingComputeUnits computeUnits,
                                                                              const std::string& modelDirectory) {
  auto failure = [](const std::string& description) { return Error("BGESmallEmbeddingsError", 1, description); };
  if (!isDirectory(modelDirectory)) return failure("no model installed at " + inQuotes(modelDirectory));
  auto model = TransformerEncoder::loadDirectory(modelDirectory);
  if (!model.ok()) return failure(model.error().description());
  // A WordPiece vocabulary would run an XLM-RoBERTa model on the wrong identifiers.
  if (model.value()->config().robertaPositions()) {
    return failure("config.json describes an \"" + model.value()->config().modelType +
                   "\" model; this one needs a BERT model (model_type \"bert\")");
  }

  std::string vocabularyPath = modelDirectory + "/vocab.txt";
  if (!fileExists(vocabularyPath)) {
    auto bundled = bundledVocabularyPath();
    if (!bundled.ok()) return failure(bundled.error().description());
    vocabularyPath = bundled.value();
  }
  auto tokenizer = BertTokenizer::load(vocabularyPath);
  if (!tokenizer.ok()) return failure(tokenizer.error().description());
  if (tokenizer->vocabularySize() > static_cast<size_t>(model.value()->config().vocabSize)) {
    return failure("the vocabulary has " + std::to_string(tokenizer->vocabularySize()) + " tokens but the model only " +
                   std::to_string(model.value()->config().vocabSize));
  }
  if (model.value()->config().maxPositionEmbeddings < inputDimention) {
    return failure("the model takes " + std::to_string(model.value()->config().maxPositionEmbeddings) +
                   " positions, fewer than " + std::to_string(inputDimention));
  }
  tokenizer->maxLen = inputDimention;
  return std::unique_ptr<BGESmallEmbeddings>(
      new BGESmallEmbeddings(std::move(model).value(), std::move(tokenizer).value(), computeUnits));
}

BGESmallEmbeddings::BGESmallEmbeddings(std::unique_ptr<TransformerEncoder> model, BertTokenizer tokenizer,
                                       EmbeddingComputeUnits units)
    : outputDimention(model->config().hiddenSize),
      model_(std::move(model)),
      tokenizer_(std::move(tokenizer)),
      computeUnits_(units),
      threads_(threadCount(units)) {}

Result<std::vector<float>> BGESmallEmbeddings::encode(const std::string& sentence) {
  auto batch = encodeBatch({sentence});
  if (!batch.ok()) return batch.error();
  return std::move(batch.value().front());
}

Result<std::vector<std::vector<float>>> BGESmallEmbeddings::encodeBatch(const std::vector<std::string>& sentences) {
  std::vector<EncoderInput> inputs;
  inputs.reserve(sentences.size());
  for (const auto& sentence : sentences) {
    ModelInputs row = tokenizer_.buildModelInputs(tokenizer_.buildModelTokens(sentence));
    inputs.push_back({std::move(row.inputIds), std::move(row.attentionMask)});
  }
  // The BLAS thread count is process-wide; set it for every call in case
  // another model with other compute units ran in between.
  TransformerEncoder::setBlasThreadCount(threads_);
  auto outputs = model_->encode(inputs);
  if (!outputs.ok()) {
    logger().error("Prediction failed: %s", outputs.error().description().c_str());
    return outputs.error();
  }
  std::vector<std::vector<float>> embeddings;
  embeddings.reserve(outputs->size());
  for (auto& out : outputs.value()) embeddings.push_back(std::move(out.embedding));
  return embeddings;
}

}  // namespace pallix
