// SemanticFileSearch: the semantic stage of the session's file search over
// the semantic bridge. Status, availability and the merge answer on the
// main runner, where the catalog lookup of the merge runs too (on the
// session's main-runner catalog connection).
//
// Owned by the session (shared_ptr); `catalog` must outlive it. The bridge
// is looked up on every call, because semantic search comes and goes with
// its preference: without one the index reads "unavailable".
#pragma once

#include <functional>
#include <memory>

#include "app/platform/PersistentStore.h"
#include "app/search/CatalogStore.h"
#include "app/search/SessionProviders.h"
#include "app/semantic/SemanticBridge.h"
#include "core/TaskRunner.h"

namespace pallix {

class SemanticFileSearch final : public FileSemanticSearch {
 public:
  // `enabled` reads the files preference ("FilesPreferences.semanticSearchEnabled").
  using BridgeLookup = std::function<SemanticBridge*()>;
  SemanticFileSearch(BridgeLookup bridge, PersistentStore& catalog, TaskRunnerPtr main, std::function<bool()> enabled);

  bool isEnabled() const override { return enabled_ && enabled_(); }
  void status(std::function<void(SemanticIndexStatus)> done) override;
  void canPerformSearch(std::function<void(bool)> done) override;
  void mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query, int limit,
                            std::function<void(Merge)> done) override;

 private:
  BridgeLookup bridge_;
  std::shared_ptr<CatalogStore> catalog_;
  TaskRunnerPtr main_;
  std::function<bool()> enabled_;
};

}  // namespace pallix
