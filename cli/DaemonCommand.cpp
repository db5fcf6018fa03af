// pallix daemon: the long-running agent (catalog, directory watching and the
// work-mode policy) in the foreground. A second daemon ends the first.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/shell/Agent.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/StopSignal.h"
#include "core/Logger.h"
#include "core/RunLoop.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

// What `pallix watch` adds to the daemon: each catalog run on stdout.
struct RunOutput {
  bool enabled = false;
  bool json = false;
};

std::string clockTime() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%H:%M:%S", &tm);
  return buffer;
}

void printIncrementalRun(const RunOutput& output, const IncrementalRunSummary& s) {
  if (output.json) {
    std::cout << nlohmann::json{{"event", "incremental"},
                                {"changes", s.changeCount},
                                {"created", s.created},
                                {"modified", s.modified},
                                {"removed", s.removed},
                                {"failed", s.failed},
                                {"elapsedSeconds", s.elapsedSeconds}}
                     .dump()
              << std::endl;
    return;
  }
  std::cout << clockTime() << "  " << s.changeCount << " changes: +" << s.created << " ~" << s.modified << " -"
            << s.removed << (s.failed ? stringPrintf(" (%zu failed)", s.failed) : std::string()) << " in "
            << stringPrintf("%.3fs", s.elapsedSeconds) << std::endl;
}

void printFullScan(const RunOutput& output, const FullScanSummary& s) {
  if (output.json) {
    nlohmann::json event = {{"event", "fullScan"},
                            {"apps", s.appCount},
                            {"files", s.fileCount},
                            {"folders", s.folderCount},
                            {"elapsedSeconds", s.elapsedSeconds},
                            {"changed", s.mutated}};
    if (s.error) event["error"] = s.error->description();
    // An error quotes file names, which need not be UTF-8.
    std::cout << jsonText(event) << std::endl;
    return;
  }
  if (s.error) return;  // on stderr already
  std::cout << clockTime() << "  full scan: " << s.appCount << " apps, " << s.fileCount << " files, " << s.folderCount
            << " folders" << (s.mutated ? "" : " (unchanged)") << std::endl;
}

int runAgent(const char* command, bool quiet, RunOutput output) {
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

  auto loop = RunLoop::create();
  Agent agent(loop, Agent::Options{
                        .requestTermination =
                            [loop, progress] {
                              if (progress) std::cerr << "pallix: another instance started; this one ends.\n";
                              loop->quit();
                            },
                        .noClipboard =
                            [progress](const Error& why) {
                              if (progress)
                                std::cerr << "pallix: no clipboard history here: " << printable(why.description())
                                          << "\n";
                            },
                    });
  if (Status configured = agent.configure(); !configured.ok()) {
    printError(std::string(command) + ": " + configured.error().description());
    return exitStatusFor(configured.error());
  }
  if (Status launched = agent.launch(); !launched.ok()) {
    printError(std::string(command) + ": " + launched.error().description(),
               "Check that the data directory is writable ('pallix paths' shows it).");
    return kExitUnavailable;
  }
  AppDelegate* delegate = &agent.delegate();
  if (IndexingService* indexing = delegate->indexingService()) {
    indexing->setFullScanObserver([progress, errors, output](const FullScanSummary& s) {
      if (output.enabled) printFullScan(output, s);
      if (s.error) {
        if (errors) std::cerr << "pallix: full scan failed: " << printable(s.error->description()) << "\n";
        return;
      }
      if (progress)
        std::cerr << stringPrintf("pallix: full scan: %zu apps, %zu files, %zu folders in %.2f s%s\n", s.appCount,
                                  s.fileCount, s.folderCount, s.elapsedSeconds, s.mutated ? "" : " (unchanged)");
    });
    indexing->setIncrementalRunObserver([progress, output](const IncrementalRunSummary& s) {
      if (output.enabled) return printIncrementalRun(output, s);
      if (progress)
        std::cerr << stringPrintf("pallix: %zu changes: %zu created, %zu modified, %zu removed\n", s.changeCount,
                                  s.created, s.modified, s.removed);
    });
  }
  Status signals = installStopSignalHandler([loop] { loop->quit(); });
  if (!signals.ok()) {
    printError(std::string(command) + ": " + signals.error().description());
    return exitStatusFor(signals.error());
  }
  if (progress) {
    std::cerr << "pallix: running (pid " << ::getpid() << "); the data is in " << printable(agent.dirs().data)
              << ". Press Ctrl-C to stop.\n";
  }
  loop->run();
  agent.terminate();
  if (progress) std::cerr << "pallix: stopped.\n";
  return kExitOk;
}

int runDaemon(Args& args) {
  bool quiet = args.flag("--quiet");
  auto rest = args.positionals();
  if (args.failed()) return usageError("daemon", args.failure());
  if (!rest.empty()) return usageError("daemon", "takes no arguments");
  return runAgent("daemon", quiet, {});
}

int runWatch(Args& args) {
  bool json = args.flag("--json");
  bool quiet = args.flag("--quiet");
  auto rest = args.positionals();
  if (args.failed()) return usageError("watch", args.failure());
  if (!rest.empty()) return usageError("watch", "takes no arguments");
  return runAgent("watch", quiet, {true, json});
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
PALLIX_COMMAND("watch", "run the background agent, printing each catalog update",
               "Usage: pallix watch [--json] [--quiet]\n\n"
               "The daemon in the foreground ('pallix daemon --help'), printing on stdout each full scan and\n"
               "each incremental run of the catalog (file-system changes, debounced by 1.5 s): one line each,\n"
               "or one JSON object per line with --json. Stops on Ctrl-C or SIGTERM.\n",
               runWatch);

}  // namespace pallix::cli
