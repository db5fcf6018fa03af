#include "app/search/CatalogSchema.h"

#include "app/platform/ClipboardStoreSchema.h"
#include "app/search/CatalogNameIndex.h"

namespace pallix {

std::vector<MigrationStep> catalogMigrationSteps() {
  std::vector<MigrationStep> steps = baseMigrationSteps();
  int next = steps.empty() ? 1 : steps.back().version + 1;
  auto installNameIndex = [](PersistentStore& store) { return CatalogNameIndex::install(store.handle()); };
  steps.push_back({next++, "file name search index", installNameIndex});
  // Desktop entries' generic names and keywords, one per line.
  steps.push_back({next++, "app search keywords", [](PersistentStore& store) {
                     return store.execute("ALTER TABLE IndexedItem ADD COLUMN keywords TEXT");
                   }});
  // Replaces the earlier index, which stored every name a second time.
  steps.push_back({next++, "file name search index over the catalog's own names", installNameIndex});
  steps.push_back({next++, "clipboard history: ClipboardItem, ClipboardRepresentation", createClipboardTables});
  steps.push_back({next++, "clipboard history: text stored once", storeClipboardTextOnce});
  steps.push_back({next++, "clipboard history: pinned items", addClipboardPins});
  steps.push_back({next++, "clipboard history: text items' vectors", addClipboardEmbeddings});
  return steps;
}

}  // namespace pallix
