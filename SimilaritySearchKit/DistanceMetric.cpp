#include "SimilaritySearchKit/DistanceMetric.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "SimilaritySearchKit/Console.h"
#include "SimilaritySearchKit/VectorMath.h"

namespace pallix {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool sameLength(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() == b.size()) return true;
  simkit::printLine("Embeddings must have the same length");
  return false;
}

}  // namespace

float CosineSimilarity::distance(const std::vector<float>& a, const std::vector<float>& b) const {
  if (!sameLength(a, b)) return kNaN;
  const float ab = simkit::dot(a.data(), b.data(), a.size());
  const float aa = simkit::dot(a.data(), a.data(), a.size());
  const float bb = simkit::dot(b.data(), b.data(), b.size());
  if (aa == 0 || bb == 0) return 0;  // a zero vector is similar to nothing
  return ab / (std::sqrt(aa) * std::sqrt(bb));
}

float DotProduct::distance(const std::vector<float>& a, const std::vector<float>& b) const {
  if (!sameLength(a, b)) return kNaN;
  return simkit::dot(a.data(), b.data(), a.size());
}

float EuclideanDistance::distance(const std::vector<float>& a, const std::vector<float>& b) const {
  if (!sameLength(a, b)) return kNaN;
  return std::sqrt(simkit::l2Squared(a.data(), b.data(), a.size()));
}

std::vector<std::pair<float, std::size_t>> DistanceMetric::findNearest(
    const std::vector<float>& query, const std::vector<const std::vector<float>*>& items,
    std::size_t resultsCount) const {
  std::vector<float> scores(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) scores[i] = distance(query, *items[i]);
  // NaN (a failed comparison) has no rank.
  if (std::any_of(scores.begin(), scores.end(), [](float s) { return std::isnan(s); })) {
    simkit::printLine("There has been an error comparing elements in sortedScores");
    return {};
  }
  std::vector<std::size_t> order(items.size());
  std::iota(order.begin(), order.end(), 0);
  const std::size_t k = std::min(resultsCount, order.size());
  const bool higher = higherIsCloser();
  std::partial_sort(order.begin(), order.begin() + std::ptrdiff_t(k), order.end(), [&](std::size_t a, std::size_t b) {
    if (scores[a] != scores[b]) return higher ? scores[a] > scores[b] : scores[a] < scores[b];
    return a < b;
  });
  std::vector<std::pair<float, std::size_t>> out;
  out.reserve(k);
  for (std::size_t i = 0; i < k; ++i) out.emplace_back(scores[order[i]], order[i]);
  return out;
}

}  // namespace pallix
