// pallix-commands: every pallix command. The `pallix` front end runs the
// light commands itself and starts this program for the others, with the
// same arguments.
#include <cstring>
#include <iostream>

#include "cli/Command.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace {

void printUsage() {
  std::cout << "pallix: local search and launch\n\n"
               "Usage: pallix COMMAND [ARGS...]\n"
               "       pallix --version\n\nCommands:\n";
  for (const auto& [name, info] : pallix::cli::CommandRegistry::instance().commands()) {
    std::cout << "  " << name;
    for (size_t i = name.size(); i < 12; ++i) std::cout << ' ';
    std::cout << info.summary << "\n";
  }
  std::cout << "\nRun 'pallix COMMAND --help' for a command's options.\n"
               "Environment: PALLIX_HOME points Pallix at another home folder; PALLIX_LOG=debug|info|error|off.\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pallix::cli;
  pallix::usePrivateUmask();
  useUserLocale();
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    printUsage();
    return argc < 2 ? kExitUsage : kExitOk;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::cout << "pallix " << PALLIX_VERSION << "\n";
    return kExitOk;
  }
  if (std::optional<int> status = runRegisteredCommand(argc, argv)) return *status;
  printError("unknown command " + pallix::inQuotes(argv[1]), "Run 'pallix --help' to list the commands.");
  return kExitUsage;
}
