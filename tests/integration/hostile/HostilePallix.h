// The `pallix` binary in a home of its own for the hostile-file tests: no
// system applications, no shared runtime folder, and a bound on every run so
// a command that hangs fails its test instead of stalling the suite.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

// Long enough for a loaded machine, far shorter than a hang.
constexpr std::chrono::seconds kPromptly{30};

inline std::string testData() {
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return data ? data : "tests/data";
}

class HostileHome {
 public:
  HostileHome() { home_.mkdir("tmp"); }

  const std::string& path() const { return home_.path(); }
  std::string operator/(const std::string& relative) const { return home_ / relative; }
  const TempDir& dir() const { return home_; }
  std::string data() const { return home_ / ".local/share/Pallix"; }
  std::string applications() const { return home_ / ".local/share/applications"; }

  ProcessResult run(std::vector<std::string> args) const {
    args.insert(args.begin(), PALLIX_BINARY);
    BackgroundProcess process(args,
                              Environment{{"PALLIX_HOME", home_.path()},
                                          {"HOME", home_.path()},
                                          {"TMPDIR", home_ / "tmp"},
                                          {"XDG_DATA_DIRS", home_ / ".no-system-data"}},
                              ProcessOptions{.cleanEnvironment = true});
    return process.finish(kPromptly);
  }

  std::string fifo(const std::string& relative) const {
    const std::string full = home_ / relative;
    home_.mkdir(relative.substr(0, relative.rfind('/')));
    ::mkfifo(full.c_str(), 0600);
    return full;
  }

 private:
  TempDir home_;
};

}  // namespace pallix::testing
