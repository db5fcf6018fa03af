// EmbeddingProvider: what the similarity index needs from an embedding model.
//
// The BGE wrapper (SimilaritySearchKitBGESmall) implements it; so do the
// small built-in HashingEmbeddings and any test double. An instance is used
// by one caller at a time.
#pragma once

#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

class EmbeddingProvider {
 public:
  virtual ~EmbeddingProvider() = default;
  // The embedding of `text`; an error when the model cannot produce one.
  virtual Result<std::vector<float>> encode(const std::string& text) = 0;
  // The length of the vectors encode() returns.
  virtual int dimension() const = 0;
};

// The built-in default model: a deterministic bag-of-words feature hash
// (lower-cased ASCII letter/digit runs, each word hashed into one of
// `dimension` signed buckets, then L2-normalised). Texts sharing words get
// a high cosine similarity. It needs no model files, which is all the
// default is for; the application always passes a real model.
class HashingEmbeddings final : public EmbeddingProvider {
 public:
  explicit HashingEmbeddings(int dimension = 384) : dimension_(dimension) {}
  Result<std::vector<float>> encode(const std::string& text) override;
  int dimension() const override { return dimension_; }

 private:
  int dimension_;
};

}  // namespace pallix
