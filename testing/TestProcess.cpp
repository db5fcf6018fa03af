#include "testing/TestProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/Strings.h"

extern char** environ;

namespace pallix::testing {
namespace {

using Steady = std::chrono::steady_clock;

constexpr const char* kExitMarker = "[pane command exited] ";

std::vector<std::string> environmentFor(const Environment& env, bool clean) {
  Environment merged;
  if (clean) {
    merged = {{"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) merged[keep] = value;
    }
  } else {
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      const size_t equals = text.find('=');
      if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  for (const auto& [name, value] : env) merged[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : merged) entries.push_back(name + "=" + value);
  return entries;
}

int exitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds interval) {
  const auto deadline = Steady::now() + limit;
  while (!condition()) {
    if (Steady::now() >= deadline) return false;
    ::poll(nullptr, 0,
           static_cast<int>(interval.count()));  // a bounded wait between checks, not a fixed delay for the result
  }
  return true;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const Environment& env,
                                     ProcessOptions options) {
  // Everything the child needs is prepared here: after fork it may only
  // make system calls.
  std::vector<std::string> entries = environmentFor(env, options.cleanEnvironment);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (auto& e : entries) envp.push_back(e.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  int out[2], err[2], in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (options.errorTerminal) {
    if (::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) return;
    ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(err, O_CLOEXEC) != 0) {
    return;
  }
  if (options.inputPipe && ::pipe2(in, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    const int input = options.inputPipe ? in[0] : ::open("/dev/null", O_RDONLY);
    ::dup2(input, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (options.uid && (::setgroups(0, nullptr) != 0 || ::setgid(*options.uid) != 0 || ::setuid(*options.uid) != 0)) {
      ::_exit(126);
    }
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (in[0] >= 0) ::close(in[0]);
  input_ = in[1];
  collector_ = std::thread([this, o = out[0], e = err[0]] { collect(o, e); });
}

BackgroundProcess::~BackgroundProcess() {
  if (running()) stop(std::chrono::seconds(5));
  ended_ = true;
  if (collector_.joinable()) collector_.join();
  if (input_ >= 0) ::close(input_);
}

void BackgroundProcess::collect(int outFd, int errFd) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const int ready = ::poll(fds, 2, 20);
    if (ready < 0 && errno != EINTR) break;
    // Once the process has ended, what it wrote is all in the pipes; a
    // descendant that keeps them open is not waited for.
    if (ready <= 0) {
      if (ended_) break;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
        lines_.append(buffer, static_cast<size_t>(n));
        grew_.notify_all();
      } else {  // end of file, or EIO once a terminal's other side is closed
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
}

bool BackgroundProcess::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    ended_ = true;
  }
  return !status_;
}

void BackgroundProcess::signal(int number) {
  if (running()) ::kill(pid_, number);
}

bool BackgroundProcess::writeInput(const std::string& bytes) {
  return input_ >= 0 && ::write(input_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  if (!grew_.wait_for(lock, limit, [&] { return lines_.find('\n') != std::string::npos; })) return "";
  const size_t newline = lines_.find('\n');
  std::string line = lines_.substr(0, newline);
  lines_.erase(0, newline + 1);
  return line;
}

bool BackgroundProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return grew_.wait_for(lock, limit,
                        [&] { return out_.find(text) != std::string::npos || err_.find(text) != std::string::npos; });
}

std::string BackgroundProcess::output() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string BackgroundProcess::errorOutput() const {
  std::lock_guard lock(mutex_);
  return err_;
}

int BackgroundProcess::waitForExit(std::chrono::milliseconds limit) {
  if (!pollUntil([&] { return !running(); }, limit) || !status_) return -1;
  return exitStatus(*status_);
}

int BackgroundProcess::kill() {
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = status;
  ended_ = true;
  return -1;
}

ProcessResult BackgroundProcess::finish(std::chrono::milliseconds limit) {
  ProcessResult result;
  result.exitCode = waitForExit(limit);
  if (running()) result.exitCode = kill();
  ended_ = true;
  if (collector_.joinable()) collector_.join();
  result.out = output();
  result.err = errorOutput();
  return result;
}

int BackgroundProcess::stop(std::chrono::milliseconds limit) {
  if (!running()) return status_ ? exitStatus(*status_) : -1;
  ::kill(pid_, SIGTERM);
  const int status = waitForExit(limit);
  return running() ? kill() : status;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env, std::chrono::milliseconds limit,
                         ProcessOptions options) {
  return BackgroundProcess(argv, env, options).finish(limit);
}

XvfbDisplay::XvfbDisplay() : server_({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"}) {
  if (!pollUntil([&] { return server_.output().find('\n') != std::string::npos || !server_.running(); },
                 std::chrono::seconds(20)) ||
      server_.output().find('\n') == std::string::npos) {
    failure_ = "Xvfb did not report a display: " + server_.errorOutput();
    return;
  }
  const std::string number = server_.output();
  name_ = ":" + number.substr(0, number.find('\n'));
}

Tmux::Tmux(std::string dir) : socket_(dir + "/tmux.sock"), config_(dir + "/tmux.conf") {
  std::ofstream(config_) << "set -g remain-on-exit on\nset -g status off\nset -g history-limit 100\n";
}

Tmux::~Tmux() {
  tmux({"kill-server"});
}

ProcessResult Tmux::tmux(std::vector<std::string> args) {
  args.insert(args.begin(), {"tmux", "-S", socket_, "-f", config_});
  return runProcess(args, {}, std::chrono::seconds(10));
}

bool Tmux::start(const std::string& name, const std::string& command) {
  // tmux does not always report a dead pane's status; the shell prints it.
  const std::string line = command + "; echo " + kExitMarker + "$?";
  return tmux({"new-session", "-d", "-s", name, "-x", "160", "-y", "40", line}).exitCode == 0;
}

void Tmux::sendKeys(const std::string& name, const std::vector<std::string>& keys) {
  std::vector<std::string> args = {"send-keys", "-t", name};
  args.insert(args.end(), keys.begin(), keys.end());
  tmux(args);
}

std::string Tmux::screen(const std::string& name) {
  return tmux({"capture-pane", "-p", "-S", "-", "-t", name}).out;
}

std::string Tmux::format(const std::string& name, const std::string& format) {
  return std::string(trimWhitespace(tmux({"display-message", "-p", "-t", name, format}).out));
}

bool Tmux::waitForScreen(const std::string& name, const std::vector<std::string>& texts,
                         std::chrono::milliseconds limit) {
  return pollUntil(
      [&] {
        const std::string shown = screen(name);
        for (const auto& t : texts) {
          if (shown.find(t) == std::string::npos) return false;
        }
        return true;
      },
      limit);
}

int Tmux::waitForExit(const std::string& name, std::chrono::milliseconds limit) {
  int status = -1;
  pollUntil(
      [&] {
        const std::string shown = screen(name);
        const size_t at = shown.rfind(kExitMarker);
        if (at != std::string::npos) status = std::atoi(shown.c_str() + at + std::strlen(kExitMarker));
        return at != std::string::npos;
      },
      limit);
  return status;
}

}  // namespace pallix::testing
