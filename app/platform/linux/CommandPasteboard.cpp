#include "app/platform/linux/CommandPasteboard.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/Strings.h"

extern char** environ;

namespace pallix {
namespace {

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  for (const std::string& dir : splitString(path ? path : "/usr/bin:/bin", ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool hasEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

Error noTool() {
  return Error("PasteboardError", 1,
               "No clipboard tool found: install wl-clipboard (Wayland) or xclip (X11), and run inside a desktop "
               "session");
}

// Runs argv with `input` on its stdin and returns its stdout.
Result<std::string> runTool(const std::vector<std::string>& argv, const std::string* input) {
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
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return Error::fromErrno("Cannot run " + argv[0], rc);
  }
  if (input) {
    size_t written = 0;
    while (written < input->size()) {
      ssize_t n = ::write(in[1], input->data() + written, input->size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
  }
  ::close(in[1]);
  // Copy tools fork a server that keeps stdout open; stop reading once the
  // tool itself has exited and nothing more arrives.
  std::string output;
  char buffer[4096];
  int status = 0;
  bool exited = false;
  for (int idle = 0; idle < 50;) {
    pollfd p{out[0], POLLIN, 0};
    int ready = ::poll(&p, 1, 100);
    if (ready > 0) {
      ssize_t n = ::read(out[0], buffer, sizeof(buffer));
      if (n > 0) {
        output.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) break;
    }
    if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) exited = true;
    if (exited && ready == 0) break;
    if (ready == 0) ++idle;
  }
  ::close(out[0]);
  if (!exited) ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error("PasteboardError", 2, argv[0] + " failed (status " + std::to_string(WEXITSTATUS(status)) + ")");
  }
  return output;
}

}  // namespace

std::vector<std::string> CommandPasteboard::copyCommand() {
  if (hasEnv("WAYLAND_DISPLAY") && onPath("wl-copy")) return {"wl-copy", "--type", "text/plain"};
  if (hasEnv("DISPLAY") && onPath("xclip")) return {"xclip", "-selection", "clipboard", "-in"};
  if (hasEnv("DISPLAY") && onPath("xsel")) return {"xsel", "--clipboard", "--input"};
  return {};
}

std::vector<std::string> CommandPasteboard::pasteCommand() {
  if (hasEnv("WAYLAND_DISPLAY") && onPath("wl-paste")) return {"wl-paste", "--no-newline"};
  if (hasEnv("DISPLAY") && onPath("xclip")) return {"xclip", "-selection", "clipboard", "-out"};
  if (hasEnv("DISPLAY") && onPath("xsel")) return {"xsel", "--clipboard", "--output"};
  return {};
}

Status CommandPasteboard::writeString(const std::string& text) {
  auto argv = copyCommand();
  if (argv.empty()) return noTool();
  auto result = runTool(argv, &text);
  if (!result.ok()) return result.error();
  ++changeCount_;
  return okStatus();
}

Result<std::optional<std::string>> CommandPasteboard::readString() {
  auto argv = pasteCommand();
  if (argv.empty()) return noTool();
  auto result = runTool(argv, nullptr);
  if (!result.ok()) return result.error();
  return std::optional<std::string>(std::move(result).value());
}

}  // namespace pallix
