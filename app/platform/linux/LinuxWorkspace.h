// LinuxWorkspace: Workspace on a freedesktop desktop.
//
// Launching a desktop entry runs its Exec line (field codes expanded by
// expandDesktopExec) as an argv in its Path folder, inside a terminal when
// Terminal=true; other application paths go to their executable or to
// xdg-open. Files and URLs are opened with xdg-open; revealing asks the file
// manager over D-Bus (org.freedesktop.FileManager1.ShowItems through gdbus)
// and falls back to opening the containing folder. Every program is started
// through the CommandRunner. Thread-safe if the runner is.
#pragma once

#include <functional>

#include "app/platform/CommandRunner.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/Workspace.h"
#include "core/Logger.h"

namespace pallix {

class LinuxWorkspace final : public Workspace {
 public:
  struct Options {
    // Whether a session bus answers; default: $DBUS_SESSION_BUS_ADDRESS is
    // set or $XDG_RUNTIME_DIR/bus exists.
    std::function<bool()> sessionBusReachable;
    Duration revealTimeout = seconds(5);
  };

  // `runner` must outlive the workspace.
  LinuxWorkspace(CommandRunner& runner, DataDirectories dirs, Options options);
  LinuxWorkspace(CommandRunner& runner, DataDirectories dirs) : LinuxWorkspace(runner, std::move(dirs), Options()) {}

  Status launchApplication(const ApplicationReference& app) override;
  Status openFile(const std::string& path) override;
  Status revealInFileManager(const std::string& path) override;
  Status openURL(const std::string& url) override;

  // The .desktop file for a desktop-file ID, searched in precedence order.
  std::optional<std::string> findDesktopFile(const std::string& desktopFileId) const;

 private:
  Status launchDesktopFile(const std::string& path);
  Status xdgOpen(const std::string& target);

  CommandRunner& runner_;
  DataDirectories dirs_;
  Options options_;
  Logger logger_{"Workspace"};
};

}  // namespace pallix
