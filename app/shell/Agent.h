// Agent: the resident agent's services over the Linux platform: the
// AppDelegate (catalog, directory watching, preferences, work modes, the
// clipboard recorder, single instance and its socket) with the executors and
// platform objects it runs on. `pallix daemon` runs it alone; DesktopAgent
// adds the search session and the panel on top of it. Wired once here so the
// two agents cannot drift apart.
//
// Threading: built, used and destroyed on the main loop's thread. Owns the
// delegate and everything the delegate borrows.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/platform/linux/InotifyFileChangeMonitor.h"
#include "app/platform/linux/LinuxSystemConditions.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/ProcessCommandRunner.h"
#include "app/platform/linux/ThemeIconResolver.h"
#include "app/shell/AppDelegate.h"
#include "core/RunLoop.h"

namespace pallix {

class Agent {
 public:
  struct Options {
    // Where the delegate posts its main-thread work; the loop itself when
    // null (the desktop agent gives a runner that also wakes its toolkit).
    TaskRunnerPtr mainRunner;
    // Ends the process's main loop (a newer instance asked this one to end).
    std::function<void()> requestTermination;
    // Socket requests the delegate does not know (the panel's).
    std::function<bool(const std::string& request, const SingleInstance::Reply& reply)> extraRequestHandler;
    // Told when this session has no clipboard to record (no X or Wayland).
    std::function<void(const Error& why)> noClipboard;
  };

  Agent(std::shared_ptr<RunLoop> loop, Options options);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // The executors and the process-wide work-mode coordinator.
  Status configure();
  // Builds and launches the delegate. Call after configure().
  Status launch();
  // Ends the delegate's work (when it launched) and the executors; the
  // delegate stays alive until the agent is destroyed, for those that still
  // hold it. Idempotent.
  void terminate();

  const DataDirectories& dirs() const { return dirs_; }
  AppDelegate& delegate() { return *delegate_; }
  bool launched() const { return delegate_ != nullptr; }

 private:
  std::shared_ptr<RunLoop> loop_;
  Options options_;
  DataDirectories dirs_;
  std::shared_ptr<SerialExecutor> background_;
  std::shared_ptr<SerialExecutor> directoryChanges_;
  std::unique_ptr<LinuxSystemConditions> conditions_;
  LinuxDirectoryWatcherFactory watcherFactory_;
  InotifyFileChangeMonitor defaultsMonitor_;
  std::unique_ptr<ThemeIconResolver> icons_;
  std::unique_ptr<LockFileSingleInstance> instance_;
  ProcessCommandRunner runner_;
  std::unique_ptr<AppDelegate> delegate_;
  bool running_ = false;  // launched, and not yet terminated
  bool terminated_ = false;
};

}  // namespace pallix
