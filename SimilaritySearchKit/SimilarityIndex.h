// SimilarityIndex: one searchable collection of text items with embeddings.
//
// Items live in memory in insertion order. Queries below 100 items (or with
// the graph disabled) scan every item with a DistanceMetric; from 100 items
// on they go through the HNSW graph and score max(0, 1 - distance / 10).
// Items persist through a VectorStore (MMapStore by default) and the graph
// as a side file "NAME.hnsw" next to it.
//
// Threading: any thread may call. One facade lock guards the items, the
// identifier map, the graph pointer and useHNSW; graph calls take the graph
// lock inside it (facade lock first). Model calls and searches run outside
// the facade lock on a snapshot. Operations that the original design runs as
// background tasks (addItems) run synchronously on the caller's thread and
// report progress through a callback; owners call them from their own
// executor.
//
// Recoverable conditions are printed through simkit::printLine (Console.h)
// with the texts quoted in this header's operations.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "SimilaritySearchKit/DistanceMetric.h"
#include "SimilaritySearchKit/EmbeddingProvider.h"
#include "SimilaritySearchKit/HNSWIndex.h"
#include "SimilaritySearchKit/IndexItem.h"
#include "SimilaritySearchKit/VectorStore.h"
#include "core/UUID.h"

namespace pallix {

struct AddItemsProgress {
  int64_t current = 0;
  int64_t total = 0;
};

// What loadOrRebuildHNSW did.
enum class HNSWLoadOutcome { skipped, loaded, rebuilt };

class SimilarityIndex {
 public:
  static constexpr const char* kDefaultName = "SimilaritySearchKitIndex";
  static constexpr std::size_t kGraphThreshold = 100;  // graph path from this many items on
  static constexpr int kDefaultTop = 5;

  // Null arguments take the defaults: HashingEmbeddings, CosineSimilarity, MMapStore.
  // Measures `dimension` by embedding "Test sentence" (prints "Failed to
  // generate a test input vector." and keeps 0 when the model fails).
  explicit SimilarityIndex(std::string name = kDefaultName, std::shared_ptr<EmbeddingProvider> model = nullptr,
                           std::shared_ptr<DistanceMetric> metric = nullptr,
                           std::shared_ptr<VectorStore> vectorStore = nullptr);
  SimilarityIndex(const SimilarityIndex&) = delete;
  SimilarityIndex& operator=(const SimilarityIndex&) = delete;

  const UUID& id() const { return id_; }
  int dimension() const { return dimension_; }
  const std::string& indexName() const { return indexName_; }
  bool useHNSW() const;
  void setUseHNSW(bool use);

  // Adds items in order; `embeddings`, when given, must have one entry per
  // identifier (else prints "Embeddings array length must be the same as ids
  // array length. A vs B" and adds nothing). Texts without a given embedding
  // are encoded; one the model cannot encode is skipped.
  void addItems(const std::vector<std::string>& ids, const std::vector<std::string>& texts,
                const std::vector<std::map<std::string, std::string>>& metadata,
                const std::optional<std::vector<std::vector<float>>>& embeddings = std::nullopt,
                const std::function<void(const AddItemsProgress&)>& progress = nullptr);
  void addItems(const std::vector<IndexItem>& items,
                const std::function<void(const AddItemsProgress&)>& progress = nullptr);
  void addItem(const std::string& id, const std::string& text, const std::map<std::string, std::string>& metadata = {},
               const std::optional<std::vector<float>>& embedding = std::nullopt);
  // The given embedding, or the model's encoding of `text`.
  Result<std::vector<float>> getEmbedding(const std::string& text,
                                          const std::optional<std::vector<float>>& embedding = std::nullopt);

  // Best `top` (default 5) items for a query text; `metric` overrides the index's metric on the scan path.
  Result<std::vector<SearchResult>> search(const std::string& query, std::optional<int> top = std::nullopt,
                                           const DistanceMetric* metric = nullptr);
  // Same for a ready query vector.
  std::vector<SearchResult> searchByVector(const std::vector<float>& query, std::optional<int> top = std::nullopt,
                                           const DistanceMetric* metric = nullptr);

  std::optional<IndexItem> getItem(const std::string& id) const;
  // The first `count` items.
  std::vector<IndexItem> sample(std::size_t count) const;
  // Replaces the given fields of the item `id`; false when the item is
  // unknown or the embedding length differs from dimension() (prints
  // "Dimension mismatch, expected D, saw L").
  bool updateItem(const std::string& id, const std::optional<std::string>& text = std::nullopt,
                  const std::optional<std::vector<float>>& embedding = std::nullopt,
                  const std::optional<std::map<std::string, std::string>>& metadata = std::nullopt);
  void removeItem(const std::string& id);
  void removeAll();

  // Copies of the item list and identifier map, and the current graph.
  std::vector<IndexItem> items() const;
  std::size_t itemCount() const;
  std::shared_ptr<HNSWIndex> hnswIndex() const;
  // Replaces the item list without rebuilding anything; callers follow with both rebuilds.
  void setItems(std::vector<IndexItem> items);
  void rebuildItemIndex();
  void rebuildHNSWIndex();

  // Whole-index persistence. An empty directory means the default storage
  // folder ($XDG_DATA_HOME or ~/.local/share, then "SimilaritySearchKit").
  Result<std::string> saveIndex(const std::string& directory = "", const std::string& name = "");
  Result<std::vector<IndexItem>> loadIndex(const std::string& directory = "", const std::string& name = "");
  // The graph side file alone: DIRECTORY/NAME.hnsw.
  Status saveHNSW(const std::string& directory, const std::string& name = "");
  HNSWLoadOutcome loadOrRebuildHNSW(const std::string& directory, const std::string& name = "");

  std::size_t estimatedSizeInBytes() const;
  static std::string combinedResultsString(const std::vector<SearchResult>& results);
  static std::string exportLLMPrompt(const std::string& query, const std::vector<SearchResult>& results);
  static std::string defaultStorageDirectory();

  friend bool operator==(const SimilarityIndex& a, const SimilarityIndex& b) { return a.id_ == b.id_; }

 private:
  static std::shared_ptr<HNSWIndex> makeGraph();
  void appendLocked(IndexItem item);
  void rebuildItemIndexLocked();
  void rebuildHNSWIndexLocked();
  std::vector<SearchResult> graphResults(HNSWIndex& graph, const std::vector<float>& query, int top) const;
  std::string graphPath(const std::string& directory, const std::string& name) const;

  const UUID id_;
  std::vector<IndexItem> indexItems_;
  int dimension_ = 0;
  std::string indexName_;
  std::shared_ptr<EmbeddingProvider> indexModel_;
  std::shared_ptr<DistanceMetric> indexMetric_;
  std::shared_ptr<VectorStore> vectorStore_;
  std::shared_ptr<HNSWIndex> hnswIndex_;
  bool useHNSW_ = true;
  std::unordered_map<std::string, std::size_t> itemsByID_;
  mutable std::mutex lock_;
};

}  // namespace pallix
