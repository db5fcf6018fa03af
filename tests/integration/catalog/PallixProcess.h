// Runs the built `pallix` binary for the catalog tests: in a home of its own
// (PALLIX_HOME and HOME), with no runtime directory shared with a daemon the
// developer may be running and no system applications, optionally as
// another user.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "testing/TestProcess.h"

namespace pallix::testing {

inline std::unique_ptr<BackgroundProcess> startPallix(const std::string& home, std::vector<std::string> args,
                                                      std::optional<uid_t> uid = {}) {
  args.insert(args.begin(), PALLIX_BINARY);
  return std::make_unique<BackgroundProcess>(
      args, Environment{{"PALLIX_HOME", home}, {"HOME", home}, {"XDG_DATA_DIRS", home + "/.no-system-data"}},
      ProcessOptions{.cleanEnvironment = true, .uid = uid});
}

inline ProcessResult runPallix(const std::string& home, const std::vector<std::string>& args,
                               std::optional<uid_t> uid = {}) {
  return startPallix(home, args, uid)->finish();
}

}  // namespace pallix::testing
