#include "app/semantic/FileChunkIndexer.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/SourceStatistics.h"
#include "core/Telemetry.h"
#include "core/WeakTask.h"

namespace pallix {

namespace {

// Chunks added under one lease, by intensity: one encoder batch, so a pause
// request waits for at most one batch; `minimal` hands back the model twice as often.
std::size_t leaseBatchSize(IndexingIntensity intensity) {
  return intensity == IndexingIntensity::minimal ? EmbeddingStore::kEmbeddingBatchSize / 2
                                                 : EmbeddingStore::kEmbeddingBatchSize;
}

bool isBelow(const std::string& path, const std::string& folder) {
  const std::size_t length = folder.size() - (folder.size() > 1 && folder.back() == '/' ? 1 : 0);
  return path.size() > length && path.compare(0, length, folder, 0, length) == 0 && path[length] == '/';
}

}  // namespace

bool FileChunkIndexer::modificationDiffers(double a, double b) {
  return std::fabs(a - b) >= 1.0;
}

// A cached path that was not collected counts as deleted unless it lies in
// a configured folder that is missing (an unmounted volume keeps its chunks)
// or in a folder that could not be read (its files may all still be there).
bool FileChunkIndexer::isGone(const std::string& path, const std::vector<std::string>& folders,
                              const std::vector<std::string>& unreadable) {
  for (const auto& folder : unreadable) {
    if (isBelow(path, folder)) return false;
  }
  for (const auto& folder : folders) {
    if (isBelow(path, folder)) {
      std::error_code ec;
      return std::filesystem::is_directory(folder, ec);
    }
  }
  return true;
}

const char* phaseName(FileChunkIndexer::Phase phase) {
  using P = FileChunkIndexer::Phase;
  switch (phase) {
    case P::idle:
      return "idle";
    case P::collecting:
      return "collecting";
    case P::indexing:
      return "indexing";
    case P::saving:
      return "saving";
    case P::watching:
      return "watching";
    case P::paused:
      return "paused";
    case P::waitingForLease:
      return "waitingForLease";
    case P::thermalHold:
      return "thermalHold";
    case P::stopped:
      return "stopped";
  }
  return "idle";
}

std::shared_ptr<FileChunkIndexer> FileChunkIndexer::create(Dependencies deps) {
  auto indexer = std::shared_ptr<FileChunkIndexer>(new FileChunkIndexer(std::move(deps)));
  if (indexer->deps_.store) {
    std::weak_ptr<FileChunkIndexer> weak = indexer;
    indexer->resetObservation_ = ScopedObservation(
        *indexer->deps_.notifications, indexer->deps_.store->resetNotificationName(), [weak](const Notification&) {
          if (auto self = weak.lock()) self->post([](FileChunkIndexer& i) { i.handleIndexWasReset(); });
        });
  }
  return indexer;
}

FileChunkIndexer::FileChunkIndexer(Dependencies deps)
    : deps_(std::move(deps)), currentPollingInterval_(deps_.tuning.pollingInterval) {
  if (!deps_.coordinator) deps_.coordinator = EmbeddingCoordinator::shared();
  if (!deps_.notifications) deps_.notifications = &NotificationCenter::defaultCenter();
}

FileChunkIndexer::~FileChunkIndexer() {
  if (run_ && run_->lease) run_->lease->release();
}

void FileChunkIndexer::post(std::function<void(FileChunkIndexer&)> work) {
  deps_.runner->post(whileAlive(weak_from_this(), std::move(work)));
}

void FileChunkIndexer::postDelayed(Duration delay, TaskHandle handle, std::function<void(FileChunkIndexer&)> work) {
  deps_.runner->postDelayedWithHandle(delay, std::move(handle), whileAlive(weak_from_this(), std::move(work)));
}

// MARK: - Public operations

void FileChunkIndexer::startContinuousIndexing(std::vector<std::string> folders) {
  post([folders = std::move(folders)](FileChunkIndexer& i) {
    i.stopped_ = false;
    i.continuous_ = true;
    i.indexedFolders_ = folders;
    i.performFullIndex("startContinuousIndexing");
  });
}

void FileChunkIndexer::runFullPass(std::vector<std::string> folders, Completion<PassSummary> done) {
  post([folders = std::move(folders), done](FileChunkIndexer& i) {
    i.stopped_ = false;
    i.indexedFolders_ = folders;
    if (i.run_) {
      PassSummary busy;
      busy.outcome = PassSummary::Outcome::deferred;
      busy.detail = "a pass is already running";
      done(busy);
      return;
    }
    i.performFullIndex("runFullPass");
    if (i.run_) {
      i.run_->done = done;
    } else {
      PassSummary deferred;
      deferred.outcome = i.indexedFolders_.empty() ? PassSummary::Outcome::noFolders : PassSummary::Outcome::deferred;
      deferred.detail =
          i.indexedFolders_.empty() ? "no folders to index" : "deferred (work mode, safety gate or system)";
      done(deferred);
    }
  });
}

void FileChunkIndexer::runScheduledCatchUpPass(std::vector<std::string> folders, Completion<bool> done) {
  post([folders = std::move(folders), done](FileChunkIndexer& i) {
    if (!i.deps_.store) {
      i.logger_.info("Skipping scheduled file catch-up: embedding store unavailable");
      return done(false);
    }
    i.deps_.store->snapshot(Completion<EmbeddingStoreSnapshot>(
        i.deps_.runner, [weak = i.weak_from_this(), folders, done](EmbeddingStoreSnapshot snapshot) {
          auto self = weak.lock();
          if (!self) return done(false);
          if (snapshot.readiness == ReadinessState::failed) {
            self->logger_.info("Skipping scheduled file catch-up: store initialization failed (%s)",
                               snapshot.failureMessage.c_str());
            return done(false);
          }
          if (self->run_) {
            self->logger_.info("Skipping scheduled file catch-up: indexer already running");
            return done(false);
          }
          if (folders.empty()) {
            self->logger_.info("Skipping scheduled file catch-up: no folders configured");
            return done(false);
          }
          self->indexedFolders_ = folders;
          self->startWatcherPass();
          if (self->run_) {
            self->run_->kind = Run::Kind::catchUp;
            self->run_->catchUpDone = done;
          } else {
            done(false);
          }
        }));
  });
}

void FileChunkIndexer::setProgressObserver(Completion<Progress> observer) {
  post([observer](FileChunkIndexer& i) {
    i.progressObserver_ = observer;
    observer(i.progress_);
  });
}

void FileChunkIndexer::progress(Completion<Progress> done) {
  post([done](FileChunkIndexer& i) { done(i.progress_); });
}

// MARK: - Full passes

bool FileChunkIndexer::runIsCurrent(uint64_t generation) const {
  return run_ && run_->generation == generation;
}

void FileChunkIndexer::performFullIndex(const std::string& why) {
  if (stopped_) return;
  if (run_) {
    if (run_->kind == Run::Kind::full) return;
    cancelRun();  // a full pass supersedes a watcher pass
  }
  if (!deps_.store) {
    logger_.error("No embedding store available");
    return;
  }
  if (workMode_ == WorkMode::deepIdle) {
    logger_.info("Deferring file indexing due to work mode: %s", workModeName(workMode_));
    scheduleRetry(std::chrono::seconds(90), "workModeDeferred");
    return;
  }
  if (deps_.conditions && !deps_.conditions->isSystemReady()) {
    logger_.info("Deferring indexing: system not ready");
    scheduleRetry(std::chrono::seconds(90), "systemNotReady");
    return;
  }
  if (indexedFolders_.empty()) {
    logger_.info("No folders to index");
    return;
  }
  if (!canSafelyIndex()) {
    scheduleRetry(std::chrono::seconds(300), "safetyGate");
    return;
  }
  logger_.info("Starting full file index for %ld folders", static_cast<long>(indexedFolders_.size()));
  logger_.debug("Full pass requested by %s", why.c_str());
  run_ = std::make_unique<Run>();
  run_->kind = Run::Kind::full;
  run_->generation = ++runGeneration_;
  run_->startedAt = deps_.runner->clock().now();
  run_->lastCheckpoint = run_->startedAt;
  progress_ = Progress{};
  progress_.phase = Phase::collecting;
  progress_.isIndexing = true;
  progress_.isRebuilding = rebuildingPass_;
  publishProgress();
  refreshHeartbeat();
  scheduleWatchdog();
  scheduleThermalCheck();

  collectFilesThen(&FileChunkIndexer::beginFullPass);
}

void FileChunkIndexer::collectFilesThen(PassStart start) {
  FileCollection collection =
      collectFiles(indexedFolders_, *deps_.filter, deps_.tuning.maxFileSize, {}, deps_.directoryOpener);
  for (const auto& folder : collection.unreadableFolders) {
    logger_.info("Cannot list %s; keeping what was indexed below it", folder.c_str());
  }
  run_->unreadableFolders = std::move(collection.unreadableFolders);
  const uint64_t generation = run_->generation;
  deps_.store->fileModificationTimes(Completion<std::map<std::string, double>>(
      deps_.runner, [weak = weak_from_this(), generation, start,
                     files = std::move(collection.files)](std::map<std::string, double> cached) mutable {
        auto self = weak.lock();
        if (self && self->runIsCurrent(generation)) ((*self).*start)(std::move(files), std::move(cached));
      }));
}

void FileChunkIndexer::beginFullPass(std::vector<CollectedFile> files, std::map<std::string, double> cached) {
  std::vector<ContentHashEntry> entries;
  entries.reserve(files.size());
  for (const auto& f : files) entries.push_back({f.path, f.size, f.modifiedDate});
  run_->contentHash = IndexingCompletionTracker::contentHash(
      indexedFolders_, entries, "model-v" + std::to_string(EmbeddingStore::kCurrentModelVersion));
  run_->summary.totalFiles = int64_t(files.size());
  if (deps_.tracker && !cached.empty() && !rebuildingPass_ && !deps_.tracker->needsReindexing(run_->contentHash)) {
    logger_.info("File index unchanged since the last completed pass (%ld files); skipping full index",
                 static_cast<long>(files.size()));
    run_->summary.unchangedFiles = int64_t(files.size());
    endRun(PassSummary::Outcome::unchanged, "unchanged since the last completed pass");
    return;
  }
  std::set<std::string> collected;
  for (auto& file : files) {
    collected.insert(file.path);
    auto it = cached.find(file.path);
    if (it != cached.end() && !modificationDiffers(it->second, file.modifiedDate)) {
      ++run_->summary.unchangedFiles;
      continue;
    }
    run_->items.push_back({WorkItem::Kind::index, std::move(file)});
  }
  for (const auto& [path, date] : cached) {
    if (!collected.count(path) && isGone(path, indexedFolders_, run_->unreadableFolders)) {
      run_->items.push_back({WorkItem::Kind::remove, CollectedFile{path, 0, date}});
    }
  }
  progress_.phase = Phase::indexing;
  progress_.totalFiles = run_->summary.totalFiles;
  progress_.indexedFiles = run_->summary.unchangedFiles;
  publishProgress();
  processNext();
}

void FileChunkIndexer::processNext() {
  if (!run_) return;
  run_->resumeAction = [this] { processNext(); };
  if (holdIfNeeded()) return;
  if (run_->next >= run_->items.size()) {
    finishRun();
    return;
  }
  if (!canSafelyIndex()) {
    cancelRun();
    scheduleRetry(std::chrono::seconds(300), "safetyGate");
    return;
  }
  WorkItem item = run_->items[run_->next++];
  processItem(std::move(item));
}

void FileChunkIndexer::processItem(WorkItem item) {
  const uint64_t generation = run_->generation;
  run_->currentPath = item.file.path;
  progress_.currentFileName = std::filesystem::path(item.file.path).filename().string();
  if (item.kind == WorkItem::Kind::remove) {
    run_->mutated = true;
    deps_.store->removeChunks(item.file.path,
                              Completion<Status>(deps_.runner, [weak = weak_from_this(), generation](Status) {
                                auto self = weak.lock();
                                if (self && self->runIsCurrent(generation)) self->finishItem(false);
                              }));
    return;
  }
  auto text = readTextFile(item.file.path);
  if (!text.ok()) {
    logger_.info("Failed to index %s: %s", item.file.path.c_str(), text.error().description().c_str());
    ++run_->summary.failedFiles;
    finishItem(false);
    return;
  }
  auto chunks = std::make_shared<std::vector<ChunkInput>>(makeFileChunks(item.file, text.value()));
  addBatches(std::move(chunks), 0);
}

std::string FileChunkIndexer::leaseTimeoutReason(bool lastBatch) const {
  if (run_->kind != Run::Kind::full) return "coordinatorTimeoutWatcher";
  return lastBatch ? "coordinatorTimeoutFinalBatch" : "coordinatorTimeoutBatch";
}

void FileChunkIndexer::addBatches(std::shared_ptr<std::vector<ChunkInput>> chunks, std::size_t from) {
  if (from > 0) {
    run_->resumeAction = [this, chunks, from] { addBatches(chunks, from); };
    if (holdIfNeeded()) return;
  }
  const std::size_t size = std::min(leaseBatchSize(indexingIntensity_), chunks->size() - from);
  const bool lastBatch = from + size >= chunks->size() && run_->next >= run_->items.size();
  const uint64_t generation = run_->generation;
  progress_.phase = Phase::waitingForLease;
  deps_.coordinator->acquire(
      kOwner, deps_.tuning.leaseTimeout,
      Completion<EmbeddingCoordinator::LeaseRef>(deps_.runner, [weak = weak_from_this(), generation, chunks, from, size,
                                                                lastBatch](EmbeddingCoordinator::LeaseRef lease) {
        auto self = weak.lock();
        if (!self || !self->runIsCurrent(generation)) {
          if (lease) lease->release();
          return;
        }
        Run& run = *self->run_;
        if (!lease) {
          const std::string reason = self->leaseTimeoutReason(lastBatch);
          TelemetryService::signal("FileChunkIndexer.coordinatorAcquireFailed", {{"reason", reason}});
          self->cancelRun();
          self->scheduleRetry(std::chrono::seconds(90), reason);
          return;
        }
        run.lease = lease;
        run.mutated = true;
        self->progress_.phase = Phase::indexing;
        auto add = [weak, generation, chunks, from, size] {
          auto indexer = weak.lock();
          if (!indexer || !indexer->runIsCurrent(generation)) return;
          std::vector<ChunkInput> batch(chunks->begin() + std::ptrdiff_t(from),
                                        chunks->begin() + std::ptrdiff_t(from + size));
          indexer->deps_.store->addChunks(
              std::move(batch), nullptr,
              Completion<Status>(indexer->deps_.runner, [weak, generation, chunks, from, size](Status added) {
                auto i = weak.lock();
                if (!i || !i->runIsCurrent(generation)) return;
                if (i->run_->lease) i->run_->lease->release();
                i->run_->lease.reset();
                if (!added.ok()) {
                  // Not the file's fault: every other file would fail the same way.
                  i->logger_.error(
                      i->run_->kind == Run::Kind::full ? "Failed to index %s: %s" : "Failed to re-index %s: %s",
                      i->run_->currentPath.c_str(), added.error().description().c_str());
                  i->run_->summary.embeddingFailed = true;
                  i->endRun(PassSummary::Outcome::failed, added.error().description());
                  return;
                }
                i->run_->summary.chunksAdded += int64_t(size);
                i->progress_.chunksAdded = i->run_->summary.chunksAdded;
                i->refreshHeartbeat();
                if (from + size >= chunks->size()) {
                  i->finishItem(true);
                } else {
                  i->addBatches(chunks, from + size);
                }
              }));
        };
        if (from > 0) return add();
        // The file's previous chunks go first, under the same lease; a blank
        // file ends there.
        self->deps_.store->removeChunks(run.currentPath,
                                        Completion<Status>(self->deps_.runner, [weak, generation, add, chunks](Status) {
                                          auto i = weak.lock();
                                          if (!i || !i->runIsCurrent(generation)) return;
                                          if (!chunks->empty()) return add();
                                          if (i->run_->lease) i->run_->lease->release();
                                          i->run_->lease.reset();
                                          i->finishItem(true);
                                        }));
      }));
}

void FileChunkIndexer::finishItem(bool indexed) {
  if (indexed) ++run_->summary.indexedFiles;
  ++progress_.indexedFiles;
  refreshHeartbeat();
  publishProgress();
  if (!indexed) {
    post([generation = run_->generation](FileChunkIndexer& i) {
      if (i.runIsCurrent(generation)) i.processNext();
    });
    return;
  }
  const MonoTime now = deps_.runner->clock().now();
  const Duration interval = std::max(deps_.tuning.checkpointInterval, run_->lastCheckpointTook * 10);
  if (run_->next < run_->items.size() && now - run_->lastCheckpoint >= interval) {
    const uint64_t generation = run_->generation;
    deps_.store->save(Completion<Status>(deps_.runner, [weak = weak_from_this(), generation, now](Status saved) {
      auto self = weak.lock();
      if (!self || !self->runIsCurrent(generation)) return;
      if (!saved.ok()) self->logger_.error("Failed to save index: %s", saved.error().description().c_str());
      const MonoTime end = self->deps_.runner->clock().now();
      self->run_->lastCheckpoint = end;
      self->run_->lastCheckpointTook = end - now;
      self->continueAfterPause();
    }));
    return;
  }
  continueAfterPause();
}

void FileChunkIndexer::continueAfterPause() {
  const uint64_t generation = run_->generation;
  resumeTask_ = TaskHandle::make();
  postDelayed(perFilePause(), resumeTask_, [generation](FileChunkIndexer& i) {
    if (i.runIsCurrent(generation)) i.processNext();
  });
}

void FileChunkIndexer::finishRun() {
  Run& run = *run_;
  const uint64_t generation = run.generation;
  const bool full = run.kind == Run::Kind::full;
  if (full) {
    logger_.info("File indexing completed: %ld files processed", static_cast<long>(run.summary.indexedFiles));
    TelemetryService::signal("FileEmbedding.indexingCompleted", {{"files", std::to_string(run.summary.indexedFiles)},
                                                                 {"chunks", std::to_string(run.summary.chunksAdded)}});
  }
  if (!run.mutated) {
    endRun(PassSummary::Outcome::completed, "");
    return;
  }
  progress_.phase = Phase::saving;
  publishProgress();
  deps_.store->save(Completion<Status>(deps_.runner, [weak = weak_from_this(), generation](Status saved) {
    auto self = weak.lock();
    if (!self || !self->runIsCurrent(generation)) return;
    if (!saved.ok()) self->logger_.error("Failed to save index: %s", saved.error().description().c_str());
    self->deps_.store->saveHNSW(Completion<Status>(self->deps_.runner, [weak, generation, saved](Status graph) {
      auto i = weak.lock();
      if (!i || !i->runIsCurrent(generation)) return;
      if (graph.ok()) {
        i->logger_.info("HNSW index saved successfully");
      } else {
        i->logger_.error("Failed to save HNSW index: %s", graph.error().description().c_str());
        TelemetryService::signal("FileChunkIndexer.hnswSaveFailed", {{"error", graph.error().description()}});
      }
      const bool ok = saved.ok() && graph.ok();
      i->endRun(ok ? PassSummary::Outcome::completed : PassSummary::Outcome::failed,
                ok ? "" : (saved.ok() ? graph.error().description() : saved.error().description()));
    }));
  }));
}

void FileChunkIndexer::recordPassStatistics(const Run& run) const {
  static constexpr const char* kKinds[] = {"full", "watcher", "catch-up"};
  static constexpr const char* kOutcomes[] = {"completed",   "unchanged", "deferred",
                                              "interrupted", "noFolders", "failed"};
  SourceStatistics::process().recordPass(
      "semantic files",
      {kKinds[static_cast<size_t>(run.kind)], deps_.runner->clock().wallNow(),
       deps_.runner->clock().now() - run.startedAt, kOutcomes[static_cast<size_t>(run.summary.outcome)]});
}

void FileChunkIndexer::endRun(PassSummary::Outcome outcome, const std::string& detail) {
  std::unique_ptr<Run> run = std::move(run_);
  if (run->lease) run->lease->release();
  watchdogTask_.cancel();
  thermalTask_.cancel();
  run->summary.outcome = outcome;
  run->summary.detail = detail;
  run->summary.elapsedSeconds = toSeconds(deps_.runner->clock().now() - run->startedAt);
  recordPassStatistics(*run);
  const bool completed = outcome == PassSummary::Outcome::completed || outcome == PassSummary::Outcome::unchanged;
  if (run->kind == Run::Kind::full && completed) {
    if (deps_.tracker && outcome == PassSummary::Outcome::completed) {
      Status recorded = deps_.tracker->recordCompletion(
          {deps_.runner->clock().wallNow(), run->summary.totalFiles, 0, run->contentHash});
      if (!recorded.ok()) logger_.error("Failed to record completion: %s", recorded.error().description().c_str());
    }
    stallRestartCount_ = 0;
    didEscalateAfterStall_ = false;
    rebuildingPass_ = false;
    deps_.notifications->post(kDidBecomeReadyNotification);
  }
  progress_.isIndexing = false;
  progress_.isComplete = completed;
  progress_.isRebuilding = rebuildingPass_;
  progress_.phase = continuous_ && !stopped_ ? Phase::watching : Phase::idle;
  progress_.currentFileName.clear();
  publishProgress();
  if (run->done) run->done(run->summary);
  if (run->catchUpDone) run->catchUpDone(true);
  if (continuous_ && !stopped_) schedulePoll();
}

}  // namespace pallix
