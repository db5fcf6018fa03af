// HNSWIndex: the approximate-nearest-neighbour graph (hierarchical navigable
// small world) over Euclidean distance.
//
// The index keeps, per node, its identifier, its embedding and its links on
// each layer. Only the links are persisted (serialize/deserialize); the
// identifiers and embeddings come back from the owner's item list, in the
// same order. Removal leaves a tombstone: the node keeps its slot and record
// but loses its links, so node indices never shift.
//
// Neighbour selection: whenever a list would exceed its limit (a new node's
// candidates, or a neighbour's list that a back link overfills), it is cut
// with the diversity heuristic: candidates closest first, each kept only if
// no neighbour kept before it is closer to it than the node is, at most the
// limit. Closest-first selection alone fills every list with one cluster's
// members and cuts clustered data into islands that a search cannot leave.
//
// Storage is contiguous: one float block for the embeddings (row i = node i),
// one fixed-stride link block for layer 0 and a small per-node block for the
// upper layers, which few nodes have. The visited set is an epoch-stamped
// array, and the heaps and scratch buffers are reused, so a search allocates
// nothing but its result.
//
// Thread safety: every operation except count() and isEmpty() holds the
// graph lock for its whole duration; any thread may call.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SimilaritySearchKit/IndexItem.h"
#include "core/Error.h"

namespace pallix {

// Error domain "HNSWError"; the one case is invalidData.
struct HNSWError {
  static constexpr const char* kDomain = "HNSWError";
  enum Code { invalidData = 1 };
  // "Invalid HNSW data: " + message.
  static Error makeInvalidData(const std::string& message);
};

// Statistics of a serialized graph image, read without the item list.
struct HNSWImageInfo {
  uint32_t nodeCount = 0;
  uint32_t maxLevel = 0;
  uint32_t entryPoint = 0;
  uint32_t M = 0;
  uint32_t efSearch = 0;
  std::vector<uint64_t> nodesPerLayer;  // nodes that have a list for layer l
  std::vector<uint64_t> linksPerLayer;  // total list entries on layer l
  uint64_t outOfRangeLinks = 0;         // entries >= nodeCount
  uint64_t nodesWithoutLists = 0;       // records with L = 0
  uint64_t trailingBytes = 0;           // bytes after the last record (ignored by loads)
};

class HNSWIndex {
 public:
  struct Neighbor {
    std::string id;
    float distance;
  };

  HNSWIndex(int64_t M = 16, int64_t efConstruction = 200, int64_t efSearch = 50);
  HNSWIndex(const HNSWIndex&) = delete;
  HNSWIndex& operator=(const HNSWIndex&) = delete;

  int64_t M() const { return M_; }
  int64_t M0() const { return M0_; }
  int64_t efConstruction() const { return efConstruction_; }
  double levelMultiplier() const { return levelMultiplier_; }
  int64_t efSearch() const;
  void setEfSearch(int64_t ef);

  // Number of nodes, tombstones included. Lock-free.
  int64_t count() const { return count_.load(std::memory_order_acquire); }
  bool isEmpty() const { return count() == 0; }

  // Adds one item; an identifier already present is ignored.
  void insert(const std::string& id, const std::vector<float>& embedding);
  // Up to k (id, Euclidean distance) pairs, closest first.
  std::vector<Neighbor> search(const std::vector<float>& query, int64_t k);
  // Detaches the node of `id`; false when the identifier is unknown.
  bool remove(const std::string& id);

  // The persisted form: 20-byte header then one link record per node.
  std::string serialize();
  // Replaces the graph from `data`, node i taking item i's identifier and
  // embedding. On failure the index keeps its previous contents.
  Status deserialize(std::string_view data, const std::vector<IndexItem>& items);
  // Reads a serialized image's structure without items (for inspection).
  static Result<HNSWImageInfo> inspectImage(std::string_view data);

  // Introspection for tests, tools and benchmarks.
  std::optional<int64_t> entryPointIndex() const;
  int64_t maxLevel() const;
  int64_t liveCount() const;
  bool contains(const std::string& id) const;
  // Level of node i and its list on `layer` (empty when it has none).
  int nodeLevel(int64_t node) const;
  std::vector<uint32_t> connections(int64_t node, int layer) const;
  // Bytes held by embeddings, links and identifiers.
  std::size_t memoryBytes() const;
  // Pre-allocates room for `n` nodes.
  void reserve(std::size_t n);
  // Makes level draws reproducible (tests, benchmarks).
  void setRandomSeed(uint64_t seed);

 private:
  using DistIndex = std::pair<float, uint32_t>;
  // Bits of flags_.
  static constexpr uint8_t kLive = 1;
  static constexpr uint8_t kOddLength = 2;
  static constexpr uint8_t kDistancesCached = 4;  // the node's link distances are filled in
  // A candidate of a neighbour selection: squared distance to the node whose
  // list is cut, and whether it sat in that list's diverse prefix (the
  // entries kept by its last cut, which passed the test against each other).
  struct Candidate {
    float distance;
    uint32_t node;
    bool diverse;
  };

  int randomLevel();
  void appendNode(const std::string& id, const std::vector<float>& embedding, int level, int numLists);
  float distanceToQuery(uint32_t node, const float* q, std::size_t qlen) const;
  float distanceBetween(uint32_t a, uint32_t b) const;
  const float* vectorOf(uint32_t node, std::size_t* len) const;
  // Pointer to node's list for `layer`: [count, slot0, slot1, ...]; nullptr when it has none.
  uint32_t* listOf(uint32_t node, int layer);
  const uint32_t* listOf(uint32_t node, int layer) const;
  uint32_t capacityFor(int layer) const { return layer == 0 ? stride0_ : strideUpper_; }
  uint32_t greedyClosest(const float* q, std::size_t qlen, uint32_t start, int layer) const;
  // Fills `out` with the node indices found, closest first (at most ef).
  void searchLayer(const float* q, std::size_t qlen, uint32_t entry, std::size_t ef, int layer,
                   std::vector<DistIndex>& out);
  // Cuts `candidates` (closest first) to the diverse selection of at most maxConn, in order.
  void selectDiverse(std::vector<Candidate>& candidates, std::size_t maxConn) const;
  // Adds `added` to a full list by cutting the list plus `added` with selectDiverse.
  void shrinkList(uint32_t node, int layer, std::size_t maxConn, uint32_t added, float addedDistance);
  // Distances of the node's links, slot for slot with listOf(). Slot 0 holds
  // the raw bits of the list's diverse-prefix length: pairs inside the prefix
  // need no distance when the list is cut again.
  float* distancesOf(uint32_t node, int layer);
  void ensureDistances(uint32_t node);
  void repairEntryPoint(uint32_t removed);
  void clearLocked();
  std::vector<Neighbor> searchLocked(const std::vector<float>& query, int64_t k);

  const int64_t M_;
  const int64_t M0_;
  const int64_t efConstruction_;
  int64_t efSearch_;
  const double levelMultiplier_;

  // Node storage, indexed by node index.
  std::vector<std::string> ids_;
  std::vector<uint8_t> levels_;    // node's top layer
  std::vector<uint8_t> numLists_;  // number of layer lists (level + 1, or 0 for a bare loaded record)
  std::vector<uint8_t> flags_;     // kLive, kOddLength
  std::vector<float> vectors_;     // dim_ floats per node; odd-length nodes keep theirs in oddVectors_
  std::unordered_map<uint32_t, std::vector<float>> oddVectors_;
  std::vector<uint32_t> links0_;              // (1 + stride0_) words per node
  std::vector<std::vector<uint32_t>> upper_;  // (1 + strideUpper_) words per layer >= 1
  // Squared distance from the node to each link, in the same shape as the
  // link arrays: pruning a full list then needs no vector arithmetic.
  std::vector<float> dists0_;
  std::vector<std::vector<float>> upperDists_;
  std::size_t dim_ = 0;
  bool hasDim_ = false;
  std::size_t reserveHint_ = 0;  // node count announced by reserve(), applied once dim_ is known
  uint32_t stride0_;
  uint32_t strideUpper_;

  std::optional<uint32_t> entryPoint_;
  int64_t maxLevel_ = 0;
  std::unordered_map<std::string, uint32_t> idToIndex_;
  std::atomic<int64_t> count_{0};

  // Search scratch, reused under the lock.
  std::vector<uint32_t> visitedTag_;
  uint32_t visitEpoch_ = 0;
  std::vector<DistIndex> candidates_;
  std::vector<DistIndex> results_;
  std::vector<DistIndex> layerResult_;
  std::vector<Candidate> selection_;

  std::mt19937_64 rng_;
  mutable std::mutex lock_;
};

}  // namespace pallix
