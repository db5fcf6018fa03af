#include "app/platform/linux/LinuxWorkspace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "app/platform/DesktopEntry.h"
#include "app/platform/DesktopExec.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "WorkspaceError";

bool defaultSessionBusReachable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st;
  return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string parentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Relative paths a desktop-file ID may stand for: "a-b-c.desktop" may be
// a-b-c.desktop, a/b-c.desktop, a-b/c.desktop or a/b/c.desktop.
std::vector<std::string> relativePathsForId(const std::string& id) {
  std::vector<size_t> dashes;
  for (size_t i = 0; i < id.size(); ++i) {
    if (id[i] == '-') dashes.push_back(i);
  }
  if (dashes.size() > 6) dashes.resize(6);  // deeper nesting does not occur in practice
  std::vector<std::string> out;
  for (size_t mask = 0; mask < (size_t{1} << dashes.size()); ++mask) {
    std::string candidate = id;
    for (size_t k = 0; k < dashes.size(); ++k) {
      if (mask & (size_t{1} << k)) candidate[dashes[k]] = '/';
    }
    out.push_back(std::move(candidate));
  }
  return out;
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(CommandRunner& runner, DataDirectories dirs, Options options)
    : runner_(runner), dirs_(std::move(dirs)), options_(std::move(options)) {
  if (!options_.sessionBusReachable) options_.sessionBusReachable = defaultSessionBusReachable;
}

std::optional<std::string> LinuxWorkspace::findDesktopFile(const std::string& desktopFileId) const {
  if (desktopFileId.empty() || desktopFileId.find('/') != std::string::npos) return std::nullopt;
  auto candidates = relativePathsForId(desktopFileId);
  for (const auto& dir : desktopApplicationDirectories(dirs_)) {
    for (const auto& relative : candidates) {
      std::string path = dir.path + "/" + relative;
      if (isRegularFile(path)) return path;
    }
  }
  return std::nullopt;
}

Status LinuxWorkspace::launchApplication(const ApplicationReference& app) {
  if (endsWith(app.path, ".desktop")) return launchDesktopFile(app.path);
  if (app.path.empty()) {
    if (auto path = findDesktopFile(app.bundleIdentifier)) return launchDesktopFile(*path);
    return Error(kDomain, 1, "No application found for \"" + app.bundleIdentifier + "\"");
  }
  if (!pathExists(app.path)) return Error(kDomain, 2, "Application " + app.path + " no longer exists");
  if (!endsWith(app.path, ".app") && isRegularFile(app.path) && runner_.findExecutable(app.path)) {
    return runner_.launchDetached({app.path}, {parentDirectory(app.path)});
  }
  return xdgOpen(app.path);
}

Status LinuxWorkspace::launchDesktopFile(const std::string& path) {
  auto entry = parseDesktopEntry(path, path.substr(path.find_last_of('/') + 1));
  if (!entry.ok()) return entry.error();
  if (!entry->exec || entry->exec->empty()) {
    return Error(kDomain, 3, "Cannot launch " + entry->name + ": " + path + " has no Exec command");
  }
  if (entry->tryExec && !entry->tryExec->empty() && !runner_.findExecutable(*entry->tryExec)) {
    return Error(kDomain, 7, "Cannot launch " + entry->name + ": " + *entry->tryExec + " is not installed");
  }
  DesktopExecContext context;
  context.icon = entry->icon;
  context.name = entry->name;
  context.desktopFilePath = path;
  auto argv = expandDesktopExec(*entry->exec, context);
  if (!argv.ok()) return argv.error().withContext("Cannot launch " + entry->name);
  std::vector<std::string> command = std::move(argv.value());
  if (entry->terminal) {
    if (!runner_.findExecutable("x-terminal-emulator")) {
      return Error(kDomain, 4, "Cannot launch " + entry->name + " in a terminal: x-terminal-emulator is not installed");
    }
    command.insert(command.begin(), {"x-terminal-emulator", "-e"});
  }
  LaunchOptions options;
  options.workingDirectory = entry->workingDirectory.value_or("");
  Status launched = runner_.launchDetached(command, options);
  if (!launched.ok()) return launched.error().withContext("Cannot launch " + entry->name);
  logger_.debug("Launched %s (%s)", entry->name.c_str(), path.c_str());
  return okStatus();
}

Status LinuxWorkspace::xdgOpen(const std::string& target) {
  if (!runner_.findExecutable("xdg-open")) {
    return Error(kDomain, 5, "Cannot open " + target + ": xdg-open is not installed (package xdg-utils)");
  }
  return runner_.launchDetached({"xdg-open", target});
}

Status LinuxWorkspace::openFile(const std::string& path) {
  if (!pathExists(path)) return Error(kDomain, 2, "Cannot open " + path + ": it no longer exists");
  return xdgOpen(path);
}

Status LinuxWorkspace::revealInFileManager(const std::string& path) {
  if (!pathExists(path)) return Error(kDomain, 2, "Cannot reveal " + path + ": it no longer exists");
  if (runner_.findExecutable("gdbus") && options_.sessionBusReachable()) {
    auto reply = runner_.run({"gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1", "--object-path",
                              "/org/freedesktop/FileManager1", "--method", "org.freedesktop.FileManager1.ShowItems",
                              "['" + fileURLFromPath(path) + "']", ""},
                             options_.revealTimeout);
    if (reply.ok() && reply->exitStatus == 0) return okStatus();
    logger_.debug(
        "File manager did not answer ShowItems for %s: %s", path.c_str(),
        reply.ok() ? std::string(trimWhitespace(reply->standardError)).c_str() : reply.error().description().c_str());
  }
  return xdgOpen(parentDirectory(path));
}

Status LinuxWorkspace::openURL(const std::string& url) {
  size_t colon = url.find(':');
  bool hasScheme = colon != std::string::npos && colon > 0;
  for (size_t i = 0; hasScheme && i < colon; ++i) {
    char c = url[i];
    hasScheme = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
  }
  if (!hasScheme) return Error(kDomain, 6, "Cannot open \"" + url + "\": not a URL");
  return xdgOpen(url);
}

}  // namespace pallix
