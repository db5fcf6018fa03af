// ChildProcess: a program started from an argv with pipes to its standard
// input and output, for the tools that move clipboard data (wl-copy,
// wl-paste, wtype). ProcessCommandRunner covers programs that need no input.
// Not thread-safe; one owner.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

class ChildProcess {
 public:
  ~ChildProcess();
  // Starts argv[0] (looked up in PATH); stderr goes to /dev/null. With
  // `newSession` the child leads a session of its own (it outlives us).
  static Result<ChildProcess> start(const std::vector<std::string>& argv, bool newSession = false);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;

  int outputDescriptor() const { return out_; }
  // Writes `input` and closes the child's standard input.
  Status finishInput(const std::string& input);
  // Reads standard output until the child closes it or `timeout` passes,
  // then waits for it; a child still running is killed.
  Result<std::string> readAllAndWait(Duration timeout);
  // Waits for the child to exit without reading its output (tools that
  // leave a server holding the pipe, such as wl-copy).
  Status waitForExit(Duration timeout);
  void kill();
  // Lets the child run on unwaited when this object goes.
  void release() { pid_ = -1; }

  // Runs argv with `input` and returns its output; fails on a non-zero exit.
  static Result<std::string> run(const std::vector<std::string>& argv, const std::string& input, Duration timeout);

 private:
  ChildProcess() = default;
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string program_;
};

// The absolute path of `program` in $PATH, or empty.
std::string findInPath(const std::string& program);

}  // namespace pallix
