#include "app/platform/linux/DetachedPasteboard.h"

#include <poll.h>
#include <unistd.h>

#include "app/platform/linux/ChildProcess.h"
#include "core/Strings.h"

namespace pallix {

Result<int64_t> DetachedPasteboard::writeItem(const PasteboardItem& item) {
  PALLIX_ASSIGN_OR_RETURN(ChildProcess server, ChildProcess::start(serverCommand_, /*newSession=*/true));
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
  server.release();
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
