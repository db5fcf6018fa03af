#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/platform/CommandRunner.h"

namespace pallix {

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
