// Test support: runs the pallix executable as a child process, and drives a
// private tmux server to see its output on a real terminal. Every wait is a
// bounded poll.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace pallix::testing {

struct ProcessResult {
  int exitCode = -1;  // -1 when it had to be killed at the deadline
  std::string out;
  std::string err;
};

// Runs `argv` with `env` added to this process's environment; stdin is
// /dev/null. Kills the child after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// Whether `program` is found on PATH.
bool onPath(const std::string& program);

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
