// DefaultsFileWatcher: brings the settings other processes write to the
// defaults file into a long-lived process (the agents, `pallix clipboard
// watch`, `pallix messages index --watch`), which then hears of them as of
// its own changes.
//
// Every write replaces the file by a rename, so the FileChangeMonitor it is
// given watches the file's folder. The events of one burst (kReloadDelay) are
// read once. UserDefaults::reload() compares the file's content with the
// values in memory, so the process's own writes are no change and call no
// handler; a change of another process is logged with its keys and handed to
// the handlers, which pass it to the preference objects (reloadFromDefaults),
// which post the notifications their setters post.
//
// Threading: created, started, stopped and destroyed on the main runner,
// where the handlers run; the monitor's thread only posts there. The
// defaults and the monitor outlive the watcher.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/platform/FileChangeMonitor.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"
#include "core/UserDefaults.h"

namespace pallix {

class DefaultsFileWatcher {
 public:
  // Changes of the defaults file within this interval are applied together.
  static constexpr Duration kReloadDelay = std::chrono::milliseconds(100);
  // The keys another process added, changed or removed; never empty.
  using Handler = std::function<void(const std::vector<std::string>& changedKeys)>;

  // `owner` names the process's component in the log line of each change
  // ("Pallix.AppDelegate").
  DefaultsFileWatcher(UserDefaults& defaults, FileChangeMonitor& monitor, TaskRunnerPtr mainRunner, std::string owner);
  ~DefaultsFileWatcher();
  DefaultsFileWatcher(const DefaultsFileWatcher&) = delete;
  DefaultsFileWatcher& operator=(const DefaultsFileWatcher&) = delete;

  // Handlers run in the order they were added.
  void addHandler(Handler handler);
  // A handler that re-reads each preference object (anything with
  // reloadFromDefaults()); each posts its notification when it changed.
  template <typename... Preferences>
  void reloadOnChange(Preferences&... preferences) {
    addHandler([&preferences...](const std::vector<std::string>&) { (preferences.reloadFromDefaults(), ...); });
  }

  // Starts watching; the folder of the defaults file is created when missing.
  // A failure leaves the process with the settings it read at start.
  Status start();
  // No handler runs after stop() returns.
  void stop();
  // Re-reads the file at once (a command that just wrote it asks), as an
  // event would after the delay; a later event then finds nothing new.
  void reloadNow() { reload(); }
  bool isWatching() const { return watching_; }

 private:
  void reload();

  UserDefaults& defaults_;
  FileChangeMonitor& monitor_;
  TaskRunnerPtr mainRunner_;
  std::string owner_;
  Logger logger_{"DefaultsFileWatcher"};
  std::vector<Handler> handlers_;
  // Set while a re-read is scheduled; shared with the monitor's thread.
  std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
  bool watching_ = false;
  WeakGuard weak_;
};

}  // namespace pallix
