// ResultActivation: a saved result activated by the search session exactly
// as the panel does it (a launch records the app's lastUsed in the catalog
// and sends the session's usage signals).
//
// Main thread only.
#pragma once

#include <memory>

#include "app/platform/Workspace.h"
#include "app/search/CatalogStore.h"
#include "app/search/ContentViewModel.h"
#include "cli/LastResults.h"
#include "core/Error.h"

namespace pallix::cli {

// Activates `result` through `session`: an app is launched (or revealed), a
// file opened (or revealed). The record is read from `catalog`, so a result
// that is no longer catalogued is refused. The error quotes the cause the
// workspace gave. `workspace` is the session's own.
Status activateLastResult(ContentViewModel& session, const std::shared_ptr<Workspace>& workspace, CatalogStore& catalog,
                          const LastResult& result, bool reveal);

}  // namespace pallix::cli
