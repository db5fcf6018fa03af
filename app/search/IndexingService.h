// IndexingService: builds and keeps current the catalog of applications,
// files and folders (IndexedItem records in the persistent store).
//
// It runs full scans (initial, on demand, after lost events, and every 3 h),
// keeps the catalog current from directory-watcher events (accumulated per
// path, debounced 1.5 s, processed as one incremental run), adapts to the work
// mode, persists the directory lists in user defaults and answers icon
// requests through an IconResolver with a bounded cache. The first snapshot
// of an empty catalog is written while its scan runs (StreamedSnapshotWriter);
// later ones are compared with the stored records once the scan is done.
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
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/DirectoryWatcher.h"
#include "app/platform/IconResolver.h"
#include "app/platform/PersistentStore.h"
#include "app/search/CatalogScanner.h"
#include "app/search/CatalogStore.h"
#include "app/search/ChangeAccumulator.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexCandidate.h"
#include "app/search/IndexedItem.h"
#include "app/search/StreamedSnapshotWriter.h"
#include "core/Clock.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"
#include "core/UserDefaults.h"
#include "core/WorkMode.h"

namespace pallix {

// Resolves scan candidates against stored records: first by lowercased bundle
// identifier (when the candidate has one), then by path. A full snapshot
// preloads every record; an incremental lookup fetches at most one.
class IndexedItemLookup {
 public:
  explicit IndexedItemLookup(std::vector<IndexedItem> items);
  std::optional<size_t> find(const IndexCandidate& candidate) const;
  std::vector<IndexedItem>& items() { return items_; }
  void clear();

  static Result<std::optional<IndexedItem>> fetchOne(CatalogStore& store, const IndexCandidate& candidate);

 private:
  std::vector<IndexedItem> items_;
  std::unordered_map<std::string, size_t> byBundleId_;
  std::unordered_map<std::string, size_t> byPath_;
};

struct FullScanSummary {
  size_t appCount = 0;
  size_t fileCount = 0;
  size_t folderCount = 0;
  double elapsedSeconds = 0;
  // The catalog changed (rows inserted, updated or deleted).
  bool mutated = false;
  // The signature matched the stored one: nothing was compared or written.
  bool unchanged = false;
  size_t inserted = 0;
  size_t updated = 0;
  size_t deleted = 0;
  // Folders that could not be enumerated; their records were kept.
  std::vector<std::string> failedDirectories;
  std::optional<Error> error;
};

// Where a full scan is, for progress lines: scanning (items found so far),
// then, unless nothing changed, saving (records written of the total), and
// for a bulk load the one pass that indexes the names of every record.
struct IndexingProgress {
  enum class Phase { scanning, saving, indexingNames };
  Phase phase = Phase::scanning;
  size_t done = 0;
  // Records to write; 0 while scanning.
  size_t total = 0;

  friend bool operator==(const IndexingProgress&, const IndexingProgress&) = default;
};

struct IncrementalRunSummary {
  size_t changeCount = 0;
  size_t created = 0;
  size_t modified = 0;
  size_t removed = 0;
  size_t failed = 0;
  double elapsedSeconds = 0;
};

class IndexingService {
 public:
  static constexpr Duration kDirectoryChangeDebounceInterval = std::chrono::milliseconds(1500);
  static constexpr Duration kFullScanInterval = std::chrono::seconds(10800);
  static constexpr Duration kTelemetryThrottleInterval = std::chrono::seconds(3600);
  // Records per save of an incremental run. A full snapshot is saved in one
  // transaction, as a bulk load when it writes at least kBulkLoadMinimum
  // records and a third of the catalog (rebuilding the name index then costs
  // less than maintaining it row by row).
  static constexpr size_t kIndexingBatchSize = 120;
  static constexpr size_t kBulkLoadMinimum = 1000;
  // Records written between two progress reports while saving.
  static constexpr size_t kSaveProgressInterval = 4096;
  static constexpr size_t kIconPrefetchLimit = 24;
  static constexpr int kIconTargetSize = 64;
  static constexpr size_t kIconCacheCountLimit = 320;
  static constexpr int64_t kIconCacheCostLimit = 50331648;
  static constexpr Duration kFileSystemEventLatency = std::chrono::milliseconds(500);
  // In deepIdle, incremental runs start at most this often.
  static constexpr Duration kDeepIdleIncrementalInterval = std::chrono::seconds(60);

  static constexpr const char* kAdditionalAppDirectoriesKey = "IndexingService.additionalAppDirectories";
  static constexpr const char* kFileDirectoriesKey = "IndexingService.fileDirectories";
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

  // What an edit of the persisted file-directory list did.
  struct FileDirectoryEdit {
    // The folder as listed: standardised, symbolic links resolved.
    std::string path;
    // Added: the folder was indexed by default and is now listed explicitly.
    bool wasDefault = false;
    // Added: a listed folder that already contains it (its files are listed once).
    std::optional<std::string> coveringDirectory;
  };

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

  // The persisted file directories (defaults: home Documents, Desktop,
  // Downloads and Developer, those that exist).
  static std::vector<std::string> persistedFileDirectories(const UserDefaults& defaults, const DataDirectories& dirs);
  // Edits the persisted list. Only existing directories are added, with their
  // links resolved, once (adding a default folder lists the defaults
  // explicitly); removal accepts the folder as listed or through a link.
  static Result<FileDirectoryEdit> editFileDirectories(UserDefaults& defaults, const DataDirectories& dirs,
                                                       const std::string& path, bool add);
  static std::string standardizePath(const std::string& path);

  const UUID& snapshotVersion() const { return snapshotVersion_; }
  const UUID& iconRefreshToken() const { return iconRefreshToken_; }
  const UUID& directoryVersion() const { return directoryVersion_; }
  std::optional<Date> lastFullScanTime() const { return lastFullScanTime_; }

  // Icons: the file of an item's icon at `size` pixels, through the
  // IconResolver, cached by canonical path (and bundle key for apps).
  void icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion);
  std::optional<std::string> cachedIcon(const IndexedItem& item, int size);
  void prefetchIcons(const std::vector<IndexedItem>& items, int size);
  // The interface theme changed; a different signature clears the icon cache.
  void handleAppearanceChange(const std::string& appearanceSignature);
  void trimInMemoryCaches(const std::string& reason);
  size_t iconCacheCount() const { return iconCache_.size(); }
  int64_t iconCacheCost() const { return iconCacheCost_; }

  // State for tests and the CLI.
  bool isFullScanRunning() const { return watcherIndexIsRunning_; }
  bool isIncrementalRunning() const { return incrementalIndexIsRunning_; }
  bool hasDeferredFullScan() const { return deferredFullScan_; }
  bool hasDeferredIncrementalRun() const { return deferredIncrementalRun_; }
  ChangeAccumulator& changeAccumulator();
  CatalogStore& catalog() { return catalog_; }

 private:
  struct IconEntry {
    std::string file;
    int64_t cost = 0;
  };

  ScanDirectories scanDirectories() const;
  std::vector<std::string> watchedDirectories() const;
  // The persisted lists as used here (file directories resolved, once each).
  std::vector<std::string> loadAdditionalAppDirectories() const;
  std::vector<std::string> loadFileDirectories() const;
  void directoriesChanged();

  void enqueueWatcherIndexingRun();
  void startFullScan();
  void finishFullScan(ScanResult result, std::string signature, MonoTime start);
  FullScanSummary performPersistFullSnapshot(ScanResult& result, const std::string& signature);
  Status persistDiff(ScanResult& result, FullScanSummary& summary);
  // A first snapshot too small for a bulk load: its candidates go back into
  // `result` for an ordinary save.
  static void returnHeldBack(ScanResult& result, std::vector<IndexCandidate> heldBack);
  FullScanSummary persistStreamedSnapshot(StreamedSnapshotWriter& writer, const HandedOutCandidates& kept);
  void reportPersisted(const FullScanSummary& summary, size_t apps, size_t files, double elapsed);
  void reportPersistFailure(const Error& error, FullScanSummary& summary);
  void reportProgress(const IndexingProgress& progress);
  void removeAllItemsIfNeeded(FullScanSummary& summary);
  void schedulePeriodicFullScan();

  void enqueueIncrementalIndexingRun();
  // deepIdle: true when the run must wait for the coalescing interval (a
  // run is then scheduled for its end).
  bool coalesceDeepIdleRun();
  void processIncrementalChanges(std::vector<AccumulatedChange> changes);
  void applyIncrementalChanges(std::vector<std::pair<AccumulatedChange, PathExamination>> examined, MonoTime start);

  std::string iconKey(const IndexedItem& item, int size) const;
  void insertIcon(const std::string& key, std::string file, int size);
  void removeIconsForPath(const std::string& path);
  void clearIconCache();

  void persistSignature(const std::string& signature);

  // State shared with the watcher thread and the directory-change runner;
  // kept alive by their tasks, so it may outlive the service briefly.
  struct Shared;

  Dependencies deps_;
  Logger logger_{"IndexingService"};
  std::shared_ptr<ApplicationEntrySource> ownedEntries_;
  // Shared with background tasks so a scan in flight never dangles.
  std::shared_ptr<CatalogScanner> scanner_;
  CatalogStore catalog_;
  std::shared_ptr<Shared> shared_;

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
  std::string lastSnapshotSignature_;
  UUID snapshotVersion_ = UUID::random();
  UUID iconRefreshToken_ = UUID::random();
  UUID directoryVersion_ = UUID::random();
  std::optional<MonoTime> lastUnchangedSignalTime_;
  std::string appearanceSignature_;
  TaskHandle periodicFullScanHandle_;
  std::optional<MonoTime> lastIncrementalRunStart_;
  TaskHandle coalescedIncrementalRun_;
  std::function<void(const IncrementalRunSummary&)> incrementalObserver_;
  std::function<void(const FullScanSummary&)> fullScanObserver_;

  // Icon cache (LRU, main runner).
  std::list<std::string> iconOrder_;
  std::unordered_map<std::string, std::pair<IconEntry, std::list<std::string>::iterator>> iconCache_;
  int64_t iconCacheCost_ = 0;

  std::unique_ptr<DirectoryWatcher> watcher_;
  // A first snapshot being written while its scan runs (main runner);
  // destroyed before catalog_, which it writes to.
  std::unique_ptr<StreamedSnapshotWriter> streamed_;
  WeakGuard weakGuard_;
};

}  // namespace pallix
