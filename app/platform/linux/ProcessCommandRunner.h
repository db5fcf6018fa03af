// ProcessCommandRunner: starts programs with fork/exec and posix_spawn.
//
// Detached launches use a double fork: the intermediate child calls setsid()
// and exits at once, so the program is re-parented to init (or the session's
// subreaper) and never becomes a zombie of Pallix. Only async-signal-safe calls
// run between fork and exec, since Pallix is multi-threaded. A close-on-exec
// pipe reports a failed exec back to the caller. Stateless and thread-safe.
#pragma once

#include "app/platform/CommandRunner.h"

namespace pallix {

class ProcessCommandRunner final : public CommandRunner {
 public:
  Status launchDetached(const std::vector<std::string>& argv, const LaunchOptions& options = {}) override;
  Result<CommandOutput> run(const std::vector<std::string>& argv, Duration timeout) override;
  std::optional<std::string> findExecutable(const std::string& program) const override;
};

}  // namespace pallix
