// LastResults: the list of results last printed by `pallix search` or
// `pallix files`, kept in the cache folder so that `pallix open N` can
// activate one of them, and the activation itself, done by the search
// session exactly as the panel does it (a launch records the app's lastUsed
// in the catalog and sends the session's usage signals).
//
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/Workspace.h"
#include "app/search/CatalogStore.h"
#include "app/search/ContentViewModel.h"
#include "core/Error.h"

namespace pallix::cli {

struct LastResult {
  std::string kind;  // "app" or "file"
  std::string path;
  std::string name;  // as displayed
  std::string bundleIdentifier;
  std::string matchType;  // files: how the result matched ("prefix", ...)
};

Status saveLastResults(const DataDirectories& dirs, const std::vector<LastResult>& results);
Result<std::vector<LastResult>> loadLastResults(const DataDirectories& dirs);

// Activates `result` through `session`: an app is launched (or revealed), a
// file opened (or revealed). The record is read from `catalog`, so a result
// that is no longer catalogued is refused. The error quotes the cause the
// workspace gave. `workspace` is the session's own.
Status activateLastResult(ContentViewModel& session, const std::shared_ptr<Workspace>& workspace, CatalogStore& catalog,
                          const LastResult& result, bool reveal);

}  // namespace pallix::cli
