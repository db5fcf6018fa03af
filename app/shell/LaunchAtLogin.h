// LaunchAtLogin: whether the desktop agent starts with the user's session,
// kept as an XDG autostart entry ("org.pallix.Pallix.desktop" in
// $XDG_CONFIG_HOME/autostart). Turning it off removes our entry; an entry
// the user hid (Hidden=true) counts as off. Plain file work; any thread.
#pragma once

#include <string>

#include "core/Error.h"

namespace pallix {

class LaunchAtLogin {
 public:
  static constexpr const char* kEntryName = "org.pallix.Pallix.desktop";

  LaunchAtLogin(std::string autostartDirectory, std::string executable)
      : directory_(std::move(autostartDirectory)), executable_(std::move(executable)) {}
  // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
  static std::string autostartDirectoryFromEnvironment();
  // The desktop entry that starts `executable` (also the application entry's text).
  static std::string desktopEntry(const std::string& executable, bool autostart);

  std::string entryPath() const { return directory_ + "/" + kEntryName; }
  bool isEnabled() const;
  Status setEnabled(bool enabled);

 private:
  std::string directory_;
  std::string executable_;
};

}  // namespace pallix
