#include "DesktopTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace pallix::testing {
namespace {

using Steady = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int stdoutFd,
            int keepFd) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  int devnull = ::open("/dev/null", O_RDWR);
  ::dup2(devnull, STDIN_FILENO);
  ::dup2(stdoutFd >= 0 ? stdoutFd : devnull, STDOUT_FILENO);
  ::dup2(stdoutFd >= 0 ? stdoutFd : devnull, STDERR_FILENO);
  if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
  for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

int waitWithin(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  const bool exited = pollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
  if (!exited) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Steady::now() + limit;
  while (!condition()) {
    if (Steady::now() >= deadline) return false;
    ::poll(nullptr, 0, 5);  // a bounded wait between checks, not a fixed delay for the result
  }
  return true;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env, bool captureOutput) {
  int out[2] = {-1, -1};
  if (captureOutput && ::pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = spawn(argv, env, out[1], -1);
  if (captureOutput) {
    ::close(out[1]);
    out_ = out[0];
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) stop(std::chrono::seconds(5));
  if (out_ >= 0) ::close(out_);
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds limit) {
  const auto deadline = Steady::now() + limit;
  while (buffered_.find('\n') == std::string::npos && out_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) return "";
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[512];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) break;
    buffered_.append(buffer, static_cast<size_t>(n));
  }
  size_t newline = buffered_.find('\n');
  if (newline == std::string::npos) return "";
  std::string line = buffered_.substr(0, newline);
  buffered_.erase(0, newline + 1);
  return line;
}

int BackgroundProcess::waitForExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  int status = 0;
  if (!pollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int BackgroundProcess::stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = waitWithin(pid_, limit);
  pid_ = -1;
  return status;
}

XvfbDisplay::XvfbDisplay() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    failure_ = "cannot create a pipe";
    return;
  }
  pid_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0", "640x480x24"}, {}, -1,
               fds[1]);
  ::close(fds[1]);
  std::string number;
  const auto deadline = Steady::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && Steady::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buffer[32];
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    failure_ = "Xvfb did not report a display";
    return;
  }
  name_ = ":" + number.substr(0, number.find('\n'));
}

XvfbDisplay::~XvfbDisplay() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  waitWithin(pid_, std::chrono::seconds(5));
}

}  // namespace pallix::testing
