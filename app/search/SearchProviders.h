// The catalog-backed providers of the search session: app search through
// AppSearcher over the stored apps, and files-mode search through
// QueryParser and FileSearcher.
//
// Each provider uses the store connection it is given from one thread at a
// time: the app provider on the main runner, the file provider on the search
// runner (give it its own connection to the same file; WAL lets it read
// while the indexer writes).
#pragma once

#include <memory>
#include <optional>

#include "app/platform/PersistentStore.h"
#include "app/search/AppSearcher.h"
#include "app/search/CatalogStore.h"
#include "app/search/ContentViewModel.h"
#include "core/Clock.h"

namespace pallix {

// The stored apps, versioned by the store's change counters: the version
// changes whenever this or another connection commits, so AppSearcher's
// prepared list is rebuilt only after the catalog changed.
class StoreAppCatalogSource final : public AppCatalogSource {
 public:
  explicit StoreAppCatalogSource(PersistentStore& store) : store_(store), catalog_(store) {}
  std::optional<UUID> snapshotVersion() const override;
  Result<std::vector<IndexedItem>> apps() const override;

 private:
  PersistentStore& store_;
  mutable CatalogStore catalog_;
};

class CatalogAppSearchProvider final : public AppSearchProvider {
 public:
  explicit CatalogAppSearchProvider(PersistentStore& store) : source_(store), catalog_(store) {}
  Result<std::vector<IndexedItem>> fetchApps(const std::string& query) override;
  std::vector<IndexedItem> sortApps(std::vector<IndexedItem> apps, const std::string& normalizedQuery) override;
  Status saveApp(const IndexedItem& app) override;

 private:
  StoreAppCatalogSource source_;
  CatalogStore catalog_;
};

class CatalogFileSearchProvider final : public FileSearchProvider {
 public:
  CatalogFileSearchProvider(PersistentStore& store, const Clock& clock) : store_(store), clock_(clock) {}
  Result<std::vector<FileSearchResult>> search(const std::string& text, int limit) override;

 private:
  PersistentStore& store_;
  const Clock& clock_;
};

}  // namespace pallix
