// What the desktop tests share: the private home they give pallix-desktop and
// the tools they start (the Xvfb display, XDG folders under a temporary home,
// panel snapshots allowed), the agent's panel state asked over its socket,
// and DesktopAgentTest, the fixture that starts them. The variables are set in
// the test process too, so the data directories it reads are the agent's.
//
// Every test target including this defines PALLIX_DESKTOP_BINARY and
// PANEL_ARTEFACTS_DIR.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/shell/PanelRequests.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

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

// A test with its own Xvfb display and home, the agent started on it when
// the test asks, and openbox when it needs a window manager. A subclass's
// SetUp() calls this one's first and returns when IsSkipped().
class DesktopAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.ok()) GTEST_SKIP() << "Xvfb cannot start here: " << display_.failure();
    env_ = prepareDesktopHome(display_.name(), home_, extraEnvironment_);
    dirs_ = DataDirectories::fromEnvironment();
  }

  // Application entries under the home's applications folder, each running `true`.
  void writeApps(std::initializer_list<const char*> names) {
    std::filesystem::create_directories(home_ + "/.local/share/applications");
    for (const char* app : names) {
      std::ofstream(home_ + "/.local/share/applications/" + std::string(app) + ".desktop")
          << "[Desktop Entry]\nType=Application\nName=" << app << "\nExec=true\n";
    }
  }
  void startAgent() {
    agent_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{PALLIX_DESKTOP_BINARY}, env_);
    ASSERT_TRUE(pollUntil([&] { return state().has_value(); }, std::chrono::seconds(20)))
        << "pallix-desktop did not answer on its socket";
  }
  // openbox on the display. On a loaded machine it can take a while, or end
  // before it has the display: it is started again then.
  void startWindowManager() {
    if (findInPath("openbox").empty()) GTEST_SKIP() << "openbox is not installed (scripts/setup.sh installs it)";
    auto managed = [&] {
      return runProcess({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, env_).out.find("window id") !=
             std::string::npos;
    };
    for (int attempt = 0; attempt < 3 && !managed(); ++attempt) {
      wm_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{"openbox"}, env_);
      if (pollUntil([&] { return managed() || !wm_->running(); }, std::chrono::seconds(20)) && managed()) break;
    }
    ASSERT_TRUE(managed()) << "openbox did not take over the display";
  }
  std::optional<PanelState> state(const std::string& request = kAgentPanelStateRequest) {
    return askPanelState(dirs_, request);
  }
  // The exit status of `argv` run in the test's environment.
  int run(const std::vector<std::string>& argv) {
    BackgroundProcess p(argv, env_);
    return p.waitForExit(std::chrono::seconds(10));
  }
  // The panel's picture, written to the artefacts folder as NAME.png (with
  // what it shows beside it as NAME.png.json); its path.
  std::string snapshot(const std::string& name) {
    std::filesystem::create_directories(PANEL_ARTEFACTS_DIR);
    const std::string path = std::string(PANEL_ARTEFACTS_DIR) + "/" + name + ".png";
    EXPECT_TRUE(state(std::string(kAgentSnapshotRequest) + " " + path).has_value()) << path;
    std::error_code ec;
    EXPECT_GT(std::filesystem::file_size(path, ec), 1000u) << path;
    return path;
  }

  TempDir tmp_;
  const std::string home_ = tmp_.path();
  XvfbDisplay display_;
  Environment extraEnvironment_;  // set before SetUp()
  Environment env_;
  DataDirectories dirs_;
  std::unique_ptr<BackgroundProcess> agent_;
  std::unique_ptr<BackgroundProcess> wm_;
};

}  // namespace pallix::testing
