#include "SimilaritySearchKitBGESmall/BGEM3Embeddings.h"

#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "BGEM3EmbeddingsError";

const Logger& logger() {
  static const Logger log("BGEM3Embeddings");
  return log;
}

}  // namespace

std::string BGEM3Embeddings::installedPackageDirectory(const DataDirectories& dirs) {
  return dirs.modelsDirectory() + "/" + std::string(embeddingModelPackageFile(EmbeddingModel::bgeM3));
}

Result<std::unique_ptr<BGEM3Embeddings>> BGEM3Embeddings::loadPackage(EmbeddingComputeUnits computeUnits,
                                                                      const std::string& packageDirectory) {
  auto failure = [](const std::string& description) {
    return Error(kDomain, 1, "Failed to load the bge-m3 model. Error: " + description);
  };
  if (!isDirectory(packageDirectory)) {
    return failure("no model at " + inQuotes(packageDirectory) + "; download it with `pallix model download bge-m3`");
  }
  auto model = TransformerEncoder::loadDirectory(packageDirectory);
  if (!model.ok()) return failure(model.error().description());
  const TransformerConfig& config = model.value()->config();
  if (!config.robertaPositions()) return failure("config.json describes a \"" + config.modelType + "\" model");
  if (config.padTokenId != SentencePieceTokenizer::kPadId) {
    return failure("pad_token_id is " + std::to_string(config.padTokenId) + ", not " +
                   std::to_string(SentencePieceTokenizer::kPadId));
  }
  auto tokenizer = SentencePieceTokenizer::load(packageDirectory + "/" + kTokenizerFile);
  if (!tokenizer.ok()) return failure(tokenizer.error().description());
  if (tokenizer.value()->vocabularySize() > config.vocabSize) {
    return failure("the tokenizer has " + std::to_string(tokenizer.value()->vocabularySize()) +
                   " identifiers but the model only " + std::to_string(config.vocabSize));
  }
  if (config.maxPositionEmbeddings < kMaxTokens + config.padTokenId + 1) {
    return failure("the model takes " + std::to_string(config.maxPositionEmbeddings - config.padTokenId - 1) +
                   " positions, fewer than " + std::to_string(kMaxTokens));
  }
  return std::unique_ptr<BGEM3Embeddings>(
      new BGEM3Embeddings(std::move(model).value(), std::move(tokenizer).value(), computeUnits));
}

BGEM3Embeddings::BGEM3Embeddings(std::unique_ptr<TransformerEncoder> model,
                                 std::unique_ptr<SentencePieceTokenizer> tokenizer, EmbeddingComputeUnits units)
    : model_(std::move(model)), tokenizer_(std::move(tokenizer)), threads_(threadCount(units)) {}

Result<std::vector<float>> BGEM3Embeddings::encode(const std::string& text) {
  PALLIX_ASSIGN_OR_RETURN(auto batch, run({text}, threads_));
  return std::move(batch.front());
}

Result<std::vector<float>> BGEM3Embeddings::encodeQuery(const std::string& text) {
  PALLIX_ASSIGN_OR_RETURN(auto batch, run({text}, 1));
  return std::move(batch.front());
}

Result<std::vector<std::vector<float>>> BGEM3Embeddings::encodeBatch(const std::vector<std::string>& texts) {
  return run(texts, threads_);
}

Result<std::vector<std::vector<float>>> BGEM3Embeddings::run(const std::vector<std::string>& texts, int threads) {
  std::vector<EncoderInput> inputs;
  inputs.reserve(texts.size());
  for (const auto& text : texts) {
    PALLIX_ASSIGN_OR_RETURN(ModelInputs row, tokenizer_->buildModelInputs(text, kMaxTokens));
    inputs.push_back({std::move(row.inputIds), std::move(row.attentionMask)});
  }
  // The BLAS thread count is process-wide; set it for every call in case
  // another model with other compute units ran in between.
  TransformerEncoder::setBlasThreadCount(threads);
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
