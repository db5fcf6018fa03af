#include <iostream>

#include "app/platform/DataDirectories.h"
#include "cli/Command.h"
#include "cli/Display.h"

namespace pallix::cli {
namespace {

int runPaths(Args& args) {
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("paths", args.failure());
  if (!rest.empty()) return usageError("paths", "takes no arguments");
  DataDirectories dirs = DataDirectories::fromEnvironment();
  if (json) {
    printJson({{"home", dirs.home},
               {"data", dirs.data},
               {"cache", dirs.cache},
               {"store", dirs.storePath()},
               {"defaults", dirs.defaultsPath()},
               {"models", dirs.modelsDirectory()}});
  } else {
    const std::pair<const char*, std::string> rows[] = {{"home", dirs.home},
                                                        {"data", dirs.data},
                                                        {"cache", dirs.cache},
                                                        {"store", dirs.storePath()},
                                                        {"defaults", dirs.defaultsPath()},
                                                        {"models", dirs.modelsDirectory()}};
    for (const auto& [label, path] : rows) std::cout << printableColumn(label, 10) << printable(path) << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("paths", "show where Pallix keeps its data",
               "Usage: pallix paths [--json]\n\nShows the home, data, cache, store and settings locations.\n"
               "PALLIX_HOME overrides the home folder.\n",
               runPaths);

}  // namespace pallix::cli
