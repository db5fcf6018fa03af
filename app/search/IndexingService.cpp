#include "app/search/IndexingService.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unordered_set>

#include "core/FileUtil.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

constexpr const char* kSignatureMetadataKey = "IndexingService.lastSnapshotSignature";

bool isUnderOrAt(std::string_view path, std::string_view root) {
  if (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return startsWith(path, root) && (path.size() == root.size() || path[root.size()] == '/' || root == "/");
}

std::string isoDate(Date date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

TelemetryParameters errorParameters(const Error& error) {
  return {{"errorDomain", error.domain()}, {"errorCode", std::to_string(error.code())}};
}

double elapsedSince(const Clock& clock, MonoTime start) {
  return toSeconds(clock.now() - start);
}

// Commits every `batchSize` mutations: each commit is one save. A bulk
// writer is one bulk load of the catalog, whatever its size.
class BatchWriter {
 public:
  BatchWriter(CatalogStore& store, size_t batchSize, bool bulk = false)
      : store_(store), batchSize_(bulk ? SIZE_MAX : batchSize), bulk_(bulk) {}
  ~BatchWriter() {
    if (open_) store_.rollbackBatch();
  }
  Status mutated() {
    ++pending_;
    if (pending_ >= batchSize_) return save();
    return okStatus();
  }
  Status ensureOpen() {
    if (open_) return okStatus();
    PALLIX_RETURN_IF_ERROR(bulk_ ? store_.beginBulkLoad() : store_.beginBatch());
    open_ = true;
    return okStatus();
  }
  // A failed save rolls back what the batch wrote.
  Status save() {
    pending_ = 0;
    if (!open_) return okStatus();
    Status saved = bulk_ ? store_.commitBulkLoad() : store_.commitBatch();
    if (!saved.ok()) store_.rollbackBatch();
    open_ = false;
    return saved;
  }

 private:
  CatalogStore& store_;
  size_t batchSize_;
  bool bulk_;
  size_t pending_ = 0;
  bool open_ = false;
};

// The file count a snapshot signature ends with ("<hash>-<apps>-<files>").
size_t fileCountOfSignature(const std::string& signature) {
  const size_t dash = signature.rfind('-');
  if (dash == std::string::npos) return 0;
  return static_cast<size_t>(std::strtoull(signature.c_str() + dash + 1, nullptr, 10));
}

// Whether a snapshot signature (or none) stands for no records at all.
bool signatureIsEmpty(const std::string& signature) {
  const size_t first = signature.find('-');
  return signature.empty() ||
         (first != std::string::npos && std::strtoull(signature.c_str() + first + 1, nullptr, 10) == 0 &&
          fileCountOfSignature(signature) == 0);
}

IndexCandidate candidateFromItem(const IndexedItem& item) {
  IndexCandidate c;
  c.name = item.name;
  c.bundleIdentifier = item.bundleIdentifier;
  c.version = item.version;
  c.build = item.build;
  c.canonicalPath = item.path;
  c.domainPriority = item.domainPriority;
  c.itemType = item.itemType();
  c.fileExtension = item.fileExtension;
  c.sizeBytes = item.sizeBytes;
  c.createdDate = item.createdDate;
  c.modifiedDate = item.modifiedDate;
  c.fileCategory = item.fileCategory();
  c.parentBundleIdentifier = item.parentBundleIdentifier;
  return c;
}

}  // namespace

// ---- IndexedItemLookup ----

IndexedItemLookup::IndexedItemLookup(std::vector<IndexedItem> items) : items_(std::move(items)) {
  byPath_.reserve(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) {
    byPath_.emplace(items_[i].path, i);
    if (items_[i].bundleIdentifier) byBundleId_.emplace(asciiLowercase(*items_[i].bundleIdentifier), i);
  }
}

std::optional<size_t> IndexedItemLookup::find(const IndexCandidate& candidate) const {
  auto byPath = byPath_.find(candidate.canonicalPath);
  if (candidate.bundleIdentifier) {
    auto it = byBundleId_.find(asciiLowercase(*candidate.bundleIdentifier));
    // A record already at the candidate's path wins over a moved app, so
    // that paths stay unique.
    if (it != byBundleId_.end() && (byPath == byPath_.end() || byPath->second == it->second)) return it->second;
  }
  if (byPath != byPath_.end()) return byPath->second;
  return std::nullopt;
}

void IndexedItemLookup::clear() {
  items_.clear();
  byBundleId_.clear();
  byPath_.clear();
}

Result<std::optional<IndexedItem>> IndexedItemLookup::fetchOne(CatalogStore& store, const IndexCandidate& candidate) {
  PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> atPath, store.fetchByPath(candidate.canonicalPath));
  if (atPath || !candidate.bundleIdentifier) return atPath;
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> byId, store.fetchByBundleIdentifier(*candidate.bundleIdentifier));
  if (byId.empty()) return std::optional<IndexedItem>();
  return std::optional<IndexedItem>(std::move(byId.front()));
}

// ---- Shared state ----

struct IndexingService::Shared {
  ChangeAccumulator accumulator;
  TaskRunnerPtr mainRunner;
  TaskRunnerPtr directoryChangeRunner;
  // Posted to the main runner when the debounce fires (weak-guarded).
  std::function<void()> runIncrementalOnMain;

  mutable std::mutex directoryMutex;
  std::vector<std::string> baseAppDirectories;
  std::vector<std::string> additionalAppDirectories;
  std::vector<std::string> fileDirectories;
  std::vector<std::string> applicationEntryDirectories;

  // Touched on the directory-change runner only.
  TaskHandle pendingIncremental;

  void scheduleIncrementalUpdate(const std::shared_ptr<Shared>& self) {
    directoryChangeRunner->post([self] {
      self->pendingIncremental.cancel();
      self->pendingIncremental = self->directoryChangeRunner->postDelayed(
          kDirectoryChangeDebounceInterval, [self] { self->mainRunner->post(self->runIncrementalOnMain); });
    });
  }

  bool keepEvent(const DirectoryEvent& event) const {
    constexpr uint32_t kRelevant = kDirectoryEventCreated | kDirectoryEventRemoved | kDirectoryEventInodeMetaModified |
                                   kDirectoryEventRenamed | kDirectoryEventModified;
    if (!(event.flags & kRelevant)) return false;
    if (endsWith(event.path, ".app")) return true;
    if (event.path.find(".app/") != std::string::npos &&
        (event.flags & (kDirectoryEventCreated | kDirectoryEventRemoved | kDirectoryEventRenamed))) {
      return true;
    }
    std::lock_guard<std::mutex> lock(directoryMutex);
    for (const auto* list :
         {&baseAppDirectories, &additionalAppDirectories, &fileDirectories, &applicationEntryDirectories}) {
      for (const std::string& root : *list) {
        if (isUnderOrAt(event.path, root) && event.path.size() > root.size()) return true;
      }
    }
    return false;
  }
};

// ---- Construction ----

IndexingService::IndexingService(Dependencies deps)
    : deps_(std::move(deps)),
      ownedEntries_(deps_.applicationEntries ? nullptr : makeXdgApplicationEntrySource(deps_.dirs)),
      scanner_(std::make_shared<CatalogScanner>(
          *deps_.filter, deps_.dirs.home, deps_.applicationEntries ? deps_.applicationEntries : ownedEntries_.get())),
      catalog_(*deps_.store),
      shared_(std::make_shared<Shared>()) {
  if (!deps_.clock) deps_.clock = &deps_.mainRunner->clock();
  scanner_->setDirectoryOpener(deps_.directoryOpener);
  shared_->mainRunner = deps_.mainRunner;
  shared_->directoryChangeRunner = deps_.directoryChangeRunner;
  shared_->runIncrementalOnMain = weakGuard_.wrap([this] { enqueueIncrementalIndexingRun(); });
  if (deps_.baseAppDirectories.empty()) {
    deps_.baseAppDirectories = {"/Applications", "/System/Applications", "/System/Cryptexes/App/System/Applications",
                                deps_.dirs.home + "/Applications"};
  }
  ApplicationEntrySource* entries = deps_.applicationEntries ? deps_.applicationEntries : ownedEntries_.get();
  {
    std::lock_guard<std::mutex> lock(shared_->directoryMutex);
    shared_->baseAppDirectories = deps_.baseAppDirectories;
    shared_->additionalAppDirectories = loadAdditionalAppDirectories();
    shared_->fileDirectories = loadFileDirectories();
    for (const ApplicationDirectory& directory : entries->directories()) {
      shared_->applicationEntryDirectories.push_back(directory.path);
    }
  }
  lastFullScanTime_ = deps_.defaults->dateValue(kLastFullScanTimeKey);
  auto signature = deps_.store->metadataValue(kSignatureMetadataKey);
  if (signature.ok() && signature.value()) lastSnapshotSignature_ = *signature.value();
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

// ---- Directories ----

std::string IndexingService::standardizePath(const std::string& path) {
  std::filesystem::path p(path);
  std::error_code ec;
  if (p.is_relative()) p = std::filesystem::absolute(p, ec);
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<std::string> IndexingService::persistedFileDirectories(const UserDefaults& defaults,
                                                                   const DataDirectories& dirs) {
  if (auto stored = defaults.stringArrayValue(kFileDirectoriesKey)) return *stored;
  std::vector<std::string> defaultsList;
  for (const char* name : {"Documents", "Desktop", "Downloads", "Developer"}) {
    std::string path = dirs.home + "/" + name;
    if (isDirectory(path)) defaultsList.push_back(path);
  }
  return defaultsList;
}

Result<IndexingService::FileDirectoryEdit> IndexingService::editFileDirectories(UserDefaults& defaults,
                                                                                const DataDirectories& dirs,
                                                                                const std::string& path, bool add) {
  const std::string standardized = standardizePath(path);
  const std::string resolved = resolvedDirectoryPath(standardized);
  std::vector<std::string> list = persistedFileDirectories(defaults, dirs);
  auto listed = std::find_if(list.begin(), list.end(), [&](const std::string& entry) {
    return entry == standardized || resolvedDirectoryPath(entry) == resolved;
  });
  FileDirectoryEdit edit;
  edit.path = resolved;
  if (add) {
    if (!isDirectory(standardized)) {
      return Error("IndexingServiceError", 1, inQuotes(standardized) + " does not exist or is not a directory");
    }
    if (listed != list.end()) {
      if (defaults.stringArrayValue(kFileDirectoriesKey)) {
        std::string as = *listed == standardized ? "" : " as " + inQuotes(*listed);
        return Error("IndexingServiceError", 2, inQuotes(standardized) + " is already indexed" + as);
      }
      // A default folder: the defaults become the explicit list.
      edit.path = *listed;
      edit.wasDefault = true;
    } else {
      for (const std::string& entry : list) {
        const std::string entryResolved = resolvedDirectoryPath(entry);
        if (startsWith(resolved, entryResolved + "/") || entryResolved == "/") edit.coveringDirectory = entry;
      }
      list.push_back(resolved);
    }
  } else {
    if (listed == list.end()) {
      return Error("IndexingServiceError", 3, inQuotes(standardized) + " is not an indexed folder");
    }
    edit.path = *listed;
    list.erase(listed);
  }
  PALLIX_RETURN_IF_ERROR(defaults.set(kFileDirectoriesKey, list));
  return edit;
}

std::vector<std::string> IndexingService::loadAdditionalAppDirectories() const {
  return deps_.defaults->stringArrayValue(kAdditionalAppDirectoriesKey).value_or(std::vector<std::string>{});
}

std::vector<std::string> IndexingService::loadFileDirectories() const {
  std::vector<std::string> out;
  for (const std::string& entry : persistedFileDirectories(*deps_.defaults, deps_.dirs)) {
    std::string resolved = resolvedDirectoryPath(standardizePath(entry));
    if (std::find(out.begin(), out.end(), resolved) == out.end()) out.push_back(std::move(resolved));
  }
  return out;
}

std::vector<std::string> IndexingService::appDirectories() const {
  std::lock_guard<std::mutex> lock(shared_->directoryMutex);
  std::vector<std::string> out = shared_->baseAppDirectories;
  for (const std::string& extra : shared_->additionalAppDirectories) {
    if (std::find(out.begin(), out.end(), extra) == out.end()) out.push_back(extra);
  }
  return out;
}

std::vector<std::string> IndexingService::userFileDirectories() const {
  std::lock_guard<std::mutex> lock(shared_->directoryMutex);
  return shared_->fileDirectories;
}

ScanDirectories IndexingService::scanDirectories() const {
  return ScanDirectories{appDirectories(), distinctFileDirectories(userFileDirectories())};
}

std::vector<std::string> IndexingService::watchedDirectories() const {
  std::vector<std::string> out;
  const ScanDirectories directories = scanDirectories();
  for (const auto& list : {directories.appDirectories, directories.fileDirectories}) {
    for (const std::string& path : list) {
      if (isDirectory(path)) out.push_back(path);
    }
  }
  std::lock_guard<std::mutex> lock(shared_->directoryMutex);
  for (const std::string& path : shared_->applicationEntryDirectories) {
    if (isDirectory(path) && std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
  }
  return out;
}

Status IndexingService::addFileDirectory(const std::string& path) {
  auto edited = editFileDirectories(*deps_.defaults, deps_.dirs, path, true);
  if (!edited.ok()) return edited.error();
  directoriesChanged();
  return okStatus();
}

Status IndexingService::removeFileDirectory(const std::string& path) {
  auto edited = editFileDirectories(*deps_.defaults, deps_.dirs, path, false);
  if (!edited.ok()) return edited.error();
  directoriesChanged();
  return okStatus();
}

bool IndexingService::reloadDirectoryLists() {
  std::vector<std::string> additional = loadAdditionalAppDirectories();
  std::vector<std::string> files = loadFileDirectories();
  {
    std::lock_guard<std::mutex> lock(shared_->directoryMutex);
    if (additional == shared_->additionalAppDirectories && files == shared_->fileDirectories) return false;
  }
  directoriesChanged();
  return true;
}

Status IndexingService::addAppDirectory(const std::string& path) {
  std::string standardized = standardizePath(path);
  if (!isDirectory(standardized)) {
    return Error("IndexingServiceError", 1, inQuotes(standardized) + " does not exist or is not a directory");
  }
  std::vector<std::string> list;
  {
    std::lock_guard<std::mutex> lock(shared_->directoryMutex);
    list = shared_->additionalAppDirectories;
  }
  if (std::find(list.begin(), list.end(), standardized) != list.end()) {
    return Error("IndexingServiceError", 2, inQuotes(standardized) + " is already listed");
  }
  list.push_back(standardized);
  PALLIX_RETURN_IF_ERROR(deps_.defaults->set(kAdditionalAppDirectoriesKey, list));
  directoriesChanged();
  return okStatus();
}

Status IndexingService::removeAppDirectory(const std::string& path) {
  std::string standardized = standardizePath(path);
  std::vector<std::string> list;
  {
    std::lock_guard<std::mutex> lock(shared_->directoryMutex);
    list = shared_->additionalAppDirectories;
  }
  auto it = std::find(list.begin(), list.end(), standardized);
  if (it == list.end()) return Error("IndexingServiceError", 3, inQuotes(standardized) + " is not listed");
  list.erase(it);
  PALLIX_RETURN_IF_ERROR(deps_.defaults->set(kAdditionalAppDirectoriesKey, list));
  directoriesChanged();
  return okStatus();
}

void IndexingService::directoriesChanged() {
  const ScanDirectories before = scanDirectories();
  {
    std::lock_guard<std::mutex> lock(shared_->directoryMutex);
    shared_->additionalAppDirectories = loadAdditionalAppDirectories();
    shared_->fileDirectories = loadFileDirectories();
  }
  const ScanDirectories after = scanDirectories();
  directoryVersion_ = UUID::random();
  if (watcher_) {
    stopWatching();
    startWatching();
  }
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
  clearIconCache();
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
  watcherIndexIsRunning_ = true;
  logger_.info("Starting unified indexer run");
  const MonoTime start = deps_.clock->now();
  ScanDirectories directories = scanDirectories();
  directories.expectedFileCount = fileCountOfSignature(lastSnapshotSignature_);
  std::function<void(size_t)> progress;
  if (currentProgress_) {
    progress = [main = deps_.mainRunner, report = weakGuard_.wrap([this](size_t n) {
      reportProgress({IndexingProgress::Phase::scanning, n, 0});
    })](size_t n) { main->post([report, n]() mutable { report(n); }); };
  }
  // Into an empty catalog every candidate is a new record: they are written
  // as the scan hands them out.
  CandidateBatchHandler handOut;
  auto empty = catalog_.isEmpty();
  if (signatureIsEmpty(lastSnapshotSignature_) && empty.ok() && empty.value()) {
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
    summary = persistStreamedSnapshot(*streamed, kept);
  } else {
    logger_.info("Finished scan with %ld apps and %ld files in %fs", static_cast<long>(result.apps.size()),
                 static_cast<long>(result.files.size()), elapsedSince(*deps_.clock, start));
    summary = performPersistFullSnapshot(result, signature);
  }
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

void IndexingService::persistSignature(const std::string& signature) {
  lastSnapshotSignature_ = signature;
  Status stored = deps_.store->setMetadataValue(kSignatureMetadataKey, signature);
  if (!stored.ok()) logger_.error("Failed to store the snapshot signature: %s", stored.error().description().c_str());
}

void IndexingService::removeAllItemsIfNeeded(FullScanSummary& summary) {
  auto removed = catalog_.deleteAll();
  if (!removed.ok()) {
    logger_.error("Pallix.IndexingService: Failed to clear items: %s", removed.error().description().c_str());
    TelemetryService::signal("IndexingService.snapshotClearFailed", errorParameters(removed.error()));
    summary.error = removed.error();
    return;
  }
  summary.deleted = static_cast<size_t>(removed.value());
  summary.mutated = removed.value() > 0;
  TelemetryService::signal("IndexingService.snapshotCleared", {{"removed", std::to_string(removed.value())}});
}

FullScanSummary IndexingService::performPersistFullSnapshot(ScanResult& result, const std::string& signature) {
  FullScanSummary summary;
  summary.appCount = result.apps.size();
  for (const IndexCandidate& c : result.files) {
    if (c.itemType == IndexedItem::ItemType::folder) {
      ++summary.folderCount;
    } else {
      ++summary.fileCount;
    }
  }
  const MonoTime start = deps_.clock->now();
  // With a folder that could not be enumerated nothing is empty for sure:
  // the diff keeps what lies below it.
  if (result.size() == 0 && result.failedDirectories.empty()) {
    logger_.info("Snapshot empty; clearing stored items");
    TelemetryService::signal("IndexingService.snapshotEmpty",
                             {{"message", "Indexing snapshot returned no candidates."}});
    removeAllItemsIfNeeded(summary);
    if (!summary.error) persistSignature(signature);
    if (summary.mutated) snapshotVersion_ = UUID::random();
    return summary;
  }
  if (!lastSnapshotSignature_.empty() && signature == lastSnapshotSignature_) {
    logger_.info("Snapshot unchanged for %ld items; skipping persistence", static_cast<long>(result.size()));
    summary.unchanged = true;
    return summary;
  }
  Status persisted = persistDiff(result, summary);
  const double elapsed = elapsedSince(*deps_.clock, start);
  if (!persisted.ok()) {
    reportPersistFailure(persisted.error(), summary);
    return summary;
  }
  persistSignature(signature);
  reportPersisted(summary, result.apps.size(), result.files.size(), elapsed);
  return summary;
}

FullScanSummary IndexingService::persistStreamedSnapshot(StreamedSnapshotWriter& writer,
                                                         const HandedOutCandidates& kept) {
  FullScanSummary summary;
  summary.appCount = kept.apps;
  summary.fileCount = kept.files - kept.folders;
  summary.folderCount = kept.folders;
  const size_t total = kept.apps + kept.files;
  reportProgress({IndexingProgress::Phase::saving, writer.inserted(), total});
  reportProgress({IndexingProgress::Phase::indexingNames, writer.inserted(), total});
  Status committed = writer.commit();
  if (!committed.ok()) {
    reportPersistFailure(committed.error(), summary);
    return summary;
  }
  summary.inserted = writer.inserted();
  summary.mutated = summary.inserted > 0;
  persistSignature(kept.signature.value());
  reportPersisted(summary, kept.apps, kept.files, writer.elapsedSeconds());
  return summary;
}

void IndexingService::reportPersistFailure(const Error& error, FullScanSummary& summary) {
  logger_.error("Pallix.IndexingService: Failed to persist items: %s", error.description().c_str());
  TelemetryService::signal("IndexingService.snapshotFailed", errorParameters(error));
  summary.error = error;
  // The snapshot's one transaction was rolled back.
  summary.inserted = summary.updated = summary.deleted = 0;
  summary.mutated = false;
}

void IndexingService::reportPersisted(const FullScanSummary& summary, size_t apps, size_t files, double elapsed) {
  if (summary.mutated) snapshotVersion_ = UUID::random();
  logger_.info("Persisted full snapshot (%ld apps, %ld files, mutated: %s) in %fs", static_cast<long>(apps),
               static_cast<long>(files), summary.mutated ? "true" : "false", elapsed);
  // Unchanged outcomes are frequent (periodic scans); report them at most
  // once per throttle interval.
  const MonoTime now = deps_.clock->now();
  if (summary.mutated || !lastUnchangedSignalTime_ || now - *lastUnchangedSignalTime_ >= kTelemetryThrottleInterval) {
    if (!summary.mutated) lastUnchangedSignalTime_ = now;
    TelemetryService::signal("IndexingService.snapshotPersisted",
                             {{"appCount", std::to_string(apps)},
                              {"fileCount", std::to_string(files)},
                              {"mutated", summary.mutated ? "1" : "0"},
                              {"elapsedMs", std::to_string(static_cast<int64_t>(elapsed * 1000))}});
  }
}

Status IndexingService::persistDiff(ScanResult& result, FullScanSummary& summary) {
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> stored, catalog_.fetchAll());
  IndexedItemLookup lookup(std::move(stored));
  std::vector<IndexedItem>& items = lookup.items();
  std::vector<char> seen(items.size(), 0);
  // Resolve first, write afterwards: deletions free paths that updates and
  // inserts may take.
  std::vector<std::pair<size_t, const IndexCandidate*>> updates;
  std::vector<IndexCandidate*> inserts;
  for (auto* list : {&result.apps, &result.files}) {
    for (IndexCandidate& c : *list) {
      std::optional<size_t> index = lookup.find(c);
      if (index && !seen[*index]) {
        seen[*index] = 1;
        if (!c.matches(items[*index])) updates.emplace_back(*index, &c);
      } else {
        inserts.push_back(&c);
      }
    }
  }
  // New records go in path order: neighbouring index pages, fewer pages per save.
  std::sort(inserts.begin(), inserts.end(),
            [](const IndexCandidate* a, const IndexCandidate* b) { return a->canonicalPath < b->canonicalPath; });
  // Records below a folder that could not be enumerated stay until a scan
  // reads it again.
  auto belowFailed = [&](const std::string& path) {
    return std::any_of(result.failedDirectories.begin(), result.failedDirectories.end(),
                       [&](const std::string& failed) { return isUnderOrAt(path, failed); });
  };
  size_t deletions = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!seen[i] && !belowFailed(items[i].path)) ++deletions;
  }
  const size_t total = deletions + updates.size() + inserts.size();
  const size_t rowsAfter = items.size() - deletions + inserts.size();
  const bool bulk = total >= kBulkLoadMinimum && total * 3 >= rowsAfter;
  const Date now = deps_.clock->wallNow();
  // One transaction: the catalog moves from one snapshot to the next at once.
  BatchWriter writer(catalog_, SIZE_MAX, bulk);
  size_t written = 0;
  reportProgress({IndexingProgress::Phase::saving, 0, total});
  auto mutated = [&]() -> Status {
    if (++written % kSaveProgressInterval == 0) reportProgress({IndexingProgress::Phase::saving, written, total});
    return writer.mutated();
  };
  for (size_t i = 0; i < items.size(); ++i) {
    if (seen[i] || belowFailed(items[i].path)) continue;
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    PALLIX_RETURN_IF_ERROR(catalog_.deleteById(items[i].id));
    ++summary.deleted;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  for (auto& [index, candidate] : updates) {
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    candidate->applyTo(items[index], now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(items[index]));
    ++summary.updated;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  for (IndexCandidate* candidate : inserts) {
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    IndexedItem item = candidate->takeItem(now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(item));
    ++summary.inserted;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  if (bulk) reportProgress({IndexingProgress::Phase::indexingNames, written, total});
  PALLIX_RETURN_IF_ERROR(writer.save());
  summary.mutated = summary.inserted + summary.updated + summary.deleted > 0;
  return okStatus();
}

// ---- Watching and incremental runs ----

void IndexingService::startWatching() {
  if (watcher_ || !deps_.watcherFactory) return;
  std::vector<std::string> directories = watchedDirectories();
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
        auto shared = weakShared.lock();
        if (!shared) return;
        bool kept = false;
        for (const DirectoryEvent& event : events) {
          if (event.flags & (kDirectoryEventMustScanSubDirs | kDirectoryEventRootChanged | kDirectoryEventMount |
                             kDirectoryEventUnmount)) {
            shared->accumulator.requestFullScan();
            kept = true;
            continue;
          }
          if (!shared->keepEvent(event)) continue;
          shared->accumulator.add(event.path, event.flags, shared->mainRunner->clock().now());
          kept = true;
        }
        if (kept) shared->scheduleIncrementalUpdate(shared);
      });
  if (!started.ok()) {
    logger_.error("Failed to initialize directory watcher");
    return;
  }
  logger_.info("Watching %ld directories for changes", static_cast<long>(watcher->watchedDirectoryCount()));
  watcher_ = std::move(watcher);
}

void IndexingService::stopWatching() {
  if (!watcher_) return;
  watcher_->stop();
  watcher_.reset();
}

void IndexingService::handleDirectoryEvents(std::vector<DirectoryEvent> events) {
  bool kept = false;
  for (const DirectoryEvent& event : events) {
    if (event.flags &
        (kDirectoryEventMustScanSubDirs | kDirectoryEventRootChanged | kDirectoryEventMount | kDirectoryEventUnmount)) {
      shared_->accumulator.requestFullScan();
      kept = true;
      continue;
    }
    if (!shared_->keepEvent(event)) continue;
    shared_->accumulator.add(event.path, event.flags, deps_.clock->now());
    kept = true;
  }
  if (kept) shared_->scheduleIncrementalUpdate(shared_);
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
  incrementalIndexIsRunning_ = true;
  lastIncrementalRunStart_ = deps_.clock->now();
  logger_.info("Processing %ld incremental changes", static_cast<long>(changes.size()));
  const MonoTime start = deps_.clock->now();
  auto apply = weakGuard_.wrap(
      [this, start](std::shared_ptr<std::vector<std::pair<AccumulatedChange, PathExamination>>> examined) {
        applyIncrementalChanges(std::move(*examined), start);
      });
  deps_.backgroundRunner->post([scanner = scanner_, directories = scanDirectories(), changes = std::move(changes),
                                main = deps_.mainRunner, apply]() mutable {
    auto examined = std::make_shared<std::vector<std::pair<AccumulatedChange, PathExamination>>>();
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

void IndexingService::applyIncrementalChanges(std::vector<std::pair<AccumulatedChange, PathExamination>> examined,
                                              MonoTime start) {
  IncrementalRunSummary summary;
  summary.changeCount = examined.size();
  const Date now = deps_.clock->wallNow();
  BatchWriter writer(catalog_, kIndexingBatchSize);
  std::vector<std::string> changedApps;

  // Returns whether a record was created.
  auto insertOrUpdate = [&](const IndexCandidate& candidate, bool logCreation) -> Result<bool> {
    PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> existing, IndexedItemLookup::fetchOne(catalog_, candidate));
    const bool isApp = candidate.itemType == IndexedItem::ItemType::app;
    if (!existing) {
      PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
      IndexedItem item = candidate.makeItem(now);
      PALLIX_RETURN_IF_ERROR(catalog_.save(item));
      ++summary.created;
      if (logCreation) {
        logger_.info(isApp ? "Incremental: created app %s" : "Incremental: created file %s",
                     candidate.canonicalPath.c_str());
      }
      if (isApp) changedApps.push_back(candidate.canonicalPath);
      PALLIX_RETURN_IF_ERROR(writer.mutated());
      return true;
    }
    if (candidate.matches(*existing)) return false;
    if (isApp && existing->path != candidate.canonicalPath && !candidate.isPreferred(candidateFromItem(*existing))) {
      return false;
    }
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    if (isApp) changedApps.push_back(existing->path);
    candidate.applyTo(*existing, now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(*existing));
    ++summary.modified;
    logger_.info(isApp ? "Incremental: modified app %s" : "Incremental: modified file %s",
                 candidate.canonicalPath.c_str());
    if (isApp) changedApps.push_back(candidate.canonicalPath);
    PALLIX_RETURN_IF_ERROR(writer.mutated());
    return false;
  };

  for (auto& [change, exam] : examined) {
    Status status = [&]() -> Status {
      if (exam.candidate) {
        PALLIX_ASSIGN_OR_RETURN(bool created, insertOrUpdate(*exam.candidate, true));
        if (!created) return okStatus();
        for (const IndexCandidate& descendant : exam.descendants) {
          PALLIX_RETURN_IF_ERROR(insertOrUpdate(descendant, false));
        }
        return okStatus();
      }
      if (exam.contentsBelong) {
        // The folder's own record goes (if it ever had one); its contents stay.
        PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> own, catalog_.fetchByPath(change.path));
        if (own) {
          PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
          PALLIX_RETURN_IF_ERROR(catalog_.deleteById(own->id));
          ++summary.removed;
          logger_.info("Incremental: removed %s", change.path.c_str());
          PALLIX_RETURN_IF_ERROR(writer.mutated());
        }
        for (const IndexCandidate& descendant : exam.descendants) {
          PALLIX_RETURN_IF_ERROR(insertOrUpdate(descendant, false));
        }
        return okStatus();
      }
      // Gone, excluded, or an app that no longer reads as one.
      std::string recordPath = change.path;
      if (exam.isApp) {
        size_t appPos = change.path.find(".app/");
        if (appPos != std::string::npos) {
          if (exam.existsOnDisk) return okStatus();  // a change inside a bundle that still exists
          recordPath = change.path.substr(0, appPos + 4);
        }
      }
      PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> existing, catalog_.fetchByPath(recordPath));
      int64_t removed = 0;
      if (existing) {
        PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
        PALLIX_RETURN_IF_ERROR(catalog_.deleteById(existing->id));
        removed = 1;
        if (existing->itemType() == IndexedItem::ItemType::app) changedApps.push_back(recordPath);
      }
      if (!existing || existing->itemType() == IndexedItem::ItemType::folder) {
        PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
        PALLIX_ASSIGN_OR_RETURN(int64_t below, catalog_.deleteBelow(recordPath));
        removed += below;
      }
      if (removed > 0) {
        summary.removed += static_cast<size_t>(removed);
        logger_.info("Incremental: removed %s", recordPath.c_str());
        return writer.mutated();
      }
      return okStatus();
    }();
    if (!status.ok()) {
      ++summary.failed;
      logger_.error("Failed to process change at %s: %s", change.path.c_str(), status.error().description().c_str());
    }
  }
  const bool changed = summary.created + summary.modified + summary.removed > 0;
  if (changed) {
    // The stored catalog no longer matches the last full snapshot.
    Status opened = writer.ensureOpen();
    if (opened.ok()) persistSignature("");
  }
  Status saved = writer.save();
  if (!saved.ok()) logger_.error("Failed to save incremental changes: %s", saved.error().description().c_str());
  summary.elapsedSeconds = elapsedSince(*deps_.clock, start);
  logger_.info("Processed %ld incremental changes in %fs", static_cast<long>(summary.changeCount),
               summary.elapsedSeconds);
  if (changed) snapshotVersion_ = UUID::random();
  for (const std::string& path : changedApps) removeIconsForPath(path);

  incrementalIndexIsRunning_ = false;
  if (incrementalObserver_) incrementalObserver_(summary);
  if (shouldRunIncrementalAfterCurrent_) {
    shouldRunIncrementalAfterCurrent_ = false;
    enqueueIncrementalIndexingRun();
  }
}

// ---- Icons ----

std::string IndexingService::iconKey(const IndexedItem& item, int size) const {
  std::string key = item.path;
  if (item.itemType() == IndexedItem::ItemType::app && item.bundleIdentifier) {
    key += "#" + asciiLowercase(*item.bundleIdentifier);
  }
  return key + "@" + std::to_string(size);
}

void IndexingService::insertIcon(const std::string& key, std::string file, int size) {
  const int64_t cost = static_cast<int64_t>(size) * size * 4;
  auto existing = iconCache_.find(key);
  if (existing != iconCache_.end()) {
    iconCacheCost_ -= existing->second.first.cost;
    iconOrder_.erase(existing->second.second);
    iconCache_.erase(existing);
  }
  iconOrder_.push_front(key);
  iconCache_.emplace(key, std::make_pair(IconEntry{std::move(file), cost}, iconOrder_.begin()));
  iconCacheCost_ += cost;
  while (!iconOrder_.empty() && (iconCache_.size() > kIconCacheCountLimit || iconCacheCost_ > kIconCacheCostLimit)) {
    auto last = iconCache_.find(iconOrder_.back());
    iconCacheCost_ -= last->second.first.cost;
    iconCache_.erase(last);
    iconOrder_.pop_back();
  }
}

void IndexingService::removeIconsForPath(const std::string& path) {
  for (auto it = iconCache_.begin(); it != iconCache_.end();) {
    if (startsWith(it->first, path) && it->first.size() > path.size() &&
        (it->first[path.size()] == '@' || it->first[path.size()] == '#')) {
      iconCacheCost_ -= it->second.first.cost;
      iconOrder_.erase(it->second.second);
      it = iconCache_.erase(it);
    } else {
      ++it;
    }
  }
}

void IndexingService::clearIconCache() {
  iconCache_.clear();
  iconOrder_.clear();
  iconCacheCost_ = 0;
}

std::optional<std::string> IndexingService::cachedIcon(const IndexedItem& item, int size) {
  auto it = iconCache_.find(iconKey(item, size));
  if (it == iconCache_.end()) return std::nullopt;
  iconOrder_.splice(iconOrder_.begin(), iconOrder_, it->second.second);
  return it->second.first.file;
}

void IndexingService::icon(const IndexedItem& item, int size,
                           std::function<void(std::optional<std::string>)> completion) {
  if (auto cached = cachedIcon(item, size)) {
    if (completion) completion(cached);
    return;
  }
  auto deliver = weakGuard_.wrap([this, key = iconKey(item, size), size, completion](std::optional<std::string> file) {
    if (file) insertIcon(key, *file, size);
    if (completion) completion(file);
  });
  // The resolver and entry parser are thread-safe; the service is reached
  // only through the weak-guarded reply.
  IconResolver* resolver = deps_.iconResolver;
  ApplicationEntrySource* entries = deps_.applicationEntries ? deps_.applicationEntries : ownedEntries_.get();
  std::shared_ptr<ApplicationEntrySource> keepEntries = ownedEntries_;
  deps_.backgroundRunner->post([item, size, resolver, entries, keepEntries, deliver, main = deps_.mainRunner] {
    std::optional<std::string> file;
    if (resolver) {
      if (item.itemType() == IndexedItem::ItemType::app) {
        if (endsWith(item.path, ".desktop")) {
          auto entry = entries->parse(item.path, item.bundleIdentifier.value_or(""));
          if (entry.ok() && entry->icon) file = resolver->resolve(*entry->icon, size);
        }
        if (!file) file = resolver->resolve("application-x-executable", size);
      } else {
        file = resolver->resolve(resolver->iconNameForFile(item.path, item.itemType() == IndexedItem::ItemType::folder),
                                 size);
      }
    }
    main->post([deliver, file]() mutable { deliver(file); });
  });
}

void IndexingService::prefetchIcons(const std::vector<IndexedItem>& items, int size) {
  size_t started = 0;
  for (const IndexedItem& item : items) {
    if (started >= kIconPrefetchLimit) break;
    if (iconCache_.count(iconKey(item, size))) continue;
    icon(item, size, nullptr);
    ++started;
  }
}

void IndexingService::handleAppearanceChange(const std::string& appearanceSignature) {
  if (appearanceSignature == appearanceSignature_) return;
  appearanceSignature_ = appearanceSignature;
  clearIconCache();
  iconRefreshToken_ = UUID::random();
}

}  // namespace pallix
