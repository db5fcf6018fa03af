// What the desktop tests share: the private home they give pallix-desktop and
// the tools they start (the Xvfb display, XDG folders under a temporary home,
// panel snapshots allowed), and the agent's panel state asked over its
// socket. The variables are set in the test process too, so the data
// directories it reads are the agent's.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/shell/PanelRequests.h"
#include "testing/TestProcess.h"

namespace pallix::testing {

// Sets up `home` for an agent on `display`; `extra` adds or overrides
// variables. Returns the environment to start processes with.
inline Environment prepareDesktopHome(const std::string& display, const std::string& home,
                                      const Environment& extra = {}) {
  Environment env = {{"DISPLAY", display},
                     {"HOME", home},
                     {"PALLIX_HOME", home},
                     {"XDG_RUNTIME_DIR", home + "/run"},
                     {"XDG_CONFIG_HOME", home + "/.config"},
                     {"PALLIX_PANEL_SNAPSHOTS", "1"},
                     {"QT_QPA_PLATFORM", "xcb"}};
  for (const auto& [name, value] : extra) env[name] = value;
  std::filesystem::create_directories(home + "/run");
  for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
  std::filesystem::create_directories(DataDirectories::fromEnvironment().data);
  return env;
}

// The running agent's answer to `request` as a panel state; none while it
// does not answer.
inline std::optional<PanelState> askPanelState(const DataDirectories& dirs,
                                               const std::string& request = kAgentPanelStateRequest) {
  auto reply = LockFileSingleInstance::request(dirs.socketPath(), request);
  if (!reply.ok()) return std::nullopt;
  auto decoded = decodePanelState(reply.value());
  return decoded.ok() ? std::optional<PanelState>(decoded.value()) : std::nullopt;
}

}  // namespace pallix::testing
