// Runs the built `pallix` binary as a real process for the integration tests:
// in a home of its own (PALLIX_HOME), with no runtime directory shared with
// a daemon the developer may be running, optionally as another user.
// Waits are bounded polls, never fixed sleeps.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pallix::testing {

struct ProcessOutcome {
  int exitCode = -1;  // 128 + signal when a signal ended it
  std::string out;
  std::string err;
};

inline std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `done` every `interval` until it holds or `limit` passes.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(100)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

class PallixProcess {
 public:
  // Starts `pallix args...` with `home` as PALLIX_HOME and HOME; output goes
  // to hidden files in `home` (never catalogued). With `uid`, the process
  // runs as that user.
  PallixProcess(const std::string& home, const std::vector<std::string>& args, std::optional<uid_t> uid = {}) {
    static std::atomic<int> serial{0};
    const std::string stem = home + "/.output-" + std::to_string(serial++);
    outPath_ = stem + ".out";
    errPath_ = stem + ".err";
    std::vector<std::string> env = {"PALLIX_HOME=" + home, "HOME=" + home, "PATH=/usr/bin:/bin",
                                    "XDG_DATA_DIRS=" + home + "/.no-system-data", "LANG=C.UTF-8"};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
    }
    std::vector<std::string> argv = {PALLIX_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    for (auto& e : env) cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = ::open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(126);
      ::execve(cargv[0], cargv.data(), cenv.data());
      ::_exit(127);
    }
  }
  ~PallixProcess() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  PallixProcess(const PallixProcess&) = delete;
  PallixProcess& operator=(const PallixProcess&) = delete;

  bool running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return !status_;
  }
  // Waits (bounded) for the process to end; nullopt when it is still running.
  std::optional<ProcessOutcome> finish(std::chrono::milliseconds limit = std::chrono::seconds(120)) {
    if (!waitFor([&] { return !running(); }, limit)) return std::nullopt;
    ProcessOutcome outcome;
    outcome.exitCode = WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
    outcome.out = readWhole(outPath_);
    outcome.err = readWhole(errPath_);
    return outcome;
  }
  void signal(int number) { ::kill(pid_, number); }
  std::string errorOutput() const { return readWhole(errPath_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string outPath_;
  std::string errPath_;
};

// Runs one command to its end (bounded); exit code -1 when it did not end.
inline ProcessOutcome runPallix(const std::string& home, const std::vector<std::string>& args,
                                std::optional<uid_t> uid = {}) {
  PallixProcess process(home, args, uid);
  return process.finish().value_or(ProcessOutcome{});
}

}  // namespace pallix::testing
