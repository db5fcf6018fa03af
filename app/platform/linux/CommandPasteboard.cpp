#include "app/platform/linux/CommandPasteboard.h"

#include <cstdlib>

#include "app/platform/linux/ChildProcess.h"
#include "core/Strings.h"

namespace pallix {
namespace {

bool onPath(const std::string& program) {
  return !findInPath(program).empty();
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

constexpr Duration kToolTimeout = std::chrono::seconds(5);

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
  // Copy tools fork a server that keeps the clipboard (and their output)
  // open: wait for the tool itself, without reading.
  PALLIX_ASSIGN_OR_RETURN(ChildProcess tool, ChildProcess::start(argv));
  PALLIX_RETURN_IF_ERROR(tool.finishInput(text));
  PALLIX_RETURN_IF_ERROR(tool.waitForExit(kToolTimeout));
  ++changeCount_;
  return okStatus();
}

Result<std::optional<std::string>> CommandPasteboard::readString() {
  auto argv = pasteCommand();
  if (argv.empty()) return noTool();
  auto result = ChildProcess::run(argv, "", kToolTimeout);
  if (!result.ok()) return result.error();
  return std::optional<std::string>(std::move(result).value());
}

}  // namespace pallix
