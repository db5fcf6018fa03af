// The pallix command-line front end: subcommands register themselves here.
//
// Each subcommand lives in its own file and registers with
// PALLIX_COMMAND(name, summary, usage, function). Exit codes mean the same
// everywhere: 0 success, 1 the operation failed or found nothing, 2 the
// command line was wrong, 3 something the command needs is missing (a model,
// a store), 130 interrupted.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnavailable = 3;
constexpr int kExitInterrupted = 130;

// The exit status of a command that failed with `error`, from its canonical
// code: the input is wrong (kExitUsage), something needed is missing, damaged
// or off (kExitUnavailable), it was interrupted (kExitInterrupted), anything
// else (kExitFailure). The one place a failure's status is chosen.
int exitStatusFor(const Error& error);

// The arguments after the subcommand name. Options are consumed as they are
// read; whatever is left must be positional.
class Args {
 public:
  explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}

  // Consumes a boolean flag such as "--json".
  bool flag(const std::string& name);
  // Consumes "--name VALUE" or "--name=VALUE".
  std::optional<std::string> option(const std::string& name);
  // Consumes an integer option; prints a usage error and sets failed() when malformed.
  std::optional<long long> intOption(const std::string& name);
  // The arguments not consumed as options. Reports the first leftover "--x" as unknown.
  std::vector<std::string> positionals();
  bool failed() const { return failed_; }
  const std::string& failure() const { return failure_; }

 private:
  std::vector<std::string> args_;
  bool failed_ = false;
  std::string failure_;
};

struct CommandInfo {
  std::string name;
  std::string summary;
  std::string usage;  // Full help text shown by `pallix NAME --help`.
  std::function<int(Args&)> run;
};

class CommandRegistry {
 public:
  static CommandRegistry& instance();
  void add(CommandInfo info) { commands_[info.name] = std::move(info); }
  const std::map<std::string, CommandInfo>& commands() const { return commands_; }

 private:
  std::map<std::string, CommandInfo> commands_;
};

struct CommandRegistrar {
  CommandRegistrar(const char* name, const char* summary, const char* usage, std::function<int(Args&)> run) {
    CommandRegistry::instance().add(CommandInfo{name, summary, usage, std::move(run)});
  }
};

#define PALLIX_COMMAND_CONCAT2(a, b) a##b
#define PALLIX_COMMAND_CONCAT(a, b) PALLIX_COMMAND_CONCAT2(a, b)
#define PALLIX_COMMAND(name, summary, usage, fn) \
  static ::pallix::cli::CommandRegistrar PALLIX_COMMAND_CONCAT(pallix_command_, __LINE__)(name, summary, usage, fn)

// Numbers, currencies and units are formatted for the user's locale; a
// process without one (LANG unset, "C" or "POSIX") formats as en_US rather
// than ICU's bare root locale.
void useUserLocale();
// Runs the registered command named argv[1] with the rest of argv (or
// prints its usage for --help); nullopt when no command has that name.
std::optional<int> runRegisteredCommand(int argc, char** argv);

// Prints "pallix: MESSAGE" to stderr, and a hint line when given, both
// escaped for the terminal.
void printError(const std::string& message, const std::string& hint = "");
// Prints a usage error for `command` and returns kExitUsage.
int usageError(const std::string& command, const std::string& message);
// `value` as JSON text (`indent` -1 for one line). A string member that is
// not UTF-8 gets U+FFFD for its bad bytes and a "KEYBytes" member beside it
// with its exact bytes in hexadecimal.
std::string jsonText(nlohmann::json value, int indent = -1);
// Writes `value` as pretty JSON (see `jsonText`) with a newline to stdout.
void printJson(const nlohmann::json& value);
// True when stdout is a terminal (progress lines are drawn only then).
bool stdoutIsTerminal();
// Draws a one-line progress message on stderr when it is a terminal.
void printProgress(const std::string& line);
void clearProgress();

}  // namespace pallix::cli
