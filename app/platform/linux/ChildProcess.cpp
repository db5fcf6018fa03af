#include "app/platform/linux/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/Strings.h"

extern char** environ;

namespace pallix {

std::string findInPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
  const char* path = std::getenv("PATH");
  for (const std::string& dir : splitString(path ? path : "/usr/bin:/bin", ':')) {
    std::string candidate = dir + "/" + program;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, bool newSession) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return Error::fromErrno("Cannot create a pipe", errno);
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return Error::fromErrno("Cannot create a pipe", errno);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (newSession) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ChildProcess child;
  child.program_ = argv.at(0);
  int rc = ::posix_spawnp(&child.pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    child.pid_ = -1;
    return Error::fromErrno("Cannot run " + argv[0], rc);
  }
  child.in_ = in[1];
  child.out_ = out[0];
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), in_(other.in_), out_(other.out_), program_(std::move(other.program_)) {
  other.pid_ = -1;
  other.in_ = other.out_ = -1;
}

ChildProcess::~ChildProcess() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (pid_ > 0) kill();
}

void ChildProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

Status ChildProcess::finishInput(const std::string& input) {
  size_t written = 0;
  while (written < input.size()) {
    ssize_t n = ::write(in_, input.data() + written, input.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Error::fromErrno("Cannot write to " + program_, errno);
    written += static_cast<size_t>(n);
  }
  ::close(in_);
  in_ = -1;
  return okStatus();
}

Result<std::string> ChildProcess::readAllAndWait(Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string output;
  char buffer[65536];
  while (out_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill();
      return Error("ChildProcessError", 1, program_ + " did not finish in time");
    }
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(out_, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error("ChildProcessError", 2,
                 program_ + " failed (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
  }
  return output;
}

Status ChildProcess::waitForExit(Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill();
      return Error("ChildProcessError", 1, program_ + " did not finish in time");
    }
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 5);
  }
  pid_ = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error("ChildProcessError", 2, program_ + " failed");
  }
  return okStatus();
}

Result<std::string> ChildProcess::run(const std::vector<std::string>& argv, const std::string& input,
                                      Duration timeout) {
  PALLIX_ASSIGN_OR_RETURN(ChildProcess child, start(argv));
  PALLIX_RETURN_IF_ERROR(child.finishInput(input));
  return child.readAllAndWait(timeout);
}

}  // namespace pallix
