#include "app/semantic/SemanticBridge.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "app/search/IndexedItem.h"
#include "app/semantic/FileChunking.h"

namespace pallix {

namespace {

void statusOf(const std::shared_ptr<FileChunkStore>& store, const std::shared_ptr<FileChunkIndexer>& indexer,
              Completion<SemanticIndexStatus> done) {
  if (!store) return done(SemanticIndexStatus::unavailable);
  store->snapshot(Completion<EmbeddingStoreSnapshot>([indexer, done](EmbeddingStoreSnapshot s) {
    if (!indexer || s.status == SemanticIndexStatus::unavailable) return done(s.status);
    indexer->progress(Completion<FileChunkIndexer::Progress>([status = s.status, done](FileChunkIndexer::Progress p) {
      done(p.isRebuilding && p.isIndexing ? SemanticIndexStatus::rebuilding : status);
    }));
  }));
}

}  // namespace

void SemanticBridge::status(Completion<SemanticIndexStatus> done) const {
  statusOf(embeddingStore_, chunkIndexer_, std::move(done));
}

void SemanticBridge::canPerformSearch(Completion<bool> done) const {
  if (!embeddingStore_) {
    logger_.info("canPerformSearch: embeddingStore is nil");
    return done(false);
  }
  logger_.debug("canPerformSearch: calling ensureIndexLoaded");
  embeddingStore_->ensureIndexLoaded(
      Completion<Status>([store = embeddingStore_, indexer = chunkIndexer_, logger = logger_, done](Status) {
        statusOf(store, indexer, Completion<SemanticIndexStatus>([logger, done](SemanticIndexStatus s) {
                   logger.debug("canPerformSearch: semantic index status is %s", semanticIndexStatusName(s));
                   done(s == SemanticIndexStatus::ready);
                 }));
      }));
}

void SemanticBridge::search(std::string query, int limit, Completion<std::vector<SemanticResult>> done) const {
  logger_.debug("SemanticBridge.search called for query: '%s'", query.c_str());
  if (!embeddingStore_) {
    logger_.info("SemanticBridge.search: embeddingStore is nil");
    return done({});
  }
  logger_.debug("SemanticBridge.search: calling store.search");
  std::string words = query;
  embeddingStore_->search(
      std::move(query), limit,
      Completion<std::vector<FileChunkSearchResult>>(
          [logger = logger_, done, words = std::move(words)](std::vector<FileChunkSearchResult> chunks) {
            logger.debug("SemanticBridge.search: got %ld results from store", static_cast<long>(chunks.size()));
            std::vector<SemanticResult> out;
            out.reserve(chunks.size());
            for (auto& c : chunks) {
              MatchReason why = passageReason(c.metadata.chunkText, words);
              out.push_back({c.metadata.filePath, c.metadata.fileName, c.similarity, c.chunkID, std::move(c.metadata),
                             std::move(why)});
            }
            done(std::move(out));
          }));
}

void SemanticBridge::mergeWithTextResults(std::vector<FileSearchResult> text, std::string query, int limit,
                                          CatalogLookup lookup, TaskRunnerPtr runner,
                                          std::function<void(SemanticMergeResult)> done) const {
  search(std::move(query), limit,
         Completion<std::vector<SemanticResult>>(std::move(runner), [text = std::move(text), lookup = std::move(lookup),
                                                                     done](std::vector<SemanticResult> hits) mutable {
           done(merge(std::move(text), hits, lookup));
         }));
}

IndexedItem SemanticBridge::transientItem(const SemanticResult& hit) {
  const std::string& path = hit.filePath;
  const std::string extension = hit.chunk.fileExtension;
  int64_t size = 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) size = int64_t(st.st_size);
  const Date modified = dateFromSecondsSince1970(hit.chunk.modifiedDate);
  const std::string name = hit.fileName.empty() ? path.substr(path.find_last_of('/') + 1) : hit.fileName;
  return IndexedItem::file(path, name, extension.empty() ? std::nullopt : std::optional<std::string>(extension), size,
                           std::nullopt, modified, fileCategoryFromExtension(extension), std::nullopt);
}

SemanticMergeResult SemanticBridge::merge(std::vector<FileSearchResult> text,
                                          const std::vector<SemanticResult>& semantic, const CatalogLookup& lookup) {
  SemanticMergeResult out;
  std::map<std::string, std::size_t> position;
  for (auto& result : text) {
    if (position.count(result.item.path)) continue;
    position[result.item.path] = out.results.size();
    out.results.push_back(std::move(result));
  }
  for (const auto& hit : semantic) {
    if (out.semanticPaths.count(hit.filePath)) continue;
    out.semanticPaths.insert(hit.filePath);
    if (auto it = position.find(hit.filePath); it != position.end()) {
      FileSearchResult& existing = out.results[it->second];
      existing.relevanceScore = std::min(1.0f, existing.relevanceScore + kTextMatchBoost);
      existing.why = withPassage(std::move(existing.why), hit.why);
      continue;
    }
    std::optional<IndexedItem> record = lookup ? lookup(hit.filePath) : std::nullopt;
    position[hit.filePath] = out.results.size();
    out.results.push_back(
        {record ? std::move(*record) : transientItem(hit), hit.similarity, FileMatchType::semantic, hit.why});
    ++out.addedCount;
  }
  std::stable_sort(out.results.begin(), out.results.end(), [](const FileSearchResult& a, const FileSearchResult& b) {
    return a.relevanceScore > b.relevanceScore;
  });
  return out;
}

}  // namespace pallix
