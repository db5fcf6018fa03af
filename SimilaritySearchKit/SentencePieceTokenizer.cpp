#include "SimilaritySearchKit/SentencePieceTokenizer.h"

#include <sentencepiece_processor.h>

#include "core/Logger.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "SentencePieceTokenizerError";

const Logger& logger() {
  static const Logger instance("SentencePieceTokenizer");
  return instance;
}

}  // namespace

SentencePieceTokenizer::SentencePieceTokenizer()
    : processor_(std::make_unique<sentencepiece::SentencePieceProcessor>()) {}

SentencePieceTokenizer::~SentencePieceTokenizer() = default;

Result<std::unique_ptr<SentencePieceTokenizer>> SentencePieceTokenizer::load(const std::string& modelPath) {
  std::unique_ptr<SentencePieceTokenizer> tokenizer(new SentencePieceTokenizer());
  const auto status = tokenizer->processor_->Load(modelPath);
  if (!status.ok()) {
    return Error(kDomain, 1, "cannot load the SentencePiece model " + modelPath + ": " + status.ToString());
  }
  return tokenizer;
}

Result<std::vector<int>> SentencePieceTokenizer::encodeAsPieceIds(const std::string& text) const {
  std::vector<int> ids;
  const auto status = processor_->Encode(text, &ids);
  if (!status.ok()) return Error(kDomain, 2, "cannot tokenize the text: " + status.ToString());
  return ids;
}

Result<std::vector<std::string>> SentencePieceTokenizer::encodeAsPieces(const std::string& text) const {
  std::vector<std::string> pieces;
  const auto status = processor_->Encode(text, &pieces);
  if (!status.ok()) return Error(kDomain, 2, "cannot tokenize the text: " + status.ToString());
  return pieces;
}

int32_t SentencePieceTokenizer::modelId(int pieceId, int unknownPieceId) {
  return pieceId == unknownPieceId ? kUnkId : pieceId + 1;
}

Result<ModelInputs> SentencePieceTokenizer::buildModelInputs(const std::string& text, int maxLength) const {
  PALLIX_ASSIGN_OR_RETURN(std::vector<int> pieces, encodeAsPieceIds(text));
  const size_t limit = static_cast<size_t>(maxLength > 2 ? maxLength - 2 : 0);
  if (pieces.size() > limit) {
    logger().info("Input sentence is too long %zu > %d, truncating.", pieces.size() + 2, maxLength);
    pieces.resize(limit);
  }
  ModelInputs row;
  row.inputIds.reserve(pieces.size() + 2);
  row.inputIds.push_back(kBosId);
  const int unknown = processor_->unk_id();
  for (int piece : pieces) row.inputIds.push_back(modelId(piece, unknown));
  row.inputIds.push_back(kEosId);
  row.attentionMask.assign(row.inputIds.size(), 1);
  return row;
}

int SentencePieceTokenizer::vocabularySize() const {
  return processor_->GetPieceSize() + 2;
}

}  // namespace pallix
