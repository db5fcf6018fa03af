// Whole-process timings for the benchmarks that compare Pallix's commands
// with other programs: wall time, CPU time (user + system) and peak memory
// of one child process, run to its end.
#pragma once

#include <string>
#include <vector>

namespace pallix::bench {

struct ProcessTiming {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds, user + system
  double peakMiB = 0;
  int status = 0;  // the exit status; -1 when it did not exit normally
};

// Runs `argv` (looked up in PATH) with `environment` ("NAME=value") before
// ours, stdout to `stdoutPath` and stderr to /dev/null. A failure is
// reported on stderr unless the status is in `expectedStatuses`.
ProcessTiming runTimed(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                       const std::string& stdoutPath = "/dev/null", const std::vector<int>& expectedStatuses = {0});

}  // namespace pallix::bench
