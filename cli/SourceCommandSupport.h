// What the commands that expose one intelligence source share: the data
// directories, the user defaults, a main loop and the source set, and a
// bounded wait for an answer. Used by the weather, define, wiki, places,
// calendar and location commands.
#pragma once

#include <memory>
#include <thread>

#include "app/platform/DataDirectories.h"
#include "app/preferences/DataSourcePreferences.h"
#include "app/shell/AppRuntime.h"
#include "cli/Command.h"
#include "core/RunLoop.h"
#include "core/UserDefaults.h"

namespace pallix::cli {

struct SourceCommandRuntime {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  std::unique_ptr<UserDefaults> defaults = std::make_unique<UserDefaults>(dirs.defaultsPath());
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::unique_ptr<IntelligenceSourceSet> sources = makeIntelligenceSourceSet(dirs, *defaults, loop);

  ~SourceCommandRuntime() {
    if (sources) sources->shutdown();
  }

  // When the source behind `command` is switched off (`enabledKey` false):
  // says so and how to turn it on, and returns true. The command then exits
  // with kExitUnavailable before it sends anything.
  bool reportSwitchedOff(const std::string& command, const std::string& sourceName, const char* enabledKey) const {
    if (defaults->boolValue(enabledKey).value_or(DataSourcePreferences::kDefaultEnabled)) return false;
    printError(command + ": the " + sourceName + " source is switched off (" + enabledKey + " is false)",
               std::string("Turn it on with 'pallix defaults write ") + enabledKey + " true'.");
    return true;
  }

  // Runs the main loop until `done()` holds or `limit` has passed; true when done.
  template <typename Done>
  bool runUntil(Done done, Duration limit = std::chrono::seconds(20)) {
    const MonoTime deadline = SystemClock::instance().now() + limit;
    loop->runUntilIdle();
    while (!done() && SystemClock::instance().now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      loop->runUntilIdle();
    }
    return done();
  }
};

}  // namespace pallix::cli
