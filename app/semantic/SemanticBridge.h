// SemanticBridge: connects the panel's file search to the file embedding
// store. It says whether semantic search can run, runs it, and merges its
// hits into the file searcher's text results.
//
// Threading: stateless apart from its collaborators; every call chains
// asynchronous store (and indexer) calls and answers on the caller's
// Completion. The catalog lookup of the merge runs on the caller's runner,
// where the caller's catalog connection lives.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/MatchReason.h"
#include "app/semantic/FileChunkIndexer.h"
#include "app/semantic/FileChunkStore.h"
#include "core/Logger.h"

namespace pallix {

// One semantic hit: the chunk and the file it came from.
struct SemanticResult {
  std::string filePath;
  std::string fileName;
  float similarity = 0;
  std::string chunkID;
  FileChunkMetadata chunk;
  // The chunk's passage that best matches the query.
  MatchReason why;
};

// The catalog record of a path (a fetch limited to one), or nullopt.
using CatalogLookup = std::function<std::optional<IndexedItem>(const std::string& path)>;

struct SemanticMergeResult {
  // Sorted by score, best first; each path once.
  std::vector<FileSearchResult> results;
  // Paths that a semantic hit raised or added.
  std::set<std::string> semanticPaths;
  // Results that only the semantic search found.
  std::size_t addedCount = 0;
};

class SemanticBridge {
 public:
  static constexpr float kTextMatchBoost = 0.1f;

  // `indexer` may be null (then the status never reads "rebuilding").
  SemanticBridge(std::shared_ptr<FileChunkStore> store, std::shared_ptr<FileChunkIndexer> indexer)
      : embeddingStore_(std::move(store)), chunkIndexer_(std::move(indexer)) {}

  void canPerformSearch(Completion<bool> done) const;
  void status(Completion<SemanticIndexStatus> done) const;
  void search(std::string query, int limit, Completion<std::vector<SemanticResult>> done) const;
  // Runs the semantic search for `query` and merges it into `text`; `done`
  // and `lookup` run on `runner` (the caller's).
  void mergeWithTextResults(std::vector<FileSearchResult> text, std::string query, int limit, CatalogLookup lookup,
                            TaskRunnerPtr runner, std::function<void(SemanticMergeResult)> done) const;

  // The merge itself: a text result that is also a semantic hit gains 0.1
  // (at most 1.0); another hit joins with its similarity as score, as its
  // catalog record or else a transient item for the path.
  static SemanticMergeResult merge(std::vector<FileSearchResult> text, const std::vector<SemanticResult>& semantic,
                                   const CatalogLookup& lookup);
  // A catalog-like record for a file the catalog does not hold.
  static IndexedItem transientItem(const SemanticResult& hit);

 private:
  std::shared_ptr<FileChunkStore> embeddingStore_;
  std::shared_ptr<FileChunkIndexer> chunkIndexer_;
  Logger logger_{"SemanticBridge"};
};

}  // namespace pallix
