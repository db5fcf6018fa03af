#include "app/search/SearchProviders.h"

#include <sqlite3.h>

#include "app/search/FileSearcher.h"
#include "app/search/PlainWordsSearch.h"
#include "app/search/QueryParser.h"

namespace pallix {

std::optional<UUID> StoreAppCatalogSource::snapshotVersion() const {
  // data_version moves when another connection commits; total_changes when
  // this one writes. Together they name the catalog's state.
  auto statement = store_.prepare("PRAGMA data_version");
  if (!statement.ok()) return std::nullopt;
  auto row = statement->step();
  if (!row.ok() || !row.value()) return std::nullopt;
  uint64_t dataVersion = static_cast<uint64_t>(statement->columnInt(0));
  uint64_t changes = static_cast<uint64_t>(store_.totalChanges());
  std::string text = "00000000-0000-4000-8000-000000000000";
  auto put = [&](size_t at, uint64_t value, int digits) {
    static const char* kHex = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i, value >>= 4) text[at + static_cast<size_t>(i)] = kHex[value & 15];
  };
  put(0, dataVersion, 8);
  put(24, changes, 12);
  return UUID::parse(text);
}

Result<std::vector<IndexedItem>> StoreAppCatalogSource::apps() const {
  return catalog_.fetchByType(IndexedItem::ItemType::app);
}

Result<std::vector<IndexedItem>> CatalogAppSearchProvider::fetchApps(const std::string& query) {
  return AppSearcher::fetchApps(source_, query, source_.snapshotVersion());
}

std::vector<IndexedItem> CatalogAppSearchProvider::sortApps(std::vector<IndexedItem> apps,
                                                            const std::string& normalizedQuery) {
  return AppSearcher::sort(apps, normalizedQuery);
}

Status CatalogAppSearchProvider::saveApp(const IndexedItem& app) {
  IndexedItem copy = app;
  return catalog_.save(copy);
}

Result<std::vector<FileSearchResult>> CatalogFileSearchProvider::search(const std::string& text, int limit) {
  const DateContext context = DateContext::current(clock_);
  auto page = searchPlainWords(store_.handle(), PlainWordsFilters::read(text, context), limit, context);
  if (!page.ok()) return page.error();
  return std::move(page->results);
}

}  // namespace pallix
