#include "app/semantic/SemanticFileSearch.h"

namespace pallix {

SemanticFileSearch::SemanticFileSearch(BridgeLookup bridge, PersistentStore& catalog, TaskRunnerPtr main,
                                       std::function<bool()> enabled)
    : bridge_(std::move(bridge)),
      catalog_(std::make_shared<CatalogStore>(catalog)),
      main_(std::move(main)),
      enabled_(std::move(enabled)) {}

void SemanticFileSearch::status(std::function<void(SemanticIndexStatus)> done) {
  SemanticBridge* bridge = bridge_ ? bridge_() : nullptr;
  if (!bridge) return done(SemanticIndexStatus::unavailable);
  bridge->status(Completion<SemanticIndexStatus>(main_, std::move(done)));
}

void SemanticFileSearch::canPerformSearch(std::function<void(bool)> done) {
  SemanticBridge* bridge = bridge_ ? bridge_() : nullptr;
  if (!bridge) return done(false);
  bridge->canPerformSearch(Completion<bool>(main_, std::move(done)));
}

void SemanticFileSearch::mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query, int limit,
                                              std::function<void(Merge)> done) {
  std::weak_ptr<CatalogStore> catalog = catalog_;
  CatalogLookup lookup = [catalog](const std::string& path) -> std::optional<IndexedItem> {
    auto store = catalog.lock();
    if (!store) return std::nullopt;
    auto found = store->fetchByPath(path);
    return found.ok() ? found.value() : std::nullopt;
  };
  SemanticBridge* bridge = bridge_ ? bridge_() : nullptr;
  if (!bridge) return done(Merge{std::move(text), 0});
  bridge->mergeWithTextResults(std::move(text), query, limit, std::move(lookup), main_,
                               [done = std::move(done)](SemanticMergeResult merged) {
                                 done(Merge{std::move(merged.results), merged.addedCount});
                               });
}

}  // namespace pallix
