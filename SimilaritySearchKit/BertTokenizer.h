// BertTokenizer: the uncased BERT WordPiece tokenizer that turns text into the
// fixed 512-position identifier row the embedding models take.
//
// BasicTokenizer folds diacritics, splits at whitespace, lower-cases and splits
// off every character that is neither a letter, a mark nor a number;
// WordpieceTokenizer cuts each basic token into the longest vocabulary pieces.
// A tokenizer is immutable after loading and may be shared between threads.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/Error.h"

namespace pallix {

using Vocabulary = std::unordered_map<std::string, int>;

class BasicTokenizer {
 public:
  // Bracketed special tokens passed through unchanged.
  std::set<std::string> neverSplit{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};

  std::vector<std::string> tokenize(const std::string& text) const;
};

class WordpieceTokenizer {
 public:
  explicit WordpieceTokenizer(const Vocabulary* vocab) : vocab(vocab) {}

  std::string unkToken = "[UNK]";
  int maxInputCharsPerWord = 100;
  const Vocabulary* vocab;  // Owned by the BertTokenizer.

  // Pieces of one basic token: the longest vocabulary prefix first, then
  // "##"-prefixed continuations; a word with no match somewhere, or longer
  // than maxInputCharsPerWord characters, is the single token unkToken.
  std::vector<std::string> tokenize(const std::string& word) const;
};

// Identifier and mask rows for the network, each of shape 1 × n.
struct ModelInputs {
  std::vector<int32_t> inputIds;
  std::vector<int32_t> attentionMask;  // 1 where the identifier is non-zero.
  std::vector<int32_t> tokenTypeIds;   // Only from buildModelInputsWithTypeIds; all 0.
};

class BertTokenizer {
 public:
  static constexpr int kDefaultMaxLen = 512;

  // Reads a vocabulary file: one token per line, identifier = zero-based line number.
  static Result<BertTokenizer> load(const std::string& vocabularyPath);
  // Builds from the text of such a file (tests, embedded resources).
  static Result<BertTokenizer> fromVocabularyText(const std::string& text);

  BertTokenizer(const BertTokenizer& other);
  BertTokenizer& operator=(const BertTokenizer& other);
  BertTokenizer(BertTokenizer&& other) noexcept;
  BertTokenizer& operator=(BertTokenizer&& other) noexcept;

  std::vector<std::string> tokenize(const std::string& text) const;
  // Unknown tokens map to the identifier of "[UNK]" (WordPiece output never has any).
  std::vector<int> convertTokensToIds(const std::vector<std::string>& tokens) const;
  // [CLS] + identifiers (at most maxLen - 2) + [SEP], zero-padded to maxLen.
  std::vector<int> buildModelTokens(const std::string& sentence) const;
  ModelInputs buildModelInputs(const std::vector<int>& tokens) const;
  ModelInputs buildModelInputsWithTypeIds(const std::vector<int>& tokens) const;

  // Tokens back to text: continuation pieces are glued to their word.
  std::string detokenize(const std::vector<std::string>& tokens) const;
  std::vector<std::string> convertWordpieceToBasicTokenList(const std::vector<std::string>& wordpieceTokens) const;

  int tokenId(const std::string& token) const;  // -1 when absent.
  const std::string& tokenForId(int id) const;  // "" when out of range.
  size_t vocabularySize() const { return ids_to_tokens.size(); }
  int clsId() const { return clsId_; }
  int sepId() const { return sepId_; }
  int unkId() const { return unkId_; }

  BasicTokenizer basicTokenizer;
  WordpieceTokenizer wordpieceTokenizer{nullptr};
  int maxLen = kDefaultMaxLen;
  Vocabulary vocab;
  std::vector<std::string> ids_to_tokens;

 private:
  BertTokenizer() = default;
  void relink() { wordpieceTokenizer.vocab = &vocab; }

  int clsId_ = -1;
  int sepId_ = -1;
  int unkId_ = -1;
};

}  // namespace pallix
