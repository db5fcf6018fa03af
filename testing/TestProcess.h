// Child processes for the integration tests and the benchmarks that run the
// real executables: one-shot commands, long-running helpers whose output is
// read as it comes, a private Xvfb display and a private tmux server. Every
// wait is a bounded poll; nothing here sleeps for a fixed time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pallix::testing {

using Environment = std::map<std::string, std::string>;

struct ProcessResult {
  int exitCode = -1;  // 128 + the signal that ended it; -1 when it was killed at the limit
  std::string out;
  std::string err;
};

struct ProcessOptions {
  // Starts from PATH=/usr/bin:/bin, LANG=C.UTF-8 and the sanitizer options
  // instead of this process's environment (no runtime directory, no display).
  bool cleanEnvironment = false;
  std::optional<uid_t> uid;    // runs as this user, in the group of the same number
  bool inputPipe = false;      // stdin is a pipe fed by writeInput(); /dev/null otherwise
  bool errorTerminal = false;  // stderr is a pseudo-terminal, as in an interactive shell
};

// Polls `condition` every `interval` until it holds or `limit` passes.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::milliseconds interval = std::chrono::milliseconds(5));

// A child process (in a process group of its own) with `env` set over its
// environment. Its standard output and error are collected as they come; the
// object's end stops it (SIGTERM, then SIGKILL).
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv, const Environment& env = {},
                             ProcessOptions options = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int number);
  bool writeInput(const std::string& bytes);
  // The next line of output (standard output and error as they interleave),
  // waiting at most `limit`; empty at the limit.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits until standard output or error holds `text`.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::string output() const;
  std::string errorOutput() const;
  // Waits for the process to end by itself; its exit status, or -1 at the limit.
  int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits for the end (killing it at the limit) and returns all its output.
  ProcessResult finish(std::chrono::milliseconds limit = std::chrono::seconds(120));
  // Sends SIGTERM and waits for the exit status (-1 when it had to be killed).
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  void collect(int outFd, int errFd);
  int kill();

  pid_t pid_ = -1;
  std::optional<int> status_;
  int input_ = -1;
  std::atomic<bool> ended_{false};
  mutable std::mutex mutex_;
  std::condition_variable grew_;
  std::string out_;
  std::string err_;
  std::string lines_;
  std::thread collector_;
};

// Runs `argv` to its end; killed after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60), ProcessOptions options = {});

// Xvfb on a display number it picks itself (-displayfd), torn down with the object.
class XvfbDisplay {
 public:
  XvfbDisplay();
  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // ":N"
  const std::string& failure() const { return failure_; }

 private:
  BackgroundProcess server_;
  std::string name_;
  std::string failure_;
};

// A tmux server of its own (socket in `dir`), one window of 160x40 whose
// pane stays after its command ends.
class Tmux {
 public:
  explicit Tmux(std::string dir);
  ~Tmux();
  // Starts `command` (run by sh) in a new session named `name`.
  bool start(const std::string& name, const std::string& command);
  void sendKeys(const std::string& name, const std::vector<std::string>& keys);
  // The visible screen and the lines scrolled off it.
  std::string screen(const std::string& name);
  std::string format(const std::string& name, const std::string& format);
  // Polls the screen until it holds every one of `texts`, or `limit` passed.
  bool waitForScreen(const std::string& name, const std::vector<std::string>& texts,
                     std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Polls until the pane's command has ended; its exit status, or -1 at the limit.
  int waitForExit(const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  ProcessResult tmux(std::vector<std::string> args);
  std::string socket_;
  std::string config_;
};

}  // namespace pallix::testing
