// Test support for the desktop integration tests: a private Xvfb display,
// long-running child processes (a watcher, a local web server, helper
// windows), and bounded polling. Nothing here sleeps for a fixed time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pallix::testing {

// Polls `condition` every few milliseconds until it holds or `limit` passes.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A child process running until the object goes (SIGTERM, then SIGKILL).
// Its standard output and error can be read line by line.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    bool captureOutput = false);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The next line of output, waiting at most `limit`; empty at the limit.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits for the process to end by itself; its exit status, or -1 at the limit.
  int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Sends SIGTERM and waits for the exit status (-1 when it had to be killed).
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

// Xvfb on a display number it picks itself (-displayfd), torn down with the object.
class XvfbDisplay {
 public:
  XvfbDisplay();
  ~XvfbDisplay();
  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // ":N"
  const std::string& failure() const { return failure_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string failure_;
};

}  // namespace pallix::testing
