// FileChunkIndexer: keeps the file embedding store in step with the text
// files of the semantic folders.
//
// A full pass collects the files, skips those the store already holds with
// the same modification time, and for each other file reads it, cuts it
// into chunks (FileChunking), removes its previous chunks and adds the new
// ones in batches, each under the embedding coordinator's lease ("files",
// 120 s). It saves the store every 10 s along the way and at the end. A pass over content that has not changed
// since the last completed pass (IndexingCompletionTracker) is skipped.
// After the pass the indexer polls: every 300 s (1800 s in deep idle) it
// compares the files on disk with the store's metadata cache and re-indexes
// changed files once they have been quiet for 45 s, at most 96 per poll.
//
// It works only when allowed: deep idle defers new passes, the active work
// mode and requestPause() hold it at the next batch until resume(), a
// critical thermal state holds it until the state improves, and the safety
// gate (thermal serious or worse, 2 GB resident) stops a pass for a retry.
// After each file it pauses for the intensity's delay times the thermal
// multiplier. A watchdog restarts a pass that made no progress for 600 s;
// the third stall escalates to a (refused) rebuild request, later ones
// retry.
//
// Threading: an actor on its own runner; every public call posts to it and
// every timer (polling, coalescing, retries, watchdog, thermal checks,
// per-file pauses) goes through that runner's clock. Store and coordinator
// answers come back to it; answers for a cancelled run are dropped by run
// generation. Owned through shared_ptr; tasks hold weak references.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/preferences/IndexingIntensity.h"
#include "app/search/FileExclusionFilter.h"
#include "app/semantic/EmbeddingCoordinator.h"
#include "app/semantic/FileChunkStore.h"
#include "app/semantic/FileChunking.h"
#include "app/semantic/IndexingCompletionTracker.h"
#include "app/semantic/IndexingConditions.h"
#include "core/Completion.h"
#include "core/Logger.h"
#include "core/NotificationCenter.h"
#include "core/WorkMode.h"

namespace pallix {

// Pause after each embedded file for an intensity, before the thermal multiplier.
Duration pauseForIntensity(IndexingIntensity intensity);
// ×1 nominal, ×2 fair, ×4 serious, ×10 critical; nullopt for a state the platform does not name.
std::optional<int> thermalMultiplier(ThermalState state);
const char* thermalStateName(ThermalState state);

class FileChunkIndexer : public std::enable_shared_from_this<FileChunkIndexer> {
 public:
  static constexpr const char* kOwner = "files";
  static constexpr const char* kDidBecomeReadyNotification = "FileEmbeddingIndexerDidBecomeReady";

  struct Tuning {
    int64_t maxFileSize = kMaxFileSize;
    Duration pollingInterval = std::chrono::seconds(300);
    Duration deepIdlePollingInterval = std::chrono::seconds(1800);
    Duration watcherChangeCoalescingWindow = std::chrono::seconds(45);
    std::size_t watcherBatchLimit = 96;
    Duration stallThresholdSeconds = std::chrono::seconds(600);
    Duration watchdogInterval = std::chrono::seconds(60);
    Duration thermalCheckInterval = std::chrono::seconds(5);
    Duration leaseTimeout = std::chrono::seconds(120);
    Duration heartbeatTelemetryInterval = std::chrono::seconds(60);
    uint64_t memoryLimitBytes = 2ull << 30;
    // Kept for reporting; the safety gate uses memoryLimitBytes.
    double memoryPressureThreshold = 1.0;
    // Replaces the intensity's per-file pause (foreground passes, benchmarks).
    std::optional<Duration> perFilePauseOverride;
    // During a pass the store is saved after the file that ends this long
    // since the pass began or the last such save (or ten times as long as
    // that save took, if longer: a large index is not rewritten constantly),
    // so that a killed process keeps most of its work; the end always saves.
    Duration checkpointInterval = std::chrono::seconds(10);
  };

  struct Dependencies {
    TaskRunnerPtr runner;
    std::shared_ptr<FileChunkStore> store;
    std::shared_ptr<EmbeddingCoordinator> coordinator;  // null: EmbeddingCoordinator::shared()
    const IndexingConditions* conditions = nullptr;     // must outlive the indexer
    const FileExclusionFilter* filter = nullptr;        // must outlive the indexer
    IndexingCompletionTracker* tracker = nullptr;       // optional; must outlive the indexer
    NotificationCenter* notifications = nullptr;        // null: the default center
    DirectoryOpener* directoryOpener = nullptr;         // null: the system's; must outlive the indexer
    Tuning tuning;
  };

  enum class Phase { idle, collecting, indexing, saving, watching, paused, waitingForLease, thermalHold, stopped };
  enum class RebuildTrigger { user, stallRecovery };

  struct Progress {
    Phase phase = Phase::idle;
    bool isIndexing = false;
    bool isComplete = false;
    bool isRebuilding = false;  // the pass that follows a rebuild or reset
    int64_t totalFiles = 0;
    int64_t indexedFiles = 0;  // files handled so far in this pass (skipped ones included)
    int64_t chunksAdded = 0;
    std::string currentFileName;
  };

  // How one full pass ended.
  struct PassSummary {
    enum class Outcome { completed, unchanged, deferred, interrupted, noFolders, failed };
    Outcome outcome = Outcome::completed;
    int64_t totalFiles = 0;
    int64_t indexedFiles = 0;    // read, chunked and embedded
    int64_t unchangedFiles = 0;  // already in the store with this modification time
    int64_t failedFiles = 0;     // not UTF-8 text, unreadable
    int64_t chunksAdded = 0;
    // The store refused chunks (the model did not load): the pass failed
    // and nothing counts as done.
    bool embeddingFailed = false;
    double elapsedSeconds = 0;
    std::string detail;
  };

  static std::shared_ptr<FileChunkIndexer> create(Dependencies deps);
  ~FileChunkIndexer();

  // A full pass over `folders`, then polling for changes.
  void startContinuousIndexing(std::vector<std::string> folders);
  // One full pass, without polling afterwards; `done` gets its summary.
  void runFullPass(std::vector<std::string> folders, Completion<PassSummary> done);
  // One change check on the catch-up timer; `done` gets whether it ran.
  void runScheduledCatchUpPass(std::vector<std::string> folders, Completion<bool> done = {});
  void setWorkMode(WorkMode mode);
  void setIndexingIntensity(IndexingIntensity intensity);
  void requestPause();
  void resume();
  void stop();
  void rebuildIndex(RebuildTrigger trigger, Completion<Status> done = {});
  // Called with every progress update, and once at once with the current state.
  void setProgressObserver(Completion<Progress> observer);
  // The thermal state may also be pushed (the indexer polls it while working).
  void thermalStateDidChange();
  // The current progress.
  void progress(Completion<Progress> done);

 private:
  struct WorkItem {
    enum class Kind { index, remove };
    Kind kind = Kind::index;
    CollectedFile file;
  };
  // One pass in progress: a full pass, a watcher pass or a catch-up pass.
  struct Run {
    enum class Kind { full, watcher, catchUp };
    Kind kind = Kind::full;
    uint64_t generation = 0;
    std::vector<WorkItem> items;
    std::size_t next = 0;
    std::string contentHash;
    std::vector<std::string> unreadableFolders;  // what collectFiles could not list
    PassSummary summary;
    MonoTime startedAt{};
    MonoTime lastCheckpoint{};
    Duration lastCheckpointTook{};
    bool mutated = false;
    // Where a held run picks up again (the next file, or the rest of one).
    std::function<void()> resumeAction;
    bool holdingForPause = false;
    bool holdingForThermal = false;
    EmbeddingCoordinator::LeaseRef lease;
    std::string currentPath;
    Completion<PassSummary> done;
    Completion<bool> catchUpDone;
  };
  struct PendingChange {
    MonoTime firstSeen;
    MonoTime lastSeen;
    std::optional<CollectedFile> file;  // absent: deleted
  };

  explicit FileChunkIndexer(Dependencies deps);
  static bool modificationDiffers(double a, double b);
  static bool isGone(const std::string& path, const std::vector<std::string>& folders,
                     const std::vector<std::string>& unreadable);
  void post(std::function<void(FileChunkIndexer&)> work);
  void postDelayed(Duration delay, TaskHandle handle, std::function<void(FileChunkIndexer&)> work);

  // Passes (FileChunkIndexer.cpp; watcher passes in FileChunkIndexerWatching.cpp).
  void performFullIndex(const std::string& why);
  using PassStart = void (FileChunkIndexer::*)(std::vector<CollectedFile>, std::map<std::string, double>);
  // Lists the indexed folders (noting the unreadable ones in the run), reads
  // the store's modification times, then calls `start` if the run is current.
  void collectFilesThen(PassStart start);
  void beginFullPass(std::vector<CollectedFile> files, std::map<std::string, double> cached);
  void startWatcherPass();
  void beginWatcherPass(std::vector<CollectedFile> files, std::map<std::string, double> cached);
  void processNext();
  void processItem(WorkItem item);
  void addBatches(std::shared_ptr<std::vector<ChunkInput>> chunks, std::size_t from);
  void finishItem(bool indexed);
  void continueAfterPause();
  void finishRun();
  void endRun(PassSummary::Outcome outcome, const std::string& detail);
  // Hands the ended pass to the process's source statistics (`pallix status`).
  void recordPassStatistics(const Run& run) const;
  void schedulePoll();
  bool runIsCurrent(uint64_t generation) const;
  std::string leaseTimeoutReason(bool lastBatch) const;

  // Supervision (FileChunkIndexerSupervision.cpp).
  bool canSafelyIndex();
  bool holdIfNeeded();
  void checkThermalState();
  void scheduleThermalCheck();
  Duration perFilePause();
  void scheduleRetry(Duration delay, const std::string& reason);
  void handleRetryFire(const std::string& reason);
  void refreshHeartbeat();
  void scheduleWatchdog();
  void checkForStall();
  void recoverFromStall(Duration idle);
  void cancelRun();
  void rebuildNow(RebuildTrigger trigger, Completion<Status> done);
  void handleIndexWasReset();
  void publishProgress();

  Dependencies deps_;
  Logger logger_{"FileChunkIndexer"};
  ScopedObservation resetObservation_;

  Duration currentPollingInterval_;
  IndexingIntensity indexingIntensity_ = IndexingIntensity::balanced;
  WorkMode workMode_ = WorkMode::idle;
  ThermalState currentThermalState_ = ThermalState::nominal;
  bool thermalMonitoring_ = false;
  bool pauseRequested_ = false;
  bool stopped_ = false;
  bool continuous_ = false;
  bool rebuildInFlight_ = false;
  bool rebuildingPass_ = false;
  std::vector<std::string> indexedFolders_;

  std::unique_ptr<Run> run_;
  uint64_t runGeneration_ = 0;
  Progress progress_;
  Completion<Progress> progressObserver_;
  std::map<std::string, PendingChange> pendingWatcherChanges_;

  TaskHandle pollTask_;
  TaskHandle retryTask_;
  TaskHandle watchdogTask_;
  TaskHandle thermalTask_;
  TaskHandle resumeTask_;
  MonoTime lastProgressHeartbeat_{};
  std::optional<MonoTime> lastHeartbeatTelemetryAt_;
  int stallRestartCount_ = 0;
  bool didEscalateAfterStall_ = false;
};

const char* phaseName(FileChunkIndexer::Phase phase);

}  // namespace pallix
