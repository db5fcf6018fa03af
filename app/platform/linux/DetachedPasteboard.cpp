#include "app/platform/linux/DetachedPasteboard.h"

#include <poll.h>
#include <unistd.h>

#include <filesystem>

#include "app/platform/linux/ChildProcess.h"
#include "core/Strings.h"

namespace pallix {

std::vector<std::string> DetachedPasteboard::pallixServerCommand() {
  std::error_code error;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  return {error ? "pallix" : self, "clipboard", "serve"};
}

Result<int64_t> DetachedPasteboard::writeItem(const PasteboardItem& item) {
  // Through `setsid --fork` the helper is not our child: nothing is left to
  // reap when a long-running process copies many times.
  std::vector<std::string> argv = serverCommand_;
  const bool forked = !findInPath("setsid").empty();
  if (forked) argv.insert(argv.begin(), {"setsid", "--fork"});
  PALLIX_ASSIGN_OR_RETURN(ChildProcess server, ChildProcess::start(argv, /*newSession=*/!forked));
  PALLIX_RETURN_IF_ERROR(server.finishInput(encodePasteboardItem(item)));
  // The helper answers one line, then closes its output and keeps serving.
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[256];
  while (answer.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{server.outputDescriptor(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(server.outputDescriptor(), buffer, sizeof(buffer));
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  if (!forked || !server.waitForExit(std::chrono::seconds(1)).ok()) server.release();
  std::string line(trimWhitespace(answer.substr(0, answer.find('\n'))));
  if (!startsWith(line, "ok")) {
    return Error("PasteboardError", 7,
                 line.empty() ? "The clipboard helper did not answer" : "The clipboard helper failed: " + line);
  }
  return ++changeCount_;
}

Status DetachedPasteboard::writeString(const std::string& text) {
  auto written = writeItem(PasteboardItem{{{kPlainTextUtf8Type, text}}});
  if (!written.ok()) return written.error();
  return okStatus();
}

}  // namespace pallix
