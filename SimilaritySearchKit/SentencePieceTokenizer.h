// SentencePieceTokenizer: the tokenizer of XLM-RoBERTa models (the
// multilingual bge-m3), over the SentencePiece library and the model file
// "sentencepiece.bpe.model" of the model's package.
//
// Identifiers follow the fairseq numbering the model was trained with, not
// the SentencePiece file's own: <s> 0, <pad> 1, </s> 2, <unk> 3, and every
// other piece its SentencePiece identifier plus one. A model row is
// <s> pieces </s>, at most `maxLength` identifiers (longer texts are cut with
// a logged notice), with no padding: the encoder takes rows of any length.
//
// Immutable after loading; may be used from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "core/Error.h"

namespace sentencepiece {
class SentencePieceProcessor;
}

namespace pallix {

class SentencePieceTokenizer {
 public:
  static constexpr int32_t kBosId = 0;
  static constexpr int32_t kPadId = 1;
  static constexpr int32_t kEosId = 2;
  static constexpr int32_t kUnkId = 3;
  static constexpr int kDefaultMaxLength = 512;

  static Result<std::unique_ptr<SentencePieceTokenizer>> load(const std::string& modelPath);
  ~SentencePieceTokenizer();
  SentencePieceTokenizer(const SentencePieceTokenizer&) = delete;
  SentencePieceTokenizer& operator=(const SentencePieceTokenizer&) = delete;

  // The SentencePiece file's own identifiers and pieces of `text`.
  Result<std::vector<int>> encodeAsPieceIds(const std::string& text) const;
  Result<std::vector<std::string>> encodeAsPieces(const std::string& text) const;
  // The model's identifier of a SentencePiece identifier (see above).
  static int32_t modelId(int pieceId, int unknownPieceId);
  // <s> identifiers </s> and a mask of ones, at most `maxLength` long.
  Result<ModelInputs> buildModelInputs(const std::string& text, int maxLength = kDefaultMaxLength) const;
  // Identifiers the rows may hold: the pieces, the fairseq offset and <mask>.
  int vocabularySize() const;

 private:
  SentencePieceTokenizer();
  std::unique_ptr<sentencepiece::SentencePieceProcessor> processor_;
};

}  // namespace pallix
