#include "app/shell/LaunchAtLogin.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/FileUtil.h"

namespace pallix {
namespace {

// Exec= quoting of the desktop entry format: arguments with reserved
// characters are double-quoted, with ", `, $ and \ escaped.
std::string quoteExec(const std::string& path) {
  if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) return path;
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += "\\\\";
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string LaunchAtLogin::autostartDirectoryFromEnvironment() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/autostart";
}

std::string LaunchAtLogin::desktopEntry(const std::string& executable, bool autostart) {
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Pallix\n"
      "GenericName=Search and launch\n"
      "Comment=Find apps, files and answers from one search field\n"
      "Exec=" +
      quoteExec(executable) +
      "\n"
      "Icon=pallix\n"
      "Terminal=false\n"
      "Categories=Utility;\n"
      "Keywords=search;launcher;files;calculator;clipboard;emoji;\n"
      "StartupNotify=false\n";
  if (autostart) text += "X-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  return text;
}

bool LaunchAtLogin::isEnabled() const {
  auto text = readFileToString(entryPath());
  if (!text.ok()) return false;
  return text.value().find("\nHidden=true") == std::string::npos &&
         text.value().find("\nX-GNOME-Autostart-enabled=false") == std::string::npos;
}

Status LaunchAtLogin::setEnabled(bool enabled) {
  if (!enabled) {
    if (::unlink(entryPath().c_str()) != 0 && errno != ENOENT) {
      return Error::fromErrno("cannot remove the autostart entry " + entryPath(), errno);
    }
    return {};
  }
  Status made = createDirectories(directory_, 0755);
  if (!made.ok()) return made.error().withContext("cannot create " + directory_);
  return writeFileAtomically(entryPath(), desktopEntry(executable_, true), 0644);
}

}  // namespace pallix
