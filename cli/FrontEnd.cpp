// pallix: the command-line front end. A one-shot command costs what its
// work costs: --version, calc, paths and files (without --open) run here, in
// a program that loads only SQLite, ICU and the C++ runtime. Every other
// command is handed, arguments unchanged, to pallix-commands (installed in
// libexec beside this program's bin folder), which links the whole system.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <string>

#include "cli/Command.h"
#include "cli/FilesCommand.h"
#include "core/FileUtil.h"

namespace {

// bin/pallix -> libexec/pallix-commands, in the build tree and installed.
std::string commandsProgram() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "pallix-commands";
  std::string path(self, static_cast<size_t>(n));
  const std::string bin = path.substr(0, path.rfind('/'));
  return bin.substr(0, bin.rfind('/')) + "/libexec/pallix-commands";
}

// Commands that need the session, the agent or the desktop.
bool runsHere(int argc, char** argv) {
  if (argc < 2) return false;
  const std::string command = argv[1];
  if (command == "files")
    return !pallix::cli::filesArgumentsOpenAResult(std::vector<std::string>(argv + 2, argv + argc));
  return command == "calc" || command == "paths";
}

}  // namespace

PALLIX_COMMAND("files", pallix::cli::kFilesSummary, pallix::cli::kFilesUsage,
               [](pallix::cli::Args& args) { return pallix::cli::runFiles(args, nullptr); });

int main(int argc, char** argv) {
  using namespace pallix::cli;
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::cout << "pallix " << PALLIX_VERSION << "\n";
    return kExitOk;
  }
  if (runsHere(argc, argv)) {
    // Not before handing on: pallix-commands must see the user's own umask.
    pallix::usePrivateUmask();
    useUserLocale();
    if (std::optional<int> status = runRegisteredCommand(argc, argv)) return *status;
  }
  const std::string program = commandsProgram();
  ::execv(program.c_str(), argv);
  printError("cannot start " + program + ": " + std::strerror(errno),
             "The pallix front end needs its commands beside it; reinstall with 'scripts/setup.sh --install'.");
  return kExitUnavailable;
}
