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

}  // namespace pallix
