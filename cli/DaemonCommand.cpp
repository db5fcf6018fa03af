// pallix daemon: the long-running agent (catalog, directory watching and the
// work-mode policy) in the foreground. A second daemon ends the first.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/platform/linux/InotifyFileChangeMonitor.h"
#include "app/platform/linux/LinuxSystemConditions.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/ProcessCommandRunner.h"
#include "app/platform/linux/ThemeIconResolver.h"
#include "app/shell/AppDelegate.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/Logger.h"
#include "core/RunLoop.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

int g_stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  char byte = 1;
  ssize_t written = ::write(g_stopPipe[1], &byte, 1);
  (void)written;
}

int runDaemon(Args& args) {
  bool quiet = args.flag("--quiet");
  auto rest = args.positionals();
  if (args.failed()) return usageError("daemon", args.failure());
  if (!rest.empty()) return usageError("daemon", "takes no arguments");
  // PALLIX_LOG, when set, is the log level; otherwise the daemon logs its
  // milestones. --quiet keeps errors only, whatever PALLIX_LOG says.
  const char* logLevel = std::getenv("PALLIX_LOG");
  if (quiet) {
    if (Logger::threshold() < LogLevel::error) Logger::setThreshold(LogLevel::error);
  } else if (!logLevel || !*logLevel) {
    Logger::setThreshold(LogLevel::info);
  }
  // The daemon's own progress lines are milestones too.
  const bool progress = Logger::threshold() <= LogLevel::info;
  const bool errors = Logger::threshold() <= LogLevel::error;

  // Signals are taken by one thread that asks the main loop to stop; every
  // other thread (created below) inherits the blocked mask.
  // SIGINT and SIGTERM may arrive on any thread (libraries start their own),
  // so the handler only writes to a pipe; a thread reading it stops the loop.
  if (::pipe2(g_stopPipe, O_CLOEXEC) != 0) {
    printError("daemon: cannot create a pipe: " + std::string(std::strerror(errno)));
    return kExitFailure;
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  DataDirectories dirs = DataDirectories::fromEnvironment();
  auto loop = RunLoop::create();
  auto background = SerialExecutor::create("pallix-index");
  auto directoryChanges = SerialExecutor::create("pallix-dirchange");
  LinuxSystemConditions conditions(loop);
  Status configured = PanelLifecycleCoordinator::configureShared(loop, conditions);
  if (!configured.ok()) {
    printError("daemon: " + configured.error().description());
    return kExitFailure;
  }
  LinuxDirectoryWatcherFactory watcherFactory;
  InotifyFileChangeMonitor defaultsMonitor;
  ThemeIconResolver icons(ThemeIconResolver::optionsFromEnvironment(dirs));
  LockFileSingleInstance instance(LockFileSingleInstance::optionsFor(dirs));
  ProcessCommandRunner runner;

  AppEnvironment env;
  env.dirs = dirs;
  env.mainRunner = loop;
  env.backgroundRunner = background;
  env.directoryChangeRunner = directoryChanges;
  env.clock = &SystemClock::instance();
  env.lifecycle = &PanelLifecycleCoordinator::shared();
  env.watcherFactory = &watcherFactory;
  env.iconResolver = &icons;
  env.singleInstance = &instance;
  env.commandRunner = &runner;
  env.defaultsMonitor = &defaultsMonitor;
  env.requestTermination = [loop, progress] {
    if (progress) std::cerr << "pallix: another instance started; this one ends.\n";
    loop->quit();
  };
  auto delegate = std::make_unique<AppDelegate>(env);
  Status launched = delegate->applicationDidFinishLaunching();
  if (!launched.ok()) {
    printError("daemon: " + launched.error().description(),
               "Check that the data directory is writable ('pallix paths' shows it).");
    return kExitUnavailable;
  }
  if (IndexingService* indexing = delegate->indexingService()) {
    indexing->setFullScanObserver([progress, errors](const FullScanSummary& s) {
      if (s.error) {
        if (errors) std::cerr << "pallix: full scan failed: " << s.error->description() << "\n";
        return;
      }
      if (progress)
        std::cerr << stringPrintf("pallix: full scan: %zu apps, %zu files, %zu folders in %.2f s%s\n", s.appCount,
                                  s.fileCount, s.folderCount, s.elapsedSeconds, s.mutated ? "" : " (unchanged)");
    });
    indexing->setIncrementalRunObserver([progress](const IncrementalRunSummary& s) {
      if (progress)
        std::cerr << stringPrintf("pallix: %zu changes: %zu created, %zu modified, %zu removed\n", s.changeCount,
                                  s.created, s.modified, s.removed);
    });
  }
  std::thread([loop] {
    char byte = 0;
    while (::read(g_stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    loop->quit();
  }).detach();
  if (progress) {
    std::cerr << "pallix: running (pid " << ::getpid() << "); the data is in " << printable(dirs.data)
              << ". Press Ctrl-C to stop.\n";
  }
  loop->run();
  delegate->applicationWillTerminate();
  background->shutdown();
  directoryChanges->shutdown();
  delegate.reset();
  if (progress) std::cerr << "pallix: stopped.\n";
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("daemon", "run the background agent in the foreground",
               "Usage: pallix daemon [--quiet]\n\n"
               "Builds the catalog when needed and keeps it current from file-system events, pacing the work\n"
               "by the work mode. Only one daemon runs per user: starting a second one ends the first.\n"
               "Stops on Ctrl-C or SIGTERM. Settings written by other commands ('pallix folders add',\n"
               "'pallix defaults write') apply at once, and 'pallix index' asks the daemon to scan.\n"
               "--quiet prints errors only; PALLIX_LOG sets the log level (default here: info).\n",
               runDaemon);

}  // namespace pallix::cli
