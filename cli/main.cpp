// pallix: the command-line front end.
#include <unicode/locid.h>

#include <clocale>
#include <cstdlib>
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

// Numbers, currencies and units are formatted for the user's locale; a
// process without one (LANG unset, "C" or "POSIX") formats as en_US rather
// than ICU's bare root locale.
void useUserLocale() {
  std::setlocale(LC_ALL, "");
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string locale(value);
    if (locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0) break;
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale.substr(0, locale.find('.')).c_str()), status);
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US"), status);
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
  const auto& commands = CommandRegistry::instance().commands();
  auto it = commands.find(argv[1]);
  if (it == commands.end()) {
    printError("unknown command " + pallix::inQuotes(argv[1]), "Run 'pallix --help' to list the commands.");
    return kExitUsage;
  }
  std::vector<std::string> rest(argv + 2, argv + argc);
  for (const auto& a : rest) {
    if (a == "--help" || a == "-h") {
      std::cout << it->second.usage;
      if (!it->second.usage.empty() && it->second.usage.back() != '\n') std::cout << "\n";
      return kExitOk;
    }
  }
  Args args(std::move(rest));
  return it->second.run(args);
}
