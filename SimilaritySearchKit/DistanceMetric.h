// Similarity metrics for the exhaustive scan of SimilarityIndex.
//
// CosineSimilarity and DotProduct rank higher scores first;
// EuclideanDistance ranks lower distances first. Vectors of different
// lengths are not compared: the metric prints "Embeddings must have the same
// length" and the score is NaN, which makes the ranking fail (it prints
// "There has been an error comparing elements in sortedScores" and yields
// nothing). Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace pallix {

class DistanceMetric {
 public:
  virtual ~DistanceMetric() = default;
  virtual float distance(const std::vector<float>& a, const std::vector<float>& b) const = 0;
  // True when a higher score is closer.
  virtual bool higherIsCloser() const = 0;
  // (score, position in `items`) of the best `resultsCount` items, best first;
  // ties keep the earlier position first.
  std::vector<std::pair<float, std::size_t>> findNearest(const std::vector<float>& query,
                                                         const std::vector<const std::vector<float>*>& items,
                                                         std::size_t resultsCount) const;
};

class CosineSimilarity final : public DistanceMetric {
 public:
  float distance(const std::vector<float>& a, const std::vector<float>& b) const override;
  bool higherIsCloser() const override { return true; }
};

class DotProduct final : public DistanceMetric {
 public:
  float distance(const std::vector<float>& a, const std::vector<float>& b) const override;
  bool higherIsCloser() const override { return true; }
};

class EuclideanDistance final : public DistanceMetric {
 public:
  float distance(const std::vector<float>& a, const std::vector<float>& b) const override;
  bool higherIsCloser() const override { return false; }
};

// Names of choices that the system's configuration does not consult.
enum class EmbeddingModelType { distilbert, minilmAll, minilmMultiQA, native };
enum class MetricType { dotproduct, cosine, euclidian };
enum class TextSplitterType { token, character, recursive };
enum class VectorStoreType { json };

}  // namespace pallix
