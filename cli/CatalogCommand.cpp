// Catalog commands: index (one full scan), catalog (list records), watch
// (keep the catalog current from file-system events) and folders (the
// indexed file directories). All honour PALLIX_HOME through DataDirectories.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <future>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/platform/DataDirectories.h"
#include "app/platform/PersistentStore.h"
#include "app/platform/StoreWriterLock.h"
#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/SocketOwnership.h"
#include "app/platform/linux/ThemeIconResolver.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/DirectoryLists.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexingService.h"
#include "app/shell/AgentRequests.h"
#include "app/shell/AppRuntime.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/FileUtil.h"
#include "core/Formatting.h"
#include "core/RunLoop.h"
#include "core/Strings.h"
#include "core/UserDefaults.h"

namespace pallix::cli {
namespace {

class InotifyWatcherFactory final : public DirectoryWatcherFactory {
 public:
  std::unique_ptr<DirectoryWatcher> makeWatcher() override { return std::make_unique<InotifyDirectoryWatcher>(); }
};

nlohmann::json optionalJson(const std::optional<std::string>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json itemJson(const IndexedItem& item) {
  return {{"path", item.path},
          {"url", item.url()},
          {"name", item.name},
          {"searchName", item.searchName},
          {"itemTypeRaw", item.itemTypeRaw},
          {"fileExtension", optionalJson(item.fileExtension)},
          {"sizeBytes", item.sizeBytes},
          {"createdDate", item.createdDate ? nlohmann::json(isoDate(item.createdDate)) : nlohmann::json(nullptr)},
          {"modifiedDate", item.modifiedDate ? nlohmann::json(isoDate(item.modifiedDate)) : nlohmann::json(nullptr)},
          {"lastIndexed", isoDate(item.lastIndexed)},
          {"bundleIdentifier", optionalJson(item.bundleIdentifier)},
          {"version", optionalJson(item.version)},
          {"build", optionalJson(item.build)},
          {"isPinned", item.isPinned},
          {"lastUsed", item.lastUsed ? nlohmann::json(isoDate(item.lastUsed)) : nlohmann::json(nullptr)},
          {"domainPriority", item.domainPriority},
          {"fileCategoryRaw", optionalJson(item.fileCategoryRaw)},
          {"parentBundleIdentifier", optionalJson(item.parentBundleIdentifier)}};
}

// The store, the defaults and the collaborators every catalog command needs.
struct CatalogContext {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  std::unique_ptr<UserDefaults> defaults;
  StoreWriterLock writer{StoreWriterLock::lockPathFor(dirs)};
  std::unique_ptr<PersistentStore> store;
  FileExclusionFilter filter;

  bool createDataFolder() {
    Status created = createPrivateDirectory(dirs.data);
    if (!created.ok()) {
      printError("cannot create the data folder: " + created.error().description(),
                 "Check that " + dirs.data + " is writable, or point PALLIX_HOME elsewhere.");
    }
    return created.ok();
  }

  // Becomes the catalog's only writer, waiting for another one to finish.
  bool becomeWriter(const char* role) {
    Status locked = writer.acquire(role, [](const StoreWriterLock::Holder& holder) {
      std::cerr << "pallix: waiting for " << holder.description() << " to finish writing the catalog...\n";
    });
    if (!locked.ok()) {
      printError("cannot lock the catalog: " + locked.error().description(),
                 "Check that " + dirs.data + " is writable.");
    }
    return locked.ok();
  }

  // Opens the store for writing (the writer lock is held) with its one
  // recovery of a damaged store; prints the failure and returns false.
  // Without `verifyIntegrity` only damage that opening meets is recovered.
  bool openForWriting(bool verifyIntegrity = true) {
    defaults = std::make_unique<UserDefaults>(dirs.defaultsPath());
    std::optional<Error> damage;
    PersistentStore::OpenOptions options;
    options.verifyIntegrity = verifyIntegrity;
    auto opened = openPersistentStoreWithRecovery(dirs, catalogMigrationSteps(), options, &damage);
    if (damage) {
      std::cerr << "pallix: the catalog was damaged (" << printable(damage->description())
                << "); rebuilding it from the folders.\n";
    }
    if (!opened.ok()) {
      const bool damaged = PersistentStore::failureKind(opened.error()) == StoreFailure::damaged;
      const bool special = isFileError(opened.error(), FileErrorCode::notRegularFile);
      printError(opened.error().description(),
                 damaged   ? "Remove " + dirs.storePath() + " by hand and run 'pallix index'."
                 : special ? "It is not Pallix's: move it away, and 'pallix index' builds a new catalog."
                           : "Check that " + dirs.data + " is writable and not full.");
      return false;
    }
    store = std::move(opened.value());
    return true;
  }

  // Opens the store read-only; never creates or deletes it.
  bool openForReading(const std::string& command) {
    PersistentStore::OpenOptions options;
    options.verifyIntegrity = false;
    auto opened = PersistentStore::openForReading(dirs.storePath(), catalogMigrationSteps(), options);
    if (!opened.ok()) {
      CatalogOpenFailure failure = describeCatalogOpenFailure(opened.error());
      printError(command + ": " + failure.message, failure.hint);
      return false;
    }
    store = std::move(opened.value());
    return true;
  }
};

std::string scanSummaryLine(const FullScanSummary& summary) {
  return stringPrintf(
      "%zu apps, %zu files, %zu folders in %.2fs; %s", summary.appCount, summary.fileCount, summary.folderCount,
      summary.elapsedSeconds,
      summary.unchanged ? "unchanged"
      : summary.mutated
          ? stringPrintf("changed (+%zu ~%zu -%zu)", summary.inserted, summary.updated, summary.deleted).c_str()
          : "no records changed");
}

nlohmann::json scanSummaryJson(const FullScanSummary& summary) {
  nlohmann::json out = {{"apps", summary.appCount},       {"files", summary.fileCount},
                        {"folders", summary.folderCount}, {"elapsedSeconds", summary.elapsedSeconds},
                        {"changed", summary.mutated},     {"unchanged", summary.unchanged},
                        {"inserted", summary.inserted},   {"updated", summary.updated},
                        {"deleted", summary.deleted}};
  if (summary.error) out["error"] = summary.error->description();
  return out;
}

std::string progressLine(const IndexingProgress& progress) {
  switch (progress.phase) {
    case IndexingProgress::Phase::scanning:
      return stringPrintf("Scanning... %zu items", progress.done);
    case IndexingProgress::Phase::saving:
      return stringPrintf("Saving... %zu of %zu records", progress.done, progress.total);
    case IndexingProgress::Phase::indexingNames:
      return stringPrintf("Saving... indexing the names of %zu records", progress.total);
  }
  return {};
}

IndexingService::Dependencies serviceDependencies(CatalogContext& context, const std::shared_ptr<RunLoop>& main,
                                                  const TaskRunnerPtr& background, const TaskRunnerPtr& directory) {
  IndexingService::Dependencies deps;
  deps.mainRunner = main;
  deps.backgroundRunner = background;
  deps.directoryChangeRunner = directory;
  deps.clock = &SystemClock::instance();
  deps.defaults = context.defaults.get();
  deps.store = context.store.get();
  deps.filter = &context.filter;
  deps.dirs = context.dirs;
  return deps;
}

FullScanSummary indexOnce(CatalogContext& context) {
  auto main = RunLoop::create();
  auto background = SerialExecutor::create("pallix-scan");
  auto directory = SerialExecutor::create("pallix-dirchange");
  FullScanSummary result;
  IndexingService service(serviceDependencies(context, main, background, directory));
  if (service.userFileDirectories().empty()) {
    std::cerr << "pallix: no file folders to index; add one with 'pallix folders add DIR'. Indexing apps only.\n";
  }
  service.indexAll(
      [&](const FullScanSummary& summary) {
        result = summary;
        main->quit();
      },
      [](const IndexingProgress& progress) { printProgress(progressLine(progress)); });
  main->run();
  clearProgress();
  background->shutdown();
  directory->shutdown();
  return result;
}

// Becomes the catalog's writer for one scan, or has the running agent scan:
// nullopt once this process holds the writer lock, the agent's summary when
// it answered. While another `index` or `watch` writes, this waits (checking
// again every 100 ms, so an agent that takes over meanwhile is asked too).
// An agent that is ending or not listening yet is asked again for a while;
// one that is not the user's own, stopped or hung is reported.
Result<std::optional<FullScanSummary>> becomeWriterOrAskTheAgent(CatalogContext& context) {
  constexpr auto kAgentStartupLimit = std::chrono::seconds(10);
  bool announced = false;
  std::optional<std::chrono::steady_clock::time_point> firstUnanswered;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool taken, context.writer.tryAcquire(StoreWriterLock::kIndexRole));
    if (taken) return std::optional<FullScanSummary>();
    auto holder = context.writer.holder();
    if (holder && holder->role == StoreWriterLock::kAgentRole) {
      printProgress("Asking the Pallix agent (pid " + std::to_string(holder->pid) + ") to scan...");
      auto reply = LockFileSingleInstance::request(context.dirs.socketPath(), kAgentIndexRequest);
      clearProgress();
      if (reply.ok()) {
        PALLIX_ASSIGN_OR_RETURN(FullScanSummary summary, decodeScanSummary(reply.value()));
        return std::optional<FullScanSummary>(summary);
      }
      const Error& failure = reply.error();
      const bool agentGoingOrComing = failure.domain() == kSingleInstanceErrorDomain &&
                                      (failure.code() == kNobodyListens || failure.code() == kEndedWithoutAnswer);
      if (!agentGoingOrComing) return failure;
      const auto now = std::chrono::steady_clock::now();
      if (!firstUnanswered) firstUnanswered = now;
      if (now - *firstUnanswered >= kAgentStartupLimit) return failure;
    } else if (!announced && holder) {
      std::cerr << "pallix: waiting for " << holder->description() << " to finish writing the catalog...\n";
      announced = true;
    }
    ::poll(nullptr, 0, 100);
  }
}

int runIndex(Args& args) {
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("index", args.failure());
  if (!rest.empty()) return usageError("index", "takes no arguments");
  CatalogContext context;
  if (!context.createDataFolder()) return kExitUnavailable;
  FullScanSummary result;
  auto answered = becomeWriterOrAskTheAgent(context);
  if (!answered.ok()) {
    const bool agentFailed = answered.error().domain() == kSingleInstanceErrorDomain;
    printError("cannot index: " + answered.error().description(),
               agentFailed ? "Resume or restart the Pallix agent, then run 'pallix index' again."
                           : "Check that " + context.dirs.data + " is writable.");
    return kExitUnavailable;
  }
  if (answered.value()) {
    result = *answered.value();
  } else {
    // The store is checked (every page and every schema object) on a
    // connection of its own while the scan runs beside it; damage it finds,
    // or that only the writes meet, has the store opened again with the
    // check, which replaces a damaged one, and the scan run once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
      context.store.reset();
      const bool checkBeside = attempt == 0;
      if (!context.openForWriting(!checkBeside)) return kExitUnavailable;
      std::future<Status> check;
      if (checkBeside) {
        check = std::async(std::launch::async, [path = context.dirs.storePath()] {
          auto checked = PersistentStore::openForReading(path, catalogMigrationSteps(), PersistentStore::OpenOptions{});
          return checked.ok() ? okStatus() : Status(checked.error());
        });
      }
      result = indexOnce(context);
      if (checkBeside) {
        Status sound = check.get();
        if (!sound.ok() && PersistentStore::failureKind(sound.error()) == StoreFailure::damaged) {
          result.error = sound.error();
        }
      }
      if (!result.error || PersistentStore::failureKind(*result.error) != StoreFailure::damaged) break;
      if (attempt == 0) std::cerr << "pallix: the catalog is damaged; checking it and indexing again.\n";
    }
  }
  if (json) {
    printJson(scanSummaryJson(result));
  } else {
    std::cout << "Indexed " << scanSummaryLine(result) << "\n";
  }
  if (result.error) {
    printError("the catalog could not be saved: " + result.error->description(),
               "The previous catalog is kept; run 'pallix index' again.");
    return kExitFailure;
  }
  return kExitOk;
}

int runCatalog(Args& args) {
  bool json = args.flag("--json");
  auto type = args.option("--type");
  auto limit = args.intOption("--limit");
  auto rest = args.positionals();
  if (args.failed()) return usageError("catalog", args.failure());
  if (!rest.empty()) return usageError("catalog", "takes no positional arguments");
  std::optional<IndexedItem::ItemType> itemType;
  if (type) {
    itemType = itemTypeFromRaw(*type);
    if (!itemType) return usageError("catalog", "--type must be app, file or folder, not " + inQuotes(*type));
  }
  if (limit && *limit < 0) return usageError("catalog", "--limit must not be negative");
  CatalogContext context;
  if (!context.openForReading("catalog")) return kExitUnavailable;
  CatalogStore catalog(*context.store);
  Result<std::vector<IndexedItem>> items = std::vector<IndexedItem>{};
  if (itemType) {
    items = catalog.fetchByType(*itemType, limit ? std::optional<int64_t>(*limit) : std::nullopt);
  } else {
    items = catalog.fetchAll();
    if (items.ok() && limit && static_cast<size_t>(*limit) < items.value().size()) items.value().resize(*limit);
  }
  if (!items.ok()) {
    printError("cannot read the catalog: " + items.error().description(), "Run 'pallix index' to rebuild it.");
    return exitStatusFor(items.error());
  }
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const IndexedItem& item : items.value()) out.push_back(itemJson(item));
    printJson(out);
    return kExitOk;
  }
  if (items.value().empty()) {
    std::cout << "The catalog is empty. Run 'pallix index' to build it.\n";
    return kExitOk;
  }
  const std::vector<std::string> names = displayNames(items.value());
  for (size_t i = 0; i < names.size(); ++i) {
    const IndexedItem& item = items.value()[i];
    std::cout << std::left << std::setw(7) << item.itemTypeRaw << std::right << std::setw(10)
              << (item.itemType() == IndexedItem::ItemType::file ? humanSize(item.sizeBytes) : "") << "  "
              << printableColumn(names[i], 32) << "  " << printable(item.path) << "\n";
  }
  return kExitOk;
}

int runFolders(Args& args) {
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("folders", args.failure());
  if (rest.empty()) return usageError("folders", "expected list, add DIR or remove DIR");
  const std::string action = rest[0];
  DataDirectories dirs = DataDirectories::fromEnvironment();
  if (action == "list") {
    if (rest.size() != 1) return usageError("folders", "list takes no arguments");
    UserDefaults defaults(dirs.defaultsPath());
    auto folders = DirectoryLists::persistedFileDirectories(defaults, dirs);
    if (json) {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& folder : folders) out.push_back({{"path", folder}, {"exists", isDirectory(folder)}});
      printJson(out);
    } else if (folders.empty()) {
      std::cout << "No catalog folders (" << DirectoryLists::kFileDirectoriesKey
                << "). Add one with 'pallix folders add DIR'.\n";
    } else {
      std::cout << "Catalog folders (" << DirectoryLists::kFileDirectoriesKey << "), searched by name:\n";
      for (const auto& folder : folders) {
        std::cout << "  " << printable(folder) << (isDirectory(folder) ? "" : "  (missing)") << "\n";
      }
    }
    return kExitOk;
  }
  if (action != "add" && action != "remove") return usageError("folders", "unknown action " + inQuotes(action));
  if (rest.size() != 2) return usageError("folders", action + " takes exactly one folder");
  Status created = createPrivateDirectory(dirs.data);
  if (!created.ok()) {
    printError("cannot create the data folder: " + created.error().description());
    return exitStatusFor(created.error());
  }
  UserDefaults defaults(dirs.defaultsPath());
  auto edited = DirectoryLists::editFileDirectories(defaults, dirs, rest[1], action == "add");
  if (!edited.ok()) {
    const bool missing = action == "add" && !isDirectory(DirectoryLists::standardizePath(rest[1]));
    printError(edited.error().description(),
               missing ? "Give an existing folder." : "See the indexed folders with 'pallix folders list'.");
    return exitStatusFor(edited.error());
  }
  const DirectoryLists::FileDirectoryEdit& edit = edited.value();
  // A running agent applies the edit when it answers; without one the
  // catalog changes at the next `pallix index`.
  auto answer = LockFileSingleInstance::request(dirs.socketPath(), kAgentFoldersRequest);
  const bool agentTakesItUp = answer.ok() && decodeWatchedFolders(answer.value()).ok();
  if (json) {
    printJson(
        {{"action", action},
         {"path", edit.path},
         {"wasDefault", edit.wasDefault},
         {"coveredBy", edit.coveringDirectory ? nlohmann::json(*edit.coveringDirectory) : nlohmann::json(nullptr)},
         {"folders", DirectoryLists::persistedFileDirectories(defaults, dirs)},
         {"agentTakesItUp", agentTakesItUp}});
  } else {
    std::string note;
    const std::string given = DirectoryLists::standardizePath(rest[1]);
    if (given != edit.path) note += " (through " + printable(given) + ")";
    if (edit.wasDefault) note += "; it was indexed by default and is now listed explicitly";
    if (edit.coveringDirectory) {
      note += "; it is inside " + printable(*edit.coveringDirectory) + ", so its files are listed once";
    }
    std::cout << (action == "add" ? "Added " : "Removed ") << printable(edit.path)
              << (action == "add" ? " to" : " from") << " the catalog folders" << note << ". "
              << (!agentTakesItUp   ? "Run 'pallix index' to update the catalog."
                  : action == "add" ? "The running Pallix agent is cataloguing it now and keeps it current."
                                    : "The running Pallix agent is dropping its records now.")
              << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND(
    "index", "scan apps and indexed folders into the catalog",
    "Usage: pallix index [--json]\n\n"
    "Runs one full scan of the application folders, the desktop entries and the indexed file folders\n"
    "(see 'pallix folders') and saves the catalog. A scan that finds nothing changed writes nothing.\n"
    "Shows progress on stderr and prints a summary: apps, files, folders, elapsed time, whether the\n"
    "catalog changed. Exit status 1 when the catalog could not be saved, 3 when the store cannot be opened.\n",
    runIndex);
PALLIX_COMMAND("catalog", "list the catalog's records",
               "Usage: pallix catalog [--type app|file|folder] [--limit N] [--json]\n\n"
               "Lists the stored apps, files and folders. --json prints the records with their field names\n"
               "(path, name, searchName, itemTypeRaw, sizeBytes, fileExtension, modifiedDate as ISO 8601, ...).\n",
               runCatalog);
PALLIX_COMMAND("folders", "list, add or remove the catalog's file folders (name search)",
               "Usage: pallix folders list [--json]\n"
               "       pallix folders add DIR [--json]\n"
               "       pallix folders remove DIR [--json]\n\n"
               "Edits the catalog folders, the folders whose files and folders the catalog indexes for search\n"
               "by name (setting IndexingService.fileDirectories; default: Documents, Desktop, Downloads and\n"
               "Developer in the home folder, those that exist). A running agent ('pallix daemon') takes the change\n"
               "up at once; otherwise run 'pallix index' afterwards.\n\n"
               "Not the semantic search folders, whose file contents are indexed for search by meaning:\n"
               "those are the preference FilesPreferences.indexedFolders ('pallix prefs' shows it;\n"
               "'pallix defaults write FilesPreferences.indexedFolders DIR...' sets it).\n",
               runFolders);

}  // namespace pallix::cli
