#include "CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "core/Strings.h"

namespace pallix::testing {
namespace {

constexpr const char* kExitMarker = "[pane command exited] ";

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit) {
  ProcessResult result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  for (const std::string& dir : splitString(path ? path : "", ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
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
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string shown = screen(name);
    bool all = true;
    for (const auto& t : texts) all = all && shown.find(t) != std::string::npos;
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int Tmux::waitForExit(const std::string& name, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string shown = screen(name);
    const size_t at = shown.rfind(kExitMarker);
    if (at != std::string::npos) return std::atoi(shown.c_str() + at + std::strlen(kExitMarker));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace pallix::testing
