// CommandRunner: the one way Pallix starts other programs.
//
// Programs are always started from an argv (never through a shell).
// ProcessCommandRunner (linux/) is the real implementation;
// RecordingCommandRunner records every request so tests can assert on the
// exact argv. Implementations are thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

struct LaunchOptions {
  // The child's working directory; the launcher's own when empty.
  std::string workingDirectory;
};

struct CommandOutput {
  int exitStatus = 0;  // the exit code, or 128 + the signal number that ended it
  std::string standardOutput;
  std::string standardError;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Starts argv[0] (looked up in PATH when it has no '/') detached: in its own
  // session, not a child of this process, with stdin, stdout and stderr on
  // /dev/null. Returns once the program runs or could not be started.
  virtual Status launchDetached(const std::vector<std::string>& argv, const LaunchOptions& options = {}) = 0;
  // Runs argv to completion, capturing its output. A program still running
  // after `timeout` is killed and reported as an error.
  virtual Result<CommandOutput> run(const std::vector<std::string>& argv, Duration timeout) = 0;
  // The absolute path `program` would run as, if it exists and is executable.
  virtual std::optional<std::string> findExecutable(const std::string& program) const = 0;
};

// Records requests and answers from canned results (tests).
class RecordingCommandRunner final : public CommandRunner {
 public:
  enum class Kind { launch, run };
  struct Call {
    Kind kind;
    std::vector<std::string> argv;
    LaunchOptions options;
  };

  Status launchDetached(const std::vector<std::string>& argv, const LaunchOptions& options = {}) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Kind::launch, argv, options});
    if (!argv.empty() && launchFailures_.count(argv[0])) return launchFailures_.at(argv[0]);
    return okStatus();
  }
  Result<CommandOutput> run(const std::vector<std::string>& argv, Duration) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Kind::run, argv, {}});
    if (!argv.empty() && runResults_.count(argv[0])) return runResults_.at(argv[0]);
    return CommandOutput{};
  }
  std::optional<std::string> findExecutable(const std::string& program) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!executables_.count(program)) return std::nullopt;
    return program.find('/') == std::string::npos ? "/usr/bin/" + program : program;
  }

  // Programs findExecutable reports as installed.
  void addExecutable(const std::string& program) {
    std::lock_guard<std::mutex> lock(mutex_);
    executables_.insert(program);
  }
  // What run() answers for argv[0] == program (default: exit 0, no output).
  void setRunResult(const std::string& program, Result<CommandOutput> result) {
    std::lock_guard<std::mutex> lock(mutex_);
    runResults_.insert_or_assign(program, std::move(result));
  }
  // Makes launchDetached() fail for argv[0] == program.
  void setLaunchFailure(const std::string& program, Error error) {
    std::lock_guard<std::mutex> lock(mutex_);
    launchFailures_.insert_or_assign(program, std::move(error));
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The argv of every call, in order.
  std::vector<std::vector<std::string>> argvs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<std::string>> out;
    for (const auto& c : calls_) out.push_back(c.argv);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::set<std::string> executables_;
  std::map<std::string, Result<CommandOutput>> runResults_;
  std::map<std::string, Error> launchFailures_;
};

}  // namespace pallix
