#include "SimilaritySearchKit/SimilarityIndex.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "SimilaritySearchKit/Console.h"
#include "SimilaritySearchKit/MMapStore.h"
#include "core/FileUtil.h"

namespace pallix {
namespace {

constexpr int64_t kGraphM = 16;
constexpr int64_t kGraphEfConstruction = 200;
constexpr int64_t kGraphEfSearch = 50;

std::string joinPath(const std::string& directory, const std::string& file) {
  return (std::filesystem::path(directory) / file).string();
}

}  // namespace

Result<std::vector<float>> HashingEmbeddings::encode(const std::string& text) {
  if (dimension_ <= 0) return Error::make("HashingEmbeddings has no dimension");
  std::vector<float> v(std::size_t(dimension_), 0.0f);
  uint64_t h = 0;
  bool inWord = false;
  auto flush = [&] {
    if (!inWord) return;
    const std::size_t bucket = std::size_t(h % uint64_t(dimension_));
    v[bucket] += (h >> 63) ? -1.0f : 1.0f;
    inWord = false;
  };
  for (unsigned char c : text) {
    const bool word = std::isalnum(c) || c >= 0x80;
    if (!word) {
      flush();
      continue;
    }
    if (!inWord) {
      h = 1469598103934665603ull;
      inWord = true;
    }
    h = (h ^ uint64_t(std::tolower(c))) * 1099511628211ull;
  }
  flush();
  float norm = 0;
  for (float x : v) norm += x * x;
  if (norm > 0) {
    const float scale = 1.0f / std::sqrt(norm);
    for (float& x : v) x *= scale;
  }
  return v;
}

SimilarityIndex::SimilarityIndex(std::string name, std::shared_ptr<EmbeddingProvider> model,
                                 std::shared_ptr<DistanceMetric> metric, std::shared_ptr<VectorStore> vectorStore)
    : id_(UUID::random()),
      indexName_(std::move(name)),
      indexModel_(model ? std::move(model) : std::make_shared<HashingEmbeddings>()),
      indexMetric_(metric ? std::move(metric) : std::make_shared<CosineSimilarity>()),
      vectorStore_(vectorStore ? std::move(vectorStore) : std::make_shared<MMapStore>()) {
  auto probe = indexModel_->encode("Test sentence");
  if (probe.ok()) {
    dimension_ = int(probe.value().size());
  } else {
    simkit::printLine("Failed to generate a test input vector.");
  }
}

bool SimilarityIndex::useHNSW() const {
  std::lock_guard guard(lock_);
  return useHNSW_;
}

void SimilarityIndex::setUseHNSW(bool use) {
  std::lock_guard guard(lock_);
  useHNSW_ = use;
}

std::shared_ptr<HNSWIndex> SimilarityIndex::makeGraph() {
  return std::make_shared<HNSWIndex>(kGraphM, kGraphEfConstruction, kGraphEfSearch);
}

void SimilarityIndex::appendLocked(IndexItem item) {
  itemsByID_[item.id] = indexItems_.size();
  if (useHNSW_) {
    if (!hnswIndex_) hnswIndex_ = makeGraph();
    hnswIndex_->insert(item.id, item.embedding);
  }
  indexItems_.push_back(std::move(item));
}

void SimilarityIndex::addItems(const std::vector<std::string>& ids, const std::vector<std::string>& texts,
                               const std::vector<std::map<std::string, std::string>>& metadata,
                               const std::optional<std::vector<std::vector<float>>>& embeddings,
                               const std::function<void(const AddItemsProgress&)>& progress) {
  if (embeddings && embeddings->size() != ids.size()) {
    simkit::printLine("Embeddings array length must be the same as ids array length. " +
                      std::to_string(embeddings->size()) + " vs " + std::to_string(ids.size()));
    return;
  }
  const int64_t total = int64_t(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    IndexItem item;
    item.id = ids[i];
    if (i < texts.size()) item.text = texts[i];
    if (i < metadata.size()) item.metadata = metadata[i];
    auto embedding = getEmbedding(item.text, embeddings ? std::optional((*embeddings)[i]) : std::nullopt);
    if (embedding.ok()) {
      item.embedding = std::move(embedding).value();
      std::lock_guard guard(lock_);
      appendLocked(std::move(item));
    }
    if (progress) progress({int64_t(i) + 1, total});
  }
}

void SimilarityIndex::addItems(const std::vector<IndexItem>& items,
                               const std::function<void(const AddItemsProgress&)>& progress) {
  const int64_t total = int64_t(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    {
      std::lock_guard guard(lock_);
      appendLocked(items[i]);
    }
    if (progress) progress({int64_t(i) + 1, total});
  }
}

void SimilarityIndex::addItem(const std::string& id, const std::string& text,
                              const std::map<std::string, std::string>& metadata,
                              const std::optional<std::vector<float>>& embedding) {
  auto vector = getEmbedding(text, embedding);
  if (!vector.ok()) return;
  std::lock_guard guard(lock_);
  appendLocked(IndexItem{id, text, std::move(vector).value(), metadata});
}

Result<std::vector<float>> SimilarityIndex::getEmbedding(const std::string& text,
                                                         const std::optional<std::vector<float>>& embedding) {
  if (embedding) return *embedding;
  return indexModel_->encode(text);
}

Result<std::vector<SearchResult>> SimilarityIndex::search(const std::string& query, std::optional<int> top,
                                                          const DistanceMetric* metric) {
  PALLIX_ASSIGN_OR_RETURN(std::vector<float> vector, indexModel_->encode(query));
  return searchByVector(vector, top, metric);
}

std::vector<SearchResult> SimilarityIndex::searchByVector(const std::vector<float>& query, std::optional<int> top,
                                                          const DistanceMetric* metric) {
  const int k = top.value_or(kDefaultTop);
  std::shared_ptr<HNSWIndex> graph;
  {
    std::lock_guard guard(lock_);
    if (useHNSW_ && hnswIndex_ && indexItems_.size() >= kGraphThreshold) graph = hnswIndex_;
  }
  if (graph) return graphResults(*graph, query, k);

  // The scan reads the items in place under the lock: a copy would cost as much as the scan.
  std::lock_guard guard(lock_);
  std::vector<const std::vector<float>*> embeddings;
  embeddings.reserve(indexItems_.size());
  for (const auto& item : indexItems_) embeddings.push_back(&item.embedding);
  const DistanceMetric& m = metric ? *metric : *indexMetric_;
  std::vector<SearchResult> out;
  for (const auto& [score, position] : m.findNearest(query, embeddings, std::size_t(std::max(k, 0)))) {
    const IndexItem& item = indexItems_[position];
    out.push_back({item.id, score, item.text, item.metadata});
  }
  return out;
}

std::vector<SearchResult> SimilarityIndex::graphResults(HNSWIndex& graph, const std::vector<float>& query,
                                                        int top) const {
  const auto neighbors = graph.search(query, top);
  std::vector<SearchResult> out;
  out.reserve(neighbors.size());
  std::lock_guard guard(lock_);
  for (const auto& neighbor : neighbors) {
    auto it = itemsByID_.find(neighbor.id);
    if (it == itemsByID_.end() || it->second >= indexItems_.size()) continue;
    const IndexItem& item = indexItems_[it->second];
    out.push_back({item.id, std::max(0.0f, 1.0f - neighbor.distance / 10.0f), item.text, item.metadata});
  }
  return out;
}

std::optional<IndexItem> SimilarityIndex::getItem(const std::string& id) const {
  std::lock_guard guard(lock_);
  auto it = itemsByID_.find(id);
  if (it == itemsByID_.end() || it->second >= indexItems_.size()) return std::nullopt;
  return indexItems_[it->second];
}

std::vector<IndexItem> SimilarityIndex::sample(std::size_t count) const {
  std::lock_guard guard(lock_);
  const std::size_t n = std::min(count, indexItems_.size());
  return std::vector<IndexItem>(indexItems_.begin(), indexItems_.begin() + std::ptrdiff_t(n));
}

bool SimilarityIndex::updateItem(const std::string& id, const std::optional<std::string>& text,
                                 const std::optional<std::vector<float>>& embedding,
                                 const std::optional<std::map<std::string, std::string>>& metadata) {
  std::lock_guard guard(lock_);
  if (embedding && embedding->size() != std::size_t(dimension_)) {
    simkit::printLine("Dimension mismatch, expected " + std::to_string(dimension_) + ", saw " +
                      std::to_string(embedding->size()));
    return false;
  }
  auto it = itemsByID_.find(id);
  if (it == itemsByID_.end() || it->second >= indexItems_.size()) return false;
  IndexItem& item = indexItems_[it->second];
  if (text) item.text = *text;
  if (metadata) item.metadata = *metadata;
  if (embedding) {
    item.embedding = *embedding;
    if (hnswIndex_) {
      hnswIndex_->remove(id);
      hnswIndex_->insert(id, *embedding);
    }
  }
  return true;
}

void SimilarityIndex::removeItem(const std::string& id) {
  std::lock_guard guard(lock_);
  if (hnswIndex_) hnswIndex_->remove(id);
  std::erase_if(indexItems_, [&](const IndexItem& item) { return item.id == id; });
  rebuildItemIndexLocked();
}

void SimilarityIndex::removeAll() {
  std::lock_guard guard(lock_);
  hnswIndex_.reset();
  indexItems_.clear();
  rebuildItemIndexLocked();
}

std::vector<IndexItem> SimilarityIndex::items() const {
  std::lock_guard guard(lock_);
  return indexItems_;
}

std::size_t SimilarityIndex::itemCount() const {
  std::lock_guard guard(lock_);
  return indexItems_.size();
}

std::shared_ptr<HNSWIndex> SimilarityIndex::hnswIndex() const {
  std::lock_guard guard(lock_);
  return hnswIndex_;
}

void SimilarityIndex::setItems(std::vector<IndexItem> items) {
  std::lock_guard guard(lock_);
  indexItems_ = std::move(items);
}

void SimilarityIndex::rebuildItemIndex() {
  std::lock_guard guard(lock_);
  rebuildItemIndexLocked();
}

void SimilarityIndex::rebuildHNSWIndex() {
  std::lock_guard guard(lock_);
  rebuildHNSWIndexLocked();
}

void SimilarityIndex::rebuildItemIndexLocked() {
  itemsByID_.clear();
  for (std::size_t i = 0; i < indexItems_.size(); ++i) itemsByID_[indexItems_[i].id] = i;
}

void SimilarityIndex::rebuildHNSWIndexLocked() {
  if (!useHNSW_ || indexItems_.empty()) {
    hnswIndex_.reset();
    return;
  }
  auto graph = makeGraph();
  graph->reserve(indexItems_.size());
  for (const auto& item : indexItems_) graph->insert(item.id, item.embedding);
  hnswIndex_ = std::move(graph);
}

std::string SimilarityIndex::graphPath(const std::string& directory, const std::string& name) const {
  return joinPath(directory, (name.empty() ? indexName_ : name) + ".hnsw");
}

Status SimilarityIndex::saveHNSW(const std::string& directory, const std::string& name) {
  std::shared_ptr<HNSWIndex> graph;
  {
    std::lock_guard guard(lock_);
    if (!useHNSW_) return okStatus();
    rebuildHNSWIndexLocked();  // drops tombstones: the node count equals the item count
    graph = hnswIndex_;
  }
  if (!graph) return okStatus();
  return writeFileAtomically(graphPath(directory, name), graph->serialize());
}

HNSWLoadOutcome SimilarityIndex::loadOrRebuildHNSW(const std::string& directory, const std::string& name) {
  std::lock_guard guard(lock_);
  if (!useHNSW_ || indexItems_.empty()) return HNSWLoadOutcome::skipped;
  const std::string path = graphPath(directory, name);
  if (fileExists(path)) {
    auto data = readFileToString(path);
    if (data.ok()) {
      auto graph = makeGraph();
      Status loaded = graph->deserialize(data.value(), indexItems_);
      if (loaded.ok()) {
        hnswIndex_ = std::move(graph);
        return HNSWLoadOutcome::loaded;
      }
      simkit::printLine("Failed to deserialize HNSW, rebuilding: " + loaded.error().description());
    }
  }
  rebuildHNSWIndexLocked();
  return HNSWLoadOutcome::rebuilt;
}

std::string SimilarityIndex::defaultStorageDirectory() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] != '\0') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = joinPath(home != nullptr ? home : ".", ".local/share");
  }
  return joinPath(base, "SimilaritySearchKit");
}

Result<std::string> SimilarityIndex::saveIndex(const std::string& directory, const std::string& name) {
  const std::string dir = directory.empty() ? defaultStorageDirectory() : directory;
  PALLIX_RETURN_IF_ERROR(createDirectories(dir));
  const std::string stem = name.empty() ? indexName_ : name;
  bool useGraph;
  std::vector<IndexItem> snapshot;
  std::shared_ptr<HNSWIndex> graph;
  {
    std::lock_guard guard(lock_);
    useGraph = useHNSW_;
    // A graph with tombstones no longer lines up node for item, and loading would reject it and rebuild.
    if (useGraph && hnswIndex_ && hnswIndex_->count() != static_cast<int64_t>(indexItems_.size())) {
      rebuildHNSWIndexLocked();
    }
    snapshot = indexItems_;
    graph = hnswIndex_;
  }
  PALLIX_ASSIGN_OR_RETURN(std::string location, vectorStore_->saveIndex(snapshot, dir, stem));
  if (useGraph && graph) {
    const std::string path = joinPath(dir, stem + ".hnsw");
    const std::string image = graph->serialize();
    PALLIX_RETURN_IF_ERROR(writeFileAtomically(path, image));
    simkit::printLine("Saved HNSW index (" + std::to_string(image.size()) + " bytes) to " + path);
  }
  simkit::printLine("Saved " + std::to_string(snapshot.size()) + " index items to " + location);
  return location;
}

Result<std::vector<IndexItem>> SimilarityIndex::loadIndex(const std::string& directory, const std::string& name) {
  const std::string dir = directory.empty() ? defaultStorageDirectory() : directory;
  const std::string stem = name.empty() ? indexName_ : name;
  const std::string wanted = stem + "." + vectorStore_->fileExtension();
  std::string storeFile;
  for (const auto& path : vectorStore_->listIndexes(dir)) {
    if (std::filesystem::path(path).filename() == wanted) storeFile = path;
  }
  if (storeFile.empty()) return Error::make("No index file " + wanted + " in " + dir);
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexItem> loaded, vectorStore_->loadIndex(storeFile));

  std::lock_guard guard(lock_);
  indexItems_ = loaded;
  rebuildItemIndexLocked();
  if (useHNSW_) {
    const std::string path = joinPath(std::filesystem::path(storeFile).parent_path().string(), stem + ".hnsw");
    bool installed = false;
    if (fileExists(path)) {
      auto data = readFileToString(path);
      if (data.ok()) {
        auto graph = makeGraph();
        Status status = graph->deserialize(data.value(), indexItems_);
        if (status.ok()) {
          hnswIndex_ = std::move(graph);
          installed = true;
          simkit::printLine("Loaded HNSW index from " + path);
        } else {
          simkit::printLine("Failed to deserialize HNSW, rebuilding: " + status.error().description());
        }
      }
    }
    if (!installed) rebuildHNSWIndexLocked();
  }
  return loaded;
}

std::size_t SimilarityIndex::estimatedSizeInBytes() const {
  std::lock_guard guard(lock_);
  std::size_t bytes = 0;
  for (const auto& item : indexItems_) {
    bytes += sizeof(IndexItem) + item.id.size() + item.text.size() + item.embedding.size() * sizeof(float);
    for (const auto& [key, value] : item.metadata) bytes += key.size() + value.size();
  }
  return bytes;
}

std::string SimilarityIndex::combinedResultsString(const std::vector<SearchResult>& results) {
  std::string out;
  for (const auto& result : results) {
    if (!out.empty()) out += "\n";
    out += result.text;
  }
  return out;
}

std::string SimilarityIndex::exportLLMPrompt(const std::string& query, const std::vector<SearchResult>& results) {
  return "Given the following context, answer the question.\n\nContext:\n" + combinedResultsString(results) +
         "\n\nQuestion: " + query + "\nAnswer:";
}

}  // namespace pallix
