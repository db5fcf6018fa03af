#include "SimilaritySearchKit/HNSWIndex.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>

#include "SimilaritySearchKit/VectorMath.h"

namespace pallix {
namespace {

constexpr int kMaxLevel = 254;  // a record stores level + 1 lists in one byte
constexpr float kInfinity = std::numeric_limits<float>::infinity();

uint32_t diversePrefixOf(const float* dist) {
  return std::bit_cast<uint32_t>(dist[0]);
}
void setDiversePrefix(float* dist, std::size_t length) {
  dist[0] = std::bit_cast<float>(uint32_t(length));
}

}  // namespace

HNSWIndex::HNSWIndex(int64_t M, int64_t efConstruction, int64_t efSearch)
    : M_(M),
      M0_(2 * M),
      efConstruction_(efConstruction),
      efSearch_(efSearch),
      levelMultiplier_(1.0 / std::log(double(M))),
      stride0_(uint32_t(std::max<int64_t>(M0_, 1))),
      strideUpper_(uint32_t(std::max<int64_t>(M_, 1))),
      rng_(std::random_device{}()) {}

int64_t HNSWIndex::efSearch() const {
  std::lock_guard guard(lock_);
  return efSearch_;
}

void HNSWIndex::setEfSearch(int64_t ef) {
  std::lock_guard guard(lock_);
  efSearch_ = ef;
}

void HNSWIndex::setRandomSeed(uint64_t seed) {
  std::lock_guard guard(lock_);
  rng_.seed(seed);
}

int HNSWIndex::randomLevel() {
  // u is drawn from (0, 1]: 1 - [0, 1) never yields 0, whose logarithm is infinite.
  const double u = 1.0 - std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
  const double level = std::floor(-std::log(u) * levelMultiplier_);
  if (!(level >= 0)) return 0;
  return level > kMaxLevel ? kMaxLevel : int(level);
}

void HNSWIndex::reserve(std::size_t n) {
  std::lock_guard guard(lock_);
  ids_.reserve(n);
  levels_.reserve(n);
  numLists_.reserve(n);
  flags_.reserve(n);
  reserveHint_ = n;
  if (hasDim_) vectors_.reserve(n * dim_);
  links0_.reserve(n * (1 + std::size_t(stride0_)));
  dists0_.reserve(n * (1 + std::size_t(stride0_)));
  upper_.reserve(n);
  upperDists_.reserve(n);
  visitedTag_.reserve(n);
  idToIndex_.reserve(n);
}

void HNSWIndex::appendNode(const std::string& id, const std::vector<float>& embedding, int level, int numLists) {
  const uint32_t n = uint32_t(ids_.size());
  if (!hasDim_) {
    hasDim_ = true;
    dim_ = embedding.size();
    vectors_.reserve(std::max(reserveHint_, ids_.size() + 1) * dim_);
  }
  ids_.push_back(id);
  levels_.push_back(uint8_t(level));
  numLists_.push_back(uint8_t(numLists));
  uint8_t flags = kLive | kDistancesCached;
  if (embedding.size() == dim_) {
    vectors_.insert(vectors_.end(), embedding.begin(), embedding.end());
  } else {
    flags |= kOddLength;
    vectors_.resize(vectors_.size() + dim_, 0.0f);
    oddVectors_[n] = embedding;
  }
  flags_.push_back(flags);
  links0_.resize(links0_.size() + 1 + stride0_, 0);
  dists0_.resize(dists0_.size() + 1 + stride0_, 0.0f);
  upper_.emplace_back(std::size_t(level) * (1 + strideUpper_), 0);
  upperDists_.emplace_back(std::size_t(level) * (1 + strideUpper_), 0.0f);
  visitedTag_.push_back(0);
  count_.store(int64_t(ids_.size()), std::memory_order_release);
}

const float* HNSWIndex::vectorOf(uint32_t node, std::size_t* len) const {
  if (flags_[node] & kOddLength) {
    const auto& v = oddVectors_.at(node);
    *len = v.size();
    return v.data();
  }
  *len = dim_;
  return vectors_.data() + std::size_t(node) * dim_;
}

inline float HNSWIndex::distanceToQuery(uint32_t node, const float* q, std::size_t qlen) const {
  if (!(flags_[node] & kOddLength)) {
    return qlen == dim_ ? simkit::l2Squared(q, vectors_.data() + std::size_t(node) * dim_, dim_) : kInfinity;
  }
  const auto& v = oddVectors_.at(node);
  return v.size() == qlen ? simkit::l2Squared(q, v.data(), qlen) : kInfinity;
}

float HNSWIndex::distanceBetween(uint32_t a, uint32_t b) const {
  if (oddVectors_.empty()) {
    return simkit::l2Squared(vectors_.data() + std::size_t(a) * dim_, vectors_.data() + std::size_t(b) * dim_, dim_);
  }
  std::size_t len = 0;
  const float* va = vectorOf(a, &len);
  return distanceToQuery(b, va, len);
}

uint32_t* HNSWIndex::listOf(uint32_t node, int layer) {
  if (layer >= numLists_[node]) return nullptr;
  if (layer == 0) return links0_.data() + std::size_t(node) * (1 + stride0_);
  return upper_[node].data() + std::size_t(layer - 1) * (1 + strideUpper_);
}

float* HNSWIndex::distancesOf(uint32_t node, int layer) {
  if (layer == 0) return dists0_.data() + std::size_t(node) * (1 + stride0_);
  return upperDists_[node].data() + std::size_t(layer - 1) * (1 + strideUpper_);
}

void HNSWIndex::ensureDistances(uint32_t node) {
  if (flags_[node] & kDistancesCached) return;
  const uint32_t count = uint32_t(ids_.size());
  for (int layer = 0; layer < numLists_[node]; ++layer) {
    const uint32_t* list = listOf(node, layer);
    float* dist = distancesOf(node, layer);
    for (uint32_t j = 0; j < list[0]; ++j)
      dist[1 + j] = list[1 + j] < count ? distanceBetween(node, list[1 + j]) : kInfinity;
  }
  flags_[node] |= kDistancesCached;
}

const uint32_t* HNSWIndex::listOf(uint32_t node, int layer) const {
  return const_cast<HNSWIndex*>(this)->listOf(node, layer);
}

uint32_t HNSWIndex::greedyClosest(const float* q, std::size_t qlen, uint32_t start, int layer) const {
  const uint32_t count = uint32_t(ids_.size());
  if (start >= count) return start;
  uint32_t current = start;
  float best = distanceToQuery(current, q, qlen);
  while (true) {
    const uint32_t* list = listOf(current, layer);
    if (list == nullptr || list[0] == 0) return current;
    uint32_t next = current;
    for (uint32_t j = 0; j < list[0]; ++j) {
      const uint32_t e = list[1 + j];
      if (e >= count) continue;
      const float d = distanceToQuery(e, q, qlen);
      if (d < best) {
        best = d;
        next = e;
      }
    }
    if (next == current) return current;
    current = next;
  }
}

void HNSWIndex::searchLayer(const float* q, std::size_t qlen, uint32_t entry, std::size_t ef, int layer,
                            std::vector<DistIndex>& out) {
  const uint32_t count = uint32_t(ids_.size());
  out.clear();
  candidates_.clear();
  results_.clear();
  if (++visitEpoch_ == 0) {
    std::fill(visitedTag_.begin(), visitedTag_.end(), 0);
    visitEpoch_ = 1;
  }
  const uint32_t epoch = visitEpoch_;
  const std::greater<DistIndex> minFirst;
  if (entry < count) {
    visitedTag_[entry] = epoch;
    const float d = distanceToQuery(entry, q, qlen);
    candidates_.emplace_back(d, entry);
    results_.emplace_back(d, entry);
  }
  // Without odd-length nodes a query of the common length needs no per-node flag lookup.
  const bool plain = qlen == dim_ && oddVectors_.empty();
  const float* base = vectors_.data();
  const std::size_t prefetchFloats = std::min<std::size_t>(dim_, 128);  // eight cache lines
  uint32_t* tags = visitedTag_.data();
  while (!candidates_.empty()) {
    std::pop_heap(candidates_.begin(), candidates_.end(), minFirst);
    const DistIndex c = candidates_.back();
    candidates_.pop_back();
    if (!results_.empty() && results_.front().first < c.first) break;
    const uint32_t* list = listOf(c.second, layer);
    if (list == nullptr) continue;
    if (!candidates_.empty()) {
      // The next candidate's links are read after this one's neighbours are measured.
      if (const uint32_t* next = listOf(candidates_.front().second, layer)) {
        for (int line = 0; line < 3; ++line) __builtin_prefetch(next + 16 * line);
      }
    }
    const uint32_t n = list[0];
    for (uint32_t j = 0; j < n; ++j) {
      if (list[1 + j] < count) __builtin_prefetch(tags + list[1 + j]);
    }
    for (uint32_t j = 0; j < n; ++j) {
      const uint32_t e = list[1 + j];
      if (e >= count || tags[e] == epoch) continue;
      tags[e] = epoch;
      for (uint32_t ahead = j + 1; ahead < n; ++ahead) {
        // Prefetch the start of the next unvisited neighbour's vector while this
        // one is measured; the hardware prefetcher follows the rest.
        const uint32_t nx = list[1 + ahead];
        if (nx < count && tags[nx] != epoch) {
          const float* v = base + std::size_t(nx) * dim_;
          for (std::size_t at = 0; at < prefetchFloats; at += 16) __builtin_prefetch(v + at);
          break;
        }
      }
      const float d = plain ? simkit::l2Squared(q, base + std::size_t(e) * dim_, dim_) : distanceToQuery(e, q, qlen);
      if (results_.size() < ef || d < results_.front().first) {
        candidates_.emplace_back(d, e);
        std::push_heap(candidates_.begin(), candidates_.end(), minFirst);
        results_.emplace_back(d, e);
        std::push_heap(results_.begin(), results_.end());
        if (results_.size() > ef) {
          std::pop_heap(results_.begin(), results_.end());
          results_.pop_back();
        }
      }
    }
  }
  std::sort_heap(results_.begin(), results_.end());
  out.assign(results_.begin(), results_.end());
}

void HNSWIndex::selectDiverse(std::vector<Candidate>& candidates, std::size_t maxConn) const {
  // A candidate is dropped when a kept neighbour is strictly closer to it than
  // the node is: that neighbour already leads the way there. Ties keep, so
  // exact duplicates of the node stay linked to it.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < candidates.size() && kept < maxConn; ++i) {
    const Candidate c = candidates[i];
    bool keep = true;
    for (std::size_t j = 0; j < kept && keep; ++j) {
      if (c.diverse && candidates[j].diverse) continue;
      keep = !(distanceBetween(c.node, candidates[j].node) < c.distance);
    }
    if (keep) candidates[kept++] = c;
  }
  candidates.resize(kept);
}

void HNSWIndex::shrinkList(uint32_t node, int layer, std::size_t maxConn, uint32_t added, float addedDistance) {
  // The link distances are cached per slot, and the diverse prefix spares the
  // pairs the last cut already measured: only pairs with an entry appended
  // since then (the back link `added` among them) cost vector arithmetic.
  ensureDistances(node);
  uint32_t* list = listOf(node, layer);
  float* dist = distancesOf(node, layer);
  const uint32_t count = uint32_t(ids_.size());
  const uint32_t prefix = diversePrefixOf(dist);
  selection_.clear();
  for (uint32_t j = 0; j < list[0]; ++j) {
    if (list[1 + j] < count) selection_.push_back({dist[1 + j], list[1 + j], j < prefix});
  }
  selection_.push_back({addedDistance, added, false});
  std::stable_sort(selection_.begin(), selection_.end(),
                   [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  const bool cut = selection_.size() > maxConn;
  if (cut) selectDiverse(selection_, maxConn);
  for (std::size_t j = 0; j < selection_.size(); ++j) {
    list[1 + j] = selection_[j].node;
    dist[1 + j] = selection_[j].distance;
  }
  list[0] = uint32_t(selection_.size());
  setDiversePrefix(dist, cut ? selection_.size() : 0);
}

void HNSWIndex::insert(const std::string& id, const std::vector<float>& embedding) {
  std::lock_guard guard(lock_);
  if (idToIndex_.count(id) != 0) return;
  const int level = randomLevel();
  const uint32_t n = uint32_t(ids_.size());
  if (!entryPoint_) {
    appendNode(id, embedding, level, level + 1);
    idToIndex_.emplace(id, n);
    entryPoint_ = n;
    maxLevel_ = level;
    return;
  }
  const float* q = embedding.data();
  const std::size_t qlen = embedding.size();
  uint32_t ep = *entryPoint_;
  if (ep < n) {
    for (int64_t lc = std::min<int64_t>(maxLevel_, int64_t(numLists_[ep]) - 1); lc > level; --lc) {
      ep = greedyClosest(q, qlen, ep, int(lc));
    }
  }
  appendNode(id, embedding, level, level + 1);
  idToIndex_.emplace(id, n);

  for (int64_t lc = std::min<int64_t>(level, maxLevel_); lc >= 0; --lc) {
    const int layer = int(lc);
    searchLayer(q, qlen, ep, std::size_t(std::max<int64_t>(efConstruction_, 1)), layer, layerResult_);
    const std::size_t maxConn = std::size_t(layer == 0 ? M0_ : M_);
    // layerResult_ is in range and sorted by distance, ties by index, as the selection needs.
    selection_.clear();
    for (const auto& [d, e] : layerResult_) selection_.push_back({d, e, false});
    const bool cut = selection_.size() > maxConn;
    if (cut) selectDiverse(selection_, maxConn);
    const std::size_t keep = selection_.size();
    uint32_t* own = listOf(n, layer);
    float* ownDist = distancesOf(n, layer);
    for (std::size_t j = 0; j < keep; ++j) {
      own[1 + j] = selection_[j].node;
      ownDist[1 + j] = selection_[j].distance;
    }
    own[0] = uint32_t(keep);
    setDiversePrefix(ownDist, cut ? keep : 0);
    // The own list, not selection_, drives the back links: shrinkList reuses selection_.
    for (std::size_t j = 0; j < keep; ++j) {
      const uint32_t m = own[1 + j];
      const float d = ownDist[1 + j];  // also m's distance to n: subtraction is antisymmetric
      uint32_t* list = listOf(m, layer);
      if (list == nullptr) continue;
      if (list[0] < maxConn && list[0] < capacityFor(layer)) {
        list[1 + list[0]] = n;
        distancesOf(m, layer)[1 + list[0]] = d;
        ++list[0];
      } else {
        shrinkList(m, layer, maxConn, n, d);
      }
    }
    if (keep > 0) ep = own[1];
  }
  if (level > maxLevel_) {
    entryPoint_ = n;
    maxLevel_ = level;
  }
}

std::vector<HNSWIndex::Neighbor> HNSWIndex::search(const std::vector<float>& query, int64_t k) {
  std::lock_guard guard(lock_);
  return searchLocked(query, k);
}

std::vector<HNSWIndex::Neighbor> HNSWIndex::searchLocked(const std::vector<float>& query, int64_t k) {
  std::vector<Neighbor> out;
  if (!entryPoint_ || k <= 0) return out;
  const uint32_t count = uint32_t(ids_.size());
  const float* q = query.data();
  const std::size_t qlen = query.size();
  uint32_t ep = *entryPoint_;
  if (ep < count) {
    for (int64_t lc = std::min<int64_t>(maxLevel_, int64_t(numLists_[ep]) - 1); lc >= 1; --lc) {
      ep = greedyClosest(q, qlen, ep, int(lc));
    }
  }
  const std::size_t ef = std::size_t(std::max(efSearch_, k));
  searchLayer(q, qlen, ep, ef, 0, layerResult_);
  out.reserve(std::min<std::size_t>(std::size_t(k), layerResult_.size()));
  for (const auto& [d, node] : layerResult_) {
    if (out.size() >= std::size_t(k)) break;
    // Tombstones and shadowed duplicates may still be linked; they are traversed but never returned.
    if (!(flags_[node] & kLive)) continue;
    out.push_back({ids_[node], d == kInfinity ? kInfinity : std::sqrt(d)});
  }
  return out;
}

bool HNSWIndex::remove(const std::string& id) {
  std::lock_guard guard(lock_);
  auto it = idToIndex_.find(id);
  if (it == idToIndex_.end()) return false;
  const uint32_t r = it->second;
  idToIndex_.erase(it);
  const uint32_t count = uint32_t(ids_.size());
  for (int layer = 0; layer < numLists_[r]; ++layer) {
    const uint32_t* own = listOf(r, layer);
    for (uint32_t j = 0; j < own[0]; ++j) {
      const uint32_t nb = own[1 + j];
      if (nb >= count || nb == r) continue;
      uint32_t* list = listOf(nb, layer);
      if (list == nullptr) continue;
      float* dist = distancesOf(nb, layer);
      const uint32_t prefix = diversePrefixOf(dist);
      uint32_t w = 0, keptInPrefix = 0;
      for (uint32_t x = 0; x < list[0]; ++x) {
        if (list[1 + x] != r) {
          keptInPrefix += x < prefix;
          dist[1 + w] = dist[1 + x];
          list[1 + w++] = list[1 + x];
        }
      }
      list[0] = w;
      setDiversePrefix(dist, keptInPrefix);
    }
  }
  // The tombstone keeps level + 1 empty lists.
  numLists_[r] = uint8_t(levels_[r] + 1);
  for (int layer = 0; layer <= levels_[r]; ++layer) {
    listOf(r, layer)[0] = 0;
    setDiversePrefix(distancesOf(r, layer), 0);
  }
  flags_[r] &= uint8_t(~kLive);
  if (entryPoint_ && *entryPoint_ == r) repairEntryPoint(r);
  return true;
}

void HNSWIndex::repairEntryPoint(uint32_t removed) {
  // The highest-level live node, earliest on a tie. Tombstones are not
  // candidates: they have no links, so a search starting there finds nothing.
  std::optional<uint32_t> best;
  for (uint32_t i = 0; i < ids_.size(); ++i) {
    if (i == removed || !(flags_[i] & kLive) || numLists_[i] == 0) continue;
    if (!best || levels_[i] > levels_[*best]) best = i;
  }
  entryPoint_ = best;
  maxLevel_ = best ? levels_[*best] : 0;
}

void HNSWIndex::clearLocked() {
  ids_.clear();
  levels_.clear();
  numLists_.clear();
  flags_.clear();
  vectors_.clear();
  oddVectors_.clear();
  links0_.clear();
  dists0_.clear();
  upper_.clear();
  upperDists_.clear();
  visitedTag_.clear();
  idToIndex_.clear();
  dim_ = 0;
  hasDim_ = false;
  entryPoint_.reset();
  maxLevel_ = 0;
  count_.store(0, std::memory_order_release);
}

std::optional<int64_t> HNSWIndex::entryPointIndex() const {
  std::lock_guard guard(lock_);
  if (!entryPoint_) return std::nullopt;
  return int64_t(*entryPoint_);
}

int64_t HNSWIndex::maxLevel() const {
  std::lock_guard guard(lock_);
  return maxLevel_;
}

int64_t HNSWIndex::liveCount() const {
  std::lock_guard guard(lock_);
  return int64_t(idToIndex_.size());
}

bool HNSWIndex::contains(const std::string& id) const {
  std::lock_guard guard(lock_);
  return idToIndex_.count(id) != 0;
}

int HNSWIndex::nodeLevel(int64_t node) const {
  std::lock_guard guard(lock_);
  if (node < 0 || node >= int64_t(ids_.size())) return -1;
  return levels_[std::size_t(node)];
}

std::vector<uint32_t> HNSWIndex::connections(int64_t node, int layer) const {
  std::lock_guard guard(lock_);
  if (node < 0 || node >= int64_t(ids_.size()) || layer < 0) return {};
  const uint32_t* list = listOf(uint32_t(node), layer);
  if (list == nullptr) return {};
  return std::vector<uint32_t>(list + 1, list + 1 + list[0]);
}

std::size_t HNSWIndex::memoryBytes() const {
  std::lock_guard guard(lock_);
  std::size_t bytes =
      vectors_.size() * sizeof(float) + links0_.size() * sizeof(uint32_t) + dists0_.size() * sizeof(float);
  for (const auto& u : upper_) bytes += 2 * (sizeof(u) + u.size() * sizeof(uint32_t));
  for (const auto& [node, v] : oddVectors_) bytes += v.size() * sizeof(float) + 48;
  for (const auto& id : ids_) bytes += sizeof(std::string) + (id.size() > 15 ? id.capacity() + 1 : 0);
  bytes += ids_.size() * (3 * sizeof(uint8_t) + sizeof(uint32_t));  // levels, lists, flags, visited tag
  // Hash map node: next pointer, cached hash, key, value; plus one bucket pointer.
  bytes += idToIndex_.size() * (2 * sizeof(void*) + sizeof(std::string) + sizeof(uint32_t) + sizeof(void*));
  return bytes;
}

}  // namespace pallix
