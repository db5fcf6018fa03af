#include "app/search/IndexingService.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "app/search/DirectoryEventFilter.h"
#include "core/FileUtil.h"
#include "core/Formatting.h"
#include "core/SourceStatistics.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

double elapsedSince(const Clock& clock, MonoTime start) {
  return toSeconds(clock.now() - start);
}

std::vector<std::string> applicationEntryDirectories(ApplicationEntrySource& entries) {
  std::vector<std::string> out;
  for (const ApplicationDirectory& directory : entries.directories()) out.push_back(directory.path);
  return out;
}

std::vector<std::string> baseAppDirectoriesOr(std::vector<std::string> given, const DataDirectories& dirs) {
  if (!given.empty()) return given;
  return {"/Applications", "/System/Applications", "/System/Cryptexes/App/System/Applications",
          dirs.home + "/Applications"};
}

}  // namespace

// ---- Shared state ----

struct IndexingService::Shared {
  explicit Shared(std::shared_ptr<const DirectoryLists> lists) : filter(std::move(lists)) {}

  ChangeAccumulator accumulator;
  DirectoryEventFilter filter;
  TaskRunnerPtr mainRunner;
  TaskRunnerPtr directoryChangeRunner;
  // Posted to the main runner when the debounce fires (weak-guarded).
  std::function<void()> runIncrementalOnMain;

  // Touched on the directory-change runner only.
  TaskHandle pendingIncremental;

  void scheduleIncrementalUpdate(const std::shared_ptr<Shared>& self) {
    directoryChangeRunner->post([self] {
      self->pendingIncremental.cancel();
      self->pendingIncremental = self->directoryChangeRunner->postDelayed(
          kDirectoryChangeDebounceInterval, [self] { self->mainRunner->post(self->runIncrementalOnMain); });
    });
  }

  void accept(const std::shared_ptr<Shared>& self, const std::vector<DirectoryEvent>& events, MonoTime now) {
    if (filter.accumulate(events, accumulator, now)) scheduleIncrementalUpdate(self);
  }
};

// ---- Construction ----

IndexingService::IndexingService(Dependencies deps)
    : deps_(std::move(deps)),
      ownedEntries_(deps_.applicationEntries ? nullptr : makeXdgApplicationEntrySource(deps_.dirs)),
      scanner_(std::make_shared<CatalogScanner>(
          *deps_.filter, deps_.dirs.home, deps_.applicationEntries ? deps_.applicationEntries : ownedEntries_.get())),
      catalog_(*deps_.store),
      writer_(*deps_.store, catalog_, deps_.clock ? *deps_.clock : deps_.mainRunner->clock()),
      directories_(std::make_shared<DirectoryLists>(
          *deps_.defaults, deps_.dirs, baseAppDirectoriesOr(deps_.baseAppDirectories, deps_.dirs),
          applicationEntryDirectories(deps_.applicationEntries ? *deps_.applicationEntries : *ownedEntries_))),
      shared_(std::make_shared<Shared>(directories_)),
      icons_(deps_.mainRunner, deps_.backgroundRunner, deps_.iconResolver,
             deps_.applicationEntries ? deps_.applicationEntries : ownedEntries_.get(), ownedEntries_) {
  if (!deps_.clock) deps_.clock = &deps_.mainRunner->clock();
  scanner_->setDirectoryOpener(deps_.directoryOpener);
  shared_->mainRunner = deps_.mainRunner;
  shared_->directoryChangeRunner = deps_.directoryChangeRunner;
  shared_->runIncrementalOnMain = weakGuard_.wrap([this] { enqueueIncrementalIndexingRun(); });
  lastFullScanTime_ = deps_.defaults->dateValue(kLastFullScanTimeKey);
}

IndexingService::~IndexingService() {
  stopWatching();
  periodicFullScanHandle_.cancel();
}

ChangeAccumulator& IndexingService::changeAccumulator() {
  return shared_->accumulator;
}

void IndexingService::setIncrementalRunObserver(std::function<void(const IncrementalRunSummary&)> observer) {
  incrementalObserver_ = std::move(observer);
}

void IndexingService::setFullScanObserver(std::function<void(const FullScanSummary&)> observer) {
  fullScanObserver_ = std::move(observer);
}

void IndexingService::setFullScanStartObserver(std::function<void()> observer) {
  fullScanStartObserver_ = std::move(observer);
}

// ---- Directories ----

std::vector<std::string> IndexingService::appDirectories() const {
  return directories_->appDirectories();
}

std::vector<std::string> IndexingService::userFileDirectories() const {
  return directories_->userFileDirectories();
}

Status IndexingService::addAppDirectory(const std::string& path) {
  PALLIX_RETURN_IF_ERROR(directories_->addAppDirectory(path));
  directoriesChanged();
  return okStatus();
}

Status IndexingService::removeAppDirectory(const std::string& path) {
  PALLIX_RETURN_IF_ERROR(directories_->removeAppDirectory(path));
  directoriesChanged();
  return okStatus();
}

Status IndexingService::addFileDirectory(const std::string& path) {
  PALLIX_RETURN_IF_ERROR(directories_->addFileDirectory(path));
  directoriesChanged();
  return okStatus();
}

Status IndexingService::removeFileDirectory(const std::string& path) {
  PALLIX_RETURN_IF_ERROR(directories_->removeFileDirectory(path));
  directoriesChanged();
  return okStatus();
}

bool IndexingService::reloadDirectoryLists() {
  const ScanDirectories before = directories_->scanDirectories();
  if (!directories_->reload()) return false;
  applyDirectoryChange(before);
  return true;
}

void IndexingService::directoriesChanged() {
  const ScanDirectories before = directories_->scanDirectories();
  directories_->reload();
  applyDirectoryChange(before);
}

void IndexingService::applyDirectoryChange(const ScanDirectories& before) {
  const ScanDirectories after = directories_->scanDirectories();
  directoryVersion_ = UUID::random();
  const bool rewatched = watcher_ != nullptr;
  if (rewatched) rewatch();
  // A file directory that appeared is walked and one that went loses its
  // records, as an incremental change of that folder, which also works in
  // deepIdle. Only a scan can tell apart the records of a folder that stays
  // listed inside one that went, and what changed with the app directories.
  auto contains = [](const std::vector<std::string>& list, const std::string& path) {
    return std::find(list.begin(), list.end(), path) != list.end();
  };
  bool needsScan = before.appDirectories != after.appDirectories;
  std::vector<std::pair<std::string, uint32_t>> changes;
  for (const std::string& root : before.fileDirectories) {
    if (contains(after.fileDirectories, root)) continue;
    for (const std::string& kept : after.fileDirectories) needsScan |= startsWith(kept, root + "/");
    changes.emplace_back(root, kDirectoryEventRemoved | kDirectoryEventIsDirectory);
  }
  for (const std::string& root : after.fileDirectories) {
    if (!contains(before.fileDirectories, root)) {
      changes.emplace_back(root, kDirectoryEventCreated | kDirectoryEventIsDirectory);
    } else if (rewatched) {
      // Events of the folders watched across the re-watch may have been
      // lost while the watches were rebuilt: they are walked again.
      changes.emplace_back(root, kDirectoryEventModified | kDirectoryEventIsDirectory);
    }
  }
  if (needsScan) {
    shared_->accumulator.requestFullScan();
  } else {
    for (const auto& [path, flags] : changes) shared_->accumulator.add(path, flags, deps_.clock->now());
  }
  shared_->scheduleIncrementalUpdate(shared_);
}

// ---- Work modes ----

void IndexingService::setWorkMode(WorkMode mode) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (mode == workMode_) return;
  workMode_ = mode;
  TelemetryService::signal("IndexingService.workModeChanged", {{"mode", workModeName(mode)}});
  if (coalescedIncrementalRun_.valid()) {
    // The run waiting for the deepIdle interval follows the new mode's rules.
    coalescedIncrementalRun_.cancel();
    coalescedIncrementalRun_ = {};
    deferredIncrementalRun_ = true;
  }
  if (mode == WorkMode::idle) {
    if (deferredFullScan_) {
      deferredFullScan_ = false;
      enqueueWatcherIndexingRun();
    }
    if (deferredIncrementalRun_) {
      deferredIncrementalRun_ = false;
      enqueueIncrementalIndexingRun();
    }
  } else if (mode == WorkMode::deepIdle) {
    trimInMemoryCaches("deepIdle");
  }
}

void IndexingService::trimInMemoryCaches(const std::string& reason) {
  icons_.clear();
  TelemetryService::signal("IndexingService.memoryTrimmed", {{"reason", reason}});
}

void IndexingService::startInitialIndexingIfNeeded() {
  if (workMode_ != WorkMode::idle) {
    deferredFullScan_ = true;
    return;
  }
  if (initialIndexingStarted_ && watcherIndexIsRunning_) return;
  initialIndexingStarted_ = true;
  if (!watcherIndexIsRunning_) startFullScan();
}

// ---- Full scans ----

void IndexingService::indexAll(Completion completion, ProgressCallback progress) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (watcherIndexIsRunning_) {
    shouldReindexAfterCurrentWatcherRun_ = true;
    if (completion) nextCompletions_.push_back(std::move(completion));
    if (progress) nextProgress_ = std::move(progress);
    return;
  }
  if (completion) currentCompletions_.push_back(std::move(completion));
  currentProgress_ = std::move(progress);
  startFullScan();
}

void IndexingService::enqueueWatcherIndexingRun() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (workMode_ != WorkMode::idle) {
    deferredFullScan_ = true;
    return;
  }
  if (watcherIndexIsRunning_) {
    shouldReindexAfterCurrentWatcherRun_ = true;
    return;
  }
  startFullScan();
}

void IndexingService::startFullScan() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  watcherIndexIsRunning_ = true;
  logger_.info("Starting unified indexer run");
  if (fullScanStartObserver_) fullScanStartObserver_();
  const MonoTime start = deps_.clock->now();
  ScanDirectories directories = directories_->scanDirectories();
  directories.expectedFileCount = writer_.lastSnapshotFileCount();
  std::function<void(size_t)> progress;
  if (currentProgress_) {
    progress = [main = deps_.mainRunner, report = weakGuard_.wrap([this](size_t n) {
      reportProgress({IndexingProgress::Phase::scanning, n, 0});
    })](size_t n) { main->post([report, n]() mutable { report(n); }); };
  }
  // Into an empty catalog every candidate is a new record: they are written
  // as the scan hands them out.
  CandidateBatchHandler handOut;
  if (writer_.expectsFirstSnapshot()) {
    streamed_ = std::make_unique<StreamedSnapshotWriter>(catalog_, *deps_.clock, kBulkLoadMinimum);
    handOut = [main = deps_.mainRunner, write = weakGuard_.wrap([this](std::vector<IndexCandidate>& batch) {
      if (streamed_) streamed_->add(std::move(batch));
    })](std::vector<IndexCandidate> batch) {
      main->post([write, batch = std::make_shared<std::vector<IndexCandidate>>(std::move(batch))]() mutable {
        write(*batch);
      });
    };
  }
  auto finish = weakGuard_.wrap([this, start](std::shared_ptr<std::pair<ScanResult, std::string>> done) {
    finishFullScan(std::move(done->first), std::move(done->second), start);
  });
  deps_.backgroundRunner->post(
      [scanner = scanner_, directories, progress, handOut, main = deps_.mainRunner, finish]() mutable {
        auto done = std::make_shared<std::pair<ScanResult, std::string>>();
        done->first = scanner->scan(directories, {}, progress, handOut);
        // What was handed out is signed on the main runner, with the link
        // targets that turn out to be new.
        if (!done->first.handedOut) done->second = CatalogScanner::signature(done->first.apps, done->first.files);
        main->post([finish, done]() mutable { finish(done); });
      });
}

void IndexingService::returnHeldBack(ScanResult& result, std::vector<IndexCandidate> heldBack) {
  std::unordered_set<std::string> paths;
  std::vector<IndexCandidate> files;
  for (IndexCandidate& c : heldBack) {
    paths.insert(c.canonicalPath);
    (c.itemType == IndexedItem::ItemType::app ? result.apps : files).push_back(std::move(c));
  }
  for (IndexCandidate& target : result.files) {
    if (paths.insert(target.canonicalPath).second) files.push_back(std::move(target));
  }
  result.files = std::move(files);
  result.handedOut.reset();
}

void IndexingService::finishFullScan(ScanResult result, std::string signature, MonoTime start) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  for (const std::string& failed : result.failedDirectories) {
    logger_.error("Pallix.IndexingService: Failed to enumerate %s", failed.c_str());
  }
  std::unique_ptr<StreamedSnapshotWriter> streamed = std::move(streamed_);
  if (streamed && !streamed->isBulk()) {
    returnHeldBack(result, streamed->takeHeldBack());
    streamed.reset();
    signature = CatalogScanner::signature(result.apps, result.files);
  }
  FullScanSummary summary;
  if (streamed && result.handedOut) {
    HandedOutCandidates& kept = *result.handedOut;
    streamed->addLinkTargets(std::move(result.files), kept);
    logger_.info("Finished scan with %ld apps and %ld files in %fs", static_cast<long>(kept.apps),
                 static_cast<long>(kept.files), elapsedSince(*deps_.clock, start));
    summary = writer_.persistStreamedSnapshot(*streamed, kept, currentProgress_);
  } else {
    logger_.info("Finished scan with %ld apps and %ld files in %fs", static_cast<long>(result.apps.size()),
                 static_cast<long>(result.files.size()), elapsedSince(*deps_.clock, start));
    summary = writer_.persistFullSnapshot(result, signature, currentProgress_);
  }
  if (summary.mutated) snapshotVersion_ = UUID::random();
  summary.failedDirectories = std::move(result.failedDirectories);
  summary.elapsedSeconds = elapsedSince(*deps_.clock, start);
  lastFullScanTime_ = deps_.clock->wallNow();
  Status stored = deps_.defaults->setDate(kLastFullScanTimeKey, *lastFullScanTime_);
  if (!stored.ok()) logger_.error("Failed to store the last full scan time: %s", stored.error().description().c_str());
  schedulePeriodicFullScan();

  watcherIndexIsRunning_ = false;
  std::vector<Completion> completions;
  completions.swap(currentCompletions_);
  currentProgress_ = nullptr;
  if (shouldReindexAfterCurrentWatcherRun_) {
    shouldReindexAfterCurrentWatcherRun_ = false;
    currentCompletions_.swap(nextCompletions_);
    currentProgress_ = std::move(nextProgress_);
    nextProgress_ = nullptr;
    startFullScan();
  }
  SourceStatistics::process().recordPass(
      "catalog",
      {"full scan", deps_.clock->wallNow(), seconds(summary.elapsedSeconds), summary.error ? "failed" : "completed"});
  if (fullScanObserver_) fullScanObserver_(summary);
  for (Completion& completion : completions) completion(summary);
}

void IndexingService::schedulePeriodicFullScan() {
  periodicFullScanHandle_.cancel();
  periodicFullScanHandle_ = deps_.mainRunner->postDelayed(kFullScanInterval, weakGuard_.wrap([this] {
    logger_.info("Periodic full scan triggered (last: %s)",
                 lastFullScanTime_ ? isoDate(*lastFullScanTime_).c_str() : "never");
    enqueueWatcherIndexingRun();
  }));
}

void IndexingService::reportProgress(const IndexingProgress& progress) {
  if (currentProgress_) currentProgress_(progress);
}

// ---- Watching and incremental runs ----

void IndexingService::startWatching() {
  if (watcher_ || !deps_.watcherFactory) return;
  std::vector<std::string> directories = directories_->watchedDirectories();
  if (directories.empty()) {
    logger_.info("Directory watcher disabled; no accessible directories");
    return;
  }
  std::unique_ptr<DirectoryWatcher> watcher = deps_.watcherFactory->makeWatcher();
  if (!watcher) {
    logger_.error("Failed to initialize directory watcher");
    return;
  }
  std::weak_ptr<Shared> weakShared = shared_;
  Status started =
      watcher->start(directories, kFileSystemEventLatency, [weakShared](std::vector<DirectoryEvent> events) {
        if (auto shared = weakShared.lock()) shared->accept(shared, events, shared->mainRunner->clock().now());
      });
  if (!started.ok()) {
    logger_.error("Failed to initialize directory watcher");
    return;
  }
  logger_.info("Watching %ld directories for changes", static_cast<long>(watcher->watchedDirectoryCount()));
  watcher_ = std::move(watcher);
}

void IndexingService::rewatch() {
  // The new watches are in place before the old ones go, so only what
  // happened while they were being built can be missed.
  std::unique_ptr<DirectoryWatcher> previous = std::move(watcher_);
  startWatching();
  if (previous) previous->stop();
}

void IndexingService::stopWatching() {
  if (!watcher_) return;
  watcher_->stop();
  watcher_.reset();
}

void IndexingService::handleDirectoryEvents(std::vector<DirectoryEvent> events) {
  shared_->accept(shared_, events, deps_.clock->now());
}

bool IndexingService::coalesceDeepIdleRun() {
  if (coalescedIncrementalRun_.valid()) return true;
  if (!lastIncrementalRunStart_) return false;
  const Duration since = deps_.clock->now() - *lastIncrementalRunStart_;
  if (since >= kDeepIdleIncrementalInterval) return false;
  coalescedIncrementalRun_ =
      deps_.mainRunner->postDelayed(kDeepIdleIncrementalInterval - since, weakGuard_.wrap([this] {
        coalescedIncrementalRun_ = {};
        enqueueIncrementalIndexingRun();
      }));
  return true;
}

void IndexingService::enqueueIncrementalIndexingRun() {
  if (workMode_ == WorkMode::active) {
    deferredIncrementalRun_ = true;
    return;
  }
  if (workMode_ == WorkMode::deepIdle && coalesceDeepIdleRun()) return;
  const bool fullScanDue = !lastFullScanTime_ || deps_.clock->wallNow() - *lastFullScanTime_ > kFullScanInterval;
  if (fullScanDue && !deferredFullScan_) {
    logger_.info("Periodic full scan triggered (last: %s)",
                 lastFullScanTime_ ? isoDate(*lastFullScanTime_).c_str() : "never");
  }
  if (fullScanDue && workMode_ == WorkMode::idle) {
    shared_->accumulator.clear();
    enqueueWatcherIndexingRun();
    return;
  }
  ChangeAccumulator::Drained drained = shared_->accumulator.drain();
  if (drained.needsFullScan && workMode_ == WorkMode::idle) {
    enqueueWatcherIndexingRun();
    return;
  }
  // deepIdle: the full scan waits for idle (enqueueWatcherIndexingRun defers
  // it) while the changes at hand are applied now.
  if (fullScanDue || drained.needsFullScan) enqueueWatcherIndexingRun();
  if (drained.changes.empty()) return;
  if (incrementalIndexIsRunning_) {
    shared_->accumulator.restore(drained.changes);
    shouldRunIncrementalAfterCurrent_ = true;
    return;
  }
  processIncrementalChanges(std::move(drained.changes));
}

void IndexingService::processIncrementalChanges(std::vector<AccumulatedChange> changes) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  incrementalIndexIsRunning_ = true;
  lastIncrementalRunStart_ = deps_.clock->now();
  logger_.info("Processing %ld incremental changes", static_cast<long>(changes.size()));
  const MonoTime start = deps_.clock->now();
  auto apply = weakGuard_.wrap([this, start](std::shared_ptr<std::vector<ExaminedChange>> examined) {
    applyIncrementalChanges(std::move(*examined), start);
  });
  deps_.backgroundRunner->post([scanner = scanner_, directories = directories_->scanDirectories(),
                                changes = std::move(changes), main = deps_.mainRunner, apply]() mutable {
    auto examined = std::make_shared<std::vector<ExaminedChange>>();
    examined->reserve(changes.size());
    for (AccumulatedChange& change : changes) {
      // A folder is walked whole unless it only changed metadata; the
      // apply step keeps only what is new.
      PathExamination exam = scanner->examine(change.path, directories, change.changeType != ChangeType::unknown);
      examined->emplace_back(std::move(change), std::move(exam));
    }
    main->post([apply, examined]() mutable { apply(examined); });
  });
}

void IndexingService::applyIncrementalChanges(std::vector<ExaminedChange> examined, MonoTime start) {
  CatalogWriter::IncrementalOutcome outcome = writer_.applyIncrementalChanges(examined);
  IncrementalRunSummary& summary = outcome.summary;
  summary.elapsedSeconds = elapsedSince(*deps_.clock, start);
  logger_.info("Processed %ld incremental changes in %fs", static_cast<long>(summary.changeCount),
               summary.elapsedSeconds);
  if (summary.created + summary.modified + summary.removed > 0) snapshotVersion_ = UUID::random();
  for (const std::string& path : outcome.changedApps) icons_.removeIconsForPath(path);

  incrementalIndexIsRunning_ = false;
  SourceStatistics::process().recordPass(
      "catalog", {"incremental", deps_.clock->wallNow(), seconds(summary.elapsedSeconds),
                  summary.failed ? std::to_string(summary.failed) + " paths failed" : "completed"});
  if (incrementalObserver_) incrementalObserver_(summary);
  if (shouldRunIncrementalAfterCurrent_) {
    shouldRunIncrementalAfterCurrent_ = false;
    enqueueIncrementalIndexingRun();
  }
}

}  // namespace pallix
