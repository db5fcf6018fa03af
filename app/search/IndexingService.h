// IndexingService: builds and keeps current the catalog of applications,
// files and folders (IndexedItem records in the persistent store).
//
// It runs full scans (initial, on demand, after lost events, and every 3 h),
// keeps the catalog current from directory-watcher events (accumulated per
// path, debounced 1.5 s, processed as one incremental run), adapts to the work
// mode and schedules all of it. Its collaborators do the rest: CatalogWriter
// writes snapshots and incremental runs to the catalog, DirectoryLists keeps
// and edits the folders, DirectoryEventFilter sorts watcher events, and
// IconCache answers icon requests. The first snapshot of an empty catalog is
// written while its scan runs (StreamedSnapshotWriter); later ones are
// compared with the stored records once the scan is done.
//
// Work modes: in `active` nothing starts (requests are deferred to the next
// `idle`); in `idle` everything runs; in `deepIdle` full scans wait for
// `idle`, but incremental runs go on, coalesced to at most one per minute, so
// that a daemon whose panel never shows keeps its catalog current. A folder
// that cannot be enumerated keeps its records until a scan reads it again.
//
// Threading: every public member is called on the main runner, which also
// performs every store write and owns the observable state (snapshotVersion,
// iconRefreshToken, directoryVersion, flags). Scans and incremental disk
// examination run on the background runner; debouncing runs on the separate
// directory-change runner; watcher events arrive on the watcher's own thread
// and only touch the ChangeAccumulator (own lock) before posting. The service
// must be destroyed on the main runner; callbacks that outlive it are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/DirectoryWatcher.h"
#include "app/platform/IconResolver.h"
#include "app/platform/PersistentStore.h"
#include "app/search/CatalogScanner.h"
#include "app/search/CatalogStore.h"
#include "app/search/CatalogWriter.h"
#include "app/search/ChangeAccumulator.h"
#include "app/search/DirectoryLists.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IconCache.h"
#include "app/search/IndexCandidate.h"
#include "app/search/IndexedItem.h"
#include "app/search/StreamedSnapshotWriter.h"
#include "core/Clock.h"
#include "core/Logger.h"
#include "core/SequenceChecker.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"
#include "core/UserDefaults.h"
#include "core/WorkMode.h"

namespace pallix {

class IndexingService {
 public:
  static constexpr Duration kDirectoryChangeDebounceInterval = std::chrono::milliseconds(1500);
  static constexpr Duration kFullScanInterval = std::chrono::seconds(10800);
  static constexpr Duration kTelemetryThrottleInterval = CatalogWriter::kTelemetryThrottleInterval;
  static constexpr size_t kIndexingBatchSize = CatalogWriter::kIndexingBatchSize;
  static constexpr size_t kBulkLoadMinimum = CatalogWriter::kBulkLoadMinimum;
  static constexpr size_t kSaveProgressInterval = CatalogWriter::kSaveProgressInterval;
  static constexpr size_t kIconPrefetchLimit = IconCache::kIconPrefetchLimit;
  static constexpr int kIconTargetSize = 64;
  static constexpr size_t kIconCacheCountLimit = IconCache::kIconCacheCountLimit;
  static constexpr int64_t kIconCacheCostLimit = IconCache::kIconCacheCostLimit;
  static constexpr Duration kFileSystemEventLatency = std::chrono::milliseconds(500);
  // In deepIdle, incremental runs start at most this often.
  static constexpr Duration kDeepIdleIncrementalInterval = std::chrono::seconds(60);

  static constexpr const char* kAdditionalAppDirectoriesKey = DirectoryLists::kAdditionalAppDirectoriesKey;
  static constexpr const char* kFileDirectoriesKey = DirectoryLists::kFileDirectoriesKey;
  static constexpr const char* kLastFullScanTimeKey = "IndexingService.lastFullScanTime";

  struct Dependencies {
    TaskRunnerPtr mainRunner;
    TaskRunnerPtr backgroundRunner;
    // Serial runner for debouncing directory changes
    // (".indexingservice.directory-change-handler").
    TaskRunnerPtr directoryChangeRunner;
    const Clock* clock = nullptr;
    DirectoryWatcherFactory* watcherFactory = nullptr;  // null: no watching
    UserDefaults* defaults = nullptr;
    PersistentStore* store = nullptr;
    FileExclusionFilter* filter = nullptr;
    IconResolver* iconResolver = nullptr;  // null: no icons
    DataDirectories dirs;
    // Desktop entries; null uses the XDG directories of `dirs`.
    ApplicationEntrySource* applicationEntries = nullptr;
    // The base app directories; empty uses "/Applications",
    // "/System/Applications", "/System/Cryptexes/App/System/Applications" and
    // the home "Applications".
    std::vector<std::string> baseAppDirectories;
    // Opens the folders the file walks enter; null uses the file system's own.
    DirectoryOpener* directoryOpener = nullptr;
  };

  using FileDirectoryEdit = DirectoryLists::FileDirectoryEdit;

  explicit IndexingService(Dependencies deps);
  ~IndexingService();
  IndexingService(const IndexingService&) = delete;
  IndexingService& operator=(const IndexingService&) = delete;

  // Starts the first full scan in `idle`; otherwise defers it to the next idle.
  void startInitialIndexingIfNeeded();
  void setWorkMode(WorkMode mode);
  WorkMode workMode() const { return workMode_; }

  using Completion = std::function<void(const FullScanSummary&)>;
  using ProgressCallback = std::function<void(const IndexingProgress&)>;
  // One full scan and persistence, whatever the work mode. `completion` and
  // `progress` run on the main runner. A request made while a scan runs is
  // served by one follow-up scan.
  void indexAll(Completion completion = {}, ProgressCallback progress = {});

  // Creates the directory watcher over the existing watched directories.
  void startWatching();
  void stopWatching();
  bool isWatching() const { return watcher_ != nullptr; }
  // Watcher entry point (any thread): filters, accumulates, schedules.
  void handleDirectoryEvents(std::vector<DirectoryEvent> events);
  // Called on the main runner after each incremental run (CLI watch).
  void setIncrementalRunObserver(std::function<void(const IncrementalRunSummary&)> observer);
  void setFullScanObserver(std::function<void(const FullScanSummary&)> observer);
  // Called on the main runner as each full scan starts.
  void setFullScanStartObserver(std::function<void()> observer);

  // Directory lists (thread-safe reads).
  std::vector<std::string> appDirectories() const;
  std::vector<std::string> userFileDirectories() const;
  Status addAppDirectory(const std::string& path);
  Status removeAppDirectory(const std::string& path);
  Status addFileDirectory(const std::string& path);
  Status removeFileDirectory(const std::string& path);
  // Re-reads the persisted directory lists (another process, such as
  // `pallix folders`, edited the user defaults) and, when they differ from the
  // lists in use, applies them as an edit here would: directoryVersion
  // renewed, watcher rebuilt, catalog updated. Returns whether they differed.
  bool reloadDirectoryLists();

  // The persisted lists as DirectoryLists reads and edits them.
  static std::vector<std::string> persistedFileDirectories(const UserDefaults& defaults, const DataDirectories& dirs) {
    return DirectoryLists::persistedFileDirectories(defaults, dirs);
  }
  static Result<FileDirectoryEdit> editFileDirectories(UserDefaults& defaults, const DataDirectories& dirs,
                                                       const std::string& path, bool add) {
    return DirectoryLists::editFileDirectories(defaults, dirs, path, add);
  }
  static std::string standardizePath(const std::string& path) { return DirectoryLists::standardizePath(path); }

  const UUID& snapshotVersion() const { return snapshotVersion_; }
  const UUID& iconRefreshToken() const { return icons_.iconRefreshToken(); }
  const UUID& directoryVersion() const { return directoryVersion_; }
  std::optional<Date> lastFullScanTime() const { return lastFullScanTime_; }

  // Icons: the file of an item's icon at `size` pixels (IconCache).
  void icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion) {
    icons_.icon(item, size, std::move(completion));
  }
  std::optional<std::string> cachedIcon(const IndexedItem& item, int size) { return icons_.cachedIcon(item, size); }
  void prefetchIcons(const std::vector<IndexedItem>& items, int size) { icons_.prefetchIcons(items, size); }
  // The interface theme changed; a different signature clears the icon cache.
  void handleAppearanceChange(const std::string& appearanceSignature) {
    icons_.handleAppearanceChange(appearanceSignature);
  }
  void trimInMemoryCaches(const std::string& reason);
  size_t iconCacheCount() const { return icons_.count(); }
  int64_t iconCacheCost() const { return icons_.cost(); }

  // State for tests and the CLI.
  bool isFullScanRunning() const { return watcherIndexIsRunning_; }
  bool isIncrementalRunning() const { return incrementalIndexIsRunning_; }
  bool hasDeferredFullScan() const { return deferredFullScan_; }
  bool hasDeferredIncrementalRun() const { return deferredIncrementalRun_; }
  ChangeAccumulator& changeAccumulator();
  CatalogStore& catalog() { return catalog_; }

 private:
  // Puts the persisted directory lists in use, then applyDirectoryChange.
  void directoriesChanged();
  // directoryVersion renewed, watcher rebuilt, the folders that came or went
  // since `before` indexed or dropped, and the file directories watched
  // across the rebuild walked again.
  void applyDirectoryChange(const ScanDirectories& before);
  // Replaces the watcher by one over the current directories.
  void rewatch();

  void enqueueWatcherIndexingRun();
  void startFullScan();
  void finishFullScan(ScanResult result, std::string signature, MonoTime start);
  // A first snapshot too small for a bulk load: its candidates go back into
  // `result` for an ordinary save.
  static void returnHeldBack(ScanResult& result, std::vector<IndexCandidate> heldBack);
  void reportProgress(const IndexingProgress& progress);
  void schedulePeriodicFullScan();

  void enqueueIncrementalIndexingRun();
  // deepIdle: true when the run must wait for the coalescing interval (a
  // run is then scheduled for its end).
  bool coalesceDeepIdleRun();
  void processIncrementalChanges(std::vector<AccumulatedChange> changes);
  void applyIncrementalChanges(std::vector<ExaminedChange> examined, MonoTime start);

  // State shared with the watcher thread and the directory-change runner;
  // kept alive by their tasks, so it may outlive the service briefly.
  struct Shared;

  Dependencies deps_;
  SequenceChecker sequence_{deps_.mainRunner.get(), "IndexingService"};
  Logger logger_{"IndexingService"};
  std::shared_ptr<ApplicationEntrySource> ownedEntries_;
  // Shared with background tasks so a scan in flight never dangles.
  std::shared_ptr<CatalogScanner> scanner_;
  CatalogStore catalog_;
  CatalogWriter writer_;
  // Shared with the watcher thread through shared_.
  std::shared_ptr<DirectoryLists> directories_;
  std::shared_ptr<Shared> shared_;
  IconCache icons_;

  // Main-runner state.
  WorkMode workMode_ = WorkMode::idle;
  bool watcherIndexIsRunning_ = false;
  bool shouldReindexAfterCurrentWatcherRun_ = false;
  bool incrementalIndexIsRunning_ = false;
  bool shouldRunIncrementalAfterCurrent_ = false;
  bool deferredFullScan_ = false;
  bool deferredIncrementalRun_ = false;
  bool initialIndexingStarted_ = false;
  std::vector<Completion> currentCompletions_;
  std::vector<Completion> nextCompletions_;
  ProgressCallback currentProgress_;
  ProgressCallback nextProgress_;
  std::optional<Date> lastFullScanTime_;
  UUID snapshotVersion_ = UUID::random();
  UUID directoryVersion_ = UUID::random();
  TaskHandle periodicFullScanHandle_;
  std::optional<MonoTime> lastIncrementalRunStart_;
  TaskHandle coalescedIncrementalRun_;
  std::function<void(const IncrementalRunSummary&)> incrementalObserver_;
  std::function<void(const FullScanSummary&)> fullScanObserver_;
  std::function<void()> fullScanStartObserver_;

  std::unique_ptr<DirectoryWatcher> watcher_;
  // A first snapshot being written while its scan runs (main runner);
  // destroyed before catalog_, which it writes to.
  std::unique_ptr<StreamedSnapshotWriter> streamed_;
  WeakGuard weakGuard_;
};

}  // namespace pallix
