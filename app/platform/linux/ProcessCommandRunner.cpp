#include "app/platform/linux/ProcessCommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "core/FileUtil.h"
#include "core/Strings.h"

extern char** environ;

namespace pallix {
namespace {

constexpr const char* kDomain = "CommandRunnerError";

std::vector<char*> cArgv(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Writes errno to `fd` and exits; for use between fork and exec only.
[[noreturn]] void reportAndExit(int fd, int err) {
  ssize_t ignored = ::write(fd, &err, sizeof(err));
  (void)ignored;
  ::_exit(127);
}

pid_t waitForChild(pid_t pid, int* status) {
  pid_t r;
  do {
    r = ::waitpid(pid, status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::optional<std::string> ProcessCommandRunner::findExecutable(const std::string& program) const {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    return isExecutableFile(program) ? std::optional<std::string>(program) : std::nullopt;
  }
  const char* pathEnv = std::getenv("PATH");
  std::string path = pathEnv && *pathEnv ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
  for (const auto& dir : splitString(path, ':')) {
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

Status ProcessCommandRunner::launchDetached(const std::vector<std::string>& argv, const LaunchOptions& options) {
  if (argv.empty() || argv[0].empty()) return Error(kDomain, 1, "Nothing to launch: empty command");
  auto executable = findExecutable(argv[0]);
  if (!executable) return Error(kDomain, 2, "Cannot launch " + argv[0] + ": no such executable");
  std::vector<char*> args = cArgv(argv);
  const char* program = executable->c_str();
  const char* workingDirectory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) return Error::fromErrno("Cannot launch " + argv[0], errno);
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(errorPipe[0]);
    ::close(errorPipe[1]);
    return Error::fromErrno("Cannot launch " + argv[0], err);
  }
  if (child == 0) {
    ::close(errorPipe[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) reportAndExit(errorPipe[1], errno);
    if (grandchild > 0) ::_exit(0);
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    struct sigaction defaults;
    std::memset(&defaults, 0, sizeof(defaults));
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0) reportAndExit(errorPipe[1], errno);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    if (devNull > 2) ::close(devNull);
    if (workingDirectory && ::chdir(workingDirectory) != 0) reportAndExit(errorPipe[1], errno);
    if (const auto mask = inheritedUmask()) ::umask(*mask);  // Pallix's own 077 is not the app's
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);              // no inherited descriptors survive exec
    ::execve(program, args.data(), environ);
    reportAndExit(errorPipe[1], errno);
  }
  ::close(errorPipe[1]);
  int status = 0;
  waitForChild(child, &status);
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(errorPipe[0], &childErrno, sizeof(childErrno));
  } while (n < 0 && errno == EINTR);
  ::close(errorPipe[0]);
  if (n == static_cast<ssize_t>(sizeof(childErrno))) {
    std::string where = workingDirectory && childErrno == ENOENT ? " (in " + options.workingDirectory + ")" : "";
    return Error::fromErrno("Cannot launch " + *executable + where, childErrno);
  }
  if (exitCodeOf(status) != 0) return Error(kDomain, 3, "Cannot launch " + *executable + ": the launcher failed");
  return okStatus();
}

Result<CommandOutput> ProcessCommandRunner::run(const std::vector<std::string>& argv, Duration timeout) {
  if (argv.empty() || argv[0].empty()) return Error(kDomain, 1, "Nothing to run: empty command");
  auto executable = findExecutable(argv[0]);
  if (!executable) return Error(kDomain, 2, "Cannot run " + argv[0] + ": no such executable");

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return Error::fromErrno("Cannot run " + argv[0], errno);
  if (::pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(out[0]);
    ::close(out[1]);
    return Error::fromErrno("Cannot run " + argv[0], e);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args = cArgv(argv);
  pid_t pid = 0;
  int spawnError = posix_spawn(&pid, executable->c_str(), &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  if (spawnError != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return Error::fromErrno("Cannot run " + *executable, spawnError);
  }

  CommandOutput result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.standardOutput, &result.standardError};
  int open = 2;
  bool timedOut = false;
  while (open > 0) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      timedOut = true;
      break;
    }
    int ready = ::poll(fds, 2, static_cast<int>(remaining.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[8192];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  waitForChild(pid, &status);
  if (timedOut) {
    return Error(
        kDomain, 4,
        stringPrintf("%s did not finish within %.1f s and was stopped", executable->c_str(), toSeconds(timeout)));
  }
  result.exitStatus = exitCodeOf(status);
  return result;
}

}  // namespace pallix
