// The full migration list of the catalog store: the persistent store's own
// steps plus the catalog's (the file-name search index and the app search
// keywords). Every component that opens "Pallix.sqlite" opens it with these
// steps, so the index triggers exist whenever the catalog is written, and
// CatalogStore needs them (it reads and writes the keywords column).
#pragma once

#include <vector>

#include "app/platform/PersistentStore.h"

namespace pallix {

std::vector<MigrationStep> catalogMigrationSteps();

}  // namespace pallix
