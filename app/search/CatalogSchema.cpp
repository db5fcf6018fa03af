#include "app/search/CatalogSchema.h"

#include "app/platform/ClipboardStoreSchema.h"
#include "app/search/FileSearcher.h"

namespace pallix {

std::vector<MigrationStep> catalogMigrationSteps() {
  std::vector<MigrationStep> steps = pallixMigrationSteps();
  int next = steps.empty() ? 1 : steps.back().version + 1;
  steps.push_back({next, "file name search index",
                   [](PersistentStore& store) { return FileSearcher::installNameIndex(store.handle()); }});
  steps.push_back({next + 1, "clipboard history: ClipboardItem, ClipboardRepresentation", createClipboardTables});
  return steps;
}

}  // namespace pallix
