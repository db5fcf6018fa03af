// DataDirectories: where Pallix keeps its files on this machine.
//
// home:       $PALLIX_HOME, else $HOME. PALLIX_HOME points the whole program
//             at another tree (tests, trying things out).
// data:       $XDG_DATA_HOME/Pallix, default ~/.local/share/Pallix; under
//             PALLIX_HOME always $PALLIX_HOME/.local/share/Pallix.
// cache:      $XDG_CACHE_HOME/Pallix, default ~/.cache/Pallix (same rule).
// runtime:    $XDG_RUNTIME_DIR (also under PALLIX_HOME), else the data
//             directory: where the agent's socket lives.
// The instance and writer locks live in the data directory, so each data
// directory has its own agent; the socket's name in the runtime directory is
// made unique per data directory for the same reason.
#pragma once

#include <string>
#include <vector>

namespace pallix {

struct DataDirectories {
  std::string home;
  std::string data;
  std::string cache;
  std::string runtime;
  // The user's own XDG data home ($XDG_DATA_HOME or ~/.local/share).
  std::string userDataHome;
  // $XDG_DATA_DIRS, default /usr/local/share:/usr/share.
  std::vector<std::string> systemDataDirs;

  static DataDirectories fromEnvironment();
  // A layout rooted at `home`, as if PALLIX_HOME were `home` (tests).
  static DataDirectories forHome(const std::string& home);

  std::string storePath() const { return data + "/Pallix.sqlite"; }
  std::string defaultsPath() const { return data + "/UserDefaults.json"; }
  std::string telemetryPath() const { return data + "/Telemetry.jsonl"; }
  std::string modelsDirectory() const { return data + "/Models"; }
  // "pallix.lock": held by the running agent.
  std::string instanceLockPath() const { return data + "/pallix.lock"; }
  // "pallix-<hash of the data path>.socket" in the runtime directory, or
  // "pallix.socket" in the data directory when there is no runtime directory.
  std::string socketPath() const;
};

}  // namespace pallix
