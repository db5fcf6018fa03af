// The full migration list of the catalog store: the persistent store's own
// steps plus the file-name search index that the file searcher reads. Every
// component that opens "Pallix.sqlite" opens it with these steps, so the
// index triggers exist whenever the catalog is written.
#pragma once

#include <vector>

#include "app/platform/PersistentStore.h"

namespace pallix {

std::vector<MigrationStep> catalogMigrationSteps();

}  // namespace pallix
