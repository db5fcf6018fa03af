// BertTokenizer: the router's own WordPiece tokenizer (not the embedding
// models' one): diacritic folding and lower-casing, a split at whitespace with
// every punctuation or symbol character as a token of its own, then greedy
// longest-match WordPiece over the router vocabulary ("##" continuations; a
// word without a full match, or needing more than `maxTokenLength` pieces,
// becomes one "[UNK]"). Pieces are cut at Unicode code points.
// Immutable after loading; shared freely between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Error.h"

namespace pallix::router {

struct Encoding {
  std::vector<int32_t> inputIds;
  std::vector<int32_t> attentionMask;
};

class BertTokenizer {
 public:
  static constexpr const char* clsToken = "[CLS]";
  static constexpr const char* sepToken = "[SEP]";
  static constexpr const char* padToken = "[PAD]";
  static constexpr const char* unkToken = "[UNK]";
  static constexpr int maxTokenLength = 100;

  // Reads "vocab.txt" (one token per non-empty line; id = line number among
  // the non-empty lines; a later duplicate wins). Fails with the tokenizer's
  // -1 error when a special token is missing; I/O errors pass through.
  static Result<BertTokenizer> load(const std::string& vocabPath);
  static Result<BertTokenizer> fromText(std::string_view vocabText);

  // The words of the basic split (folded, lower-cased), before WordPiece.
  static std::vector<std::string> basicSplit(std::string_view text);
  // Folds diacritics and lower-cases (root locale).
  static std::string fold(std::string_view text);

  std::vector<std::string> tokenize(std::string_view text) const;
  // Exactly `maxLength` ids and mask values ("[CLS]" tokens "[SEP]" then padding). maxLength >= 2.
  Encoding encode(std::string_view text, int maxLength) const;

  const std::unordered_map<std::string, int32_t>& vocab() const { return vocab_; }

 private:
  void wordPiece(const std::u32string& word, std::vector<std::string>& out) const;

  std::unordered_map<std::string, int32_t> vocab_;
  size_t longestToken_ = 0;  // In code points, "##" excluded: bounds the longest-match search.
  int32_t clsId_ = 0, sepId_ = 0, padId_ = 0, unkId_ = 0;
};

}  // namespace pallix::router
