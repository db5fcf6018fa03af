// LastResults: the list of results last printed by `pallix search` or
// `pallix files`, kept in the cache folder so that `pallix open N` can
// activate one of them (ResultActivation.h).
//
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
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

}  // namespace pallix::cli
