#include "bench/support/ProcessTiming.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>

namespace pallix::bench {

ProcessTiming runTimed(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                       const std::string& stdoutPath, const std::vector<int>& expectedStatuses) {
  std::vector<std::string> env = environment;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);  // the first of a name wins in getenv
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  ProcessTiming timing;
  timing.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  timing.cpu =
      usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  timing.peakMiB = usage.ru_maxrss / 1024.0;
  timing.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (std::find(expectedStatuses.begin(), expectedStatuses.end(), timing.status) == expectedStatuses.end()) {
    std::cerr << argv[0] << " failed (status " << timing.status << ")\n";
  }
  return timing;
}

}  // namespace pallix::bench
