// FileChunkIndexer: what decides whether and how fast it works (work mode,
// intensity, thermal state, memory, user pauses) and what watches over it
// (retries, the liveness heartbeat, the stall watchdog, rebuilds).
#include <cmath>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/FileChunkIndexer.h"
#include "core/Telemetry.h"

namespace pallix {

Duration pauseForIntensity(IndexingIntensity intensity) {
  switch (intensity) {
    case IndexingIntensity::minimal:
      return std::chrono::milliseconds(2000);
    case IndexingIntensity::low:
      return std::chrono::milliseconds(1000);
    case IndexingIntensity::balanced:
      return std::chrono::milliseconds(500);
    case IndexingIntensity::maximum:
      return std::chrono::milliseconds(200);
  }
  return std::chrono::milliseconds(500);
}

std::optional<int> thermalMultiplier(ThermalState state) {
  switch (state) {
    case ThermalState::nominal:
      return 1;
    case ThermalState::fair:
      return 2;
    case ThermalState::serious:
      return 4;
    case ThermalState::critical:
      return 10;
  }
  return std::nullopt;
}

const char* thermalStateName(ThermalState state) {
  switch (state) {
    case ThermalState::nominal:
      return "nominal";
    case ThermalState::fair:
      return "fair";
    case ThermalState::serious:
      return "serious";
    case ThermalState::critical:
      return "critical";
  }
  return "unknown";
}

// MARK: - Work mode, intensity, pauses

void FileChunkIndexer::setWorkMode(WorkMode mode) {
  post([mode](FileChunkIndexer& i) {
    const WorkMode previous = i.workMode_;
    i.workMode_ = mode;
    const Duration interval =
        mode == WorkMode::deepIdle ? i.deps_.tuning.deepIdlePollingInterval : i.deps_.tuning.pollingInterval;
    if (interval != i.currentPollingInterval_) {
      i.currentPollingInterval_ = interval;
      i.logger_.info("FileChunkIndexer poll interval set to %fs", toSeconds(interval));
      if (i.pollTask_.valid() && !i.pollTask_.isCancelled()) i.schedulePoll();
    }
    if (previous == WorkMode::active && mode != WorkMode::active && !i.pauseRequested_ && i.run_ &&
        i.run_->holdingForPause) {
      i.resume();
    }
  });
}

void FileChunkIndexer::setIndexingIntensity(IndexingIntensity intensity) {
  post([intensity](FileChunkIndexer& i) {
    if (i.indexingIntensity_ == intensity) return;
    i.indexingIntensity_ = intensity;
    i.logger_.info("Indexing intensity set to: %s", std::string(rawValue(intensity)).c_str());
    TelemetryService::signal("Settings.indexingIntensityChanged", {{"intensity", std::string(rawValue(intensity))}});
  });
}

void FileChunkIndexer::requestPause() {
  post([](FileChunkIndexer& i) {
    i.logger_.info("Indexing pause requested for user search");
    i.pauseRequested_ = true;
  });
}

void FileChunkIndexer::resume() {
  post([](FileChunkIndexer& i) {
    i.pauseRequested_ = false;
    if (!i.run_ || !i.run_->holdingForPause) {
      i.logger_.info("Indexing resumed");
      return;
    }
    if (i.workMode_ == WorkMode::active) return;  // still yielding to the visible panel
    i.logger_.info("Indexing resumed after pause");
    i.run_->holdingForPause = false;
    i.progress_.phase = Phase::indexing;
    i.refreshHeartbeat();
    i.publishProgress();
    i.run_->resumeAction();
  });
}

void FileChunkIndexer::stop() {
  post([](FileChunkIndexer& i) {
    i.stopped_ = true;
    i.continuous_ = false;
    i.cancelRun();
    i.pollTask_.cancel();
    i.retryTask_.cancel();
    i.watchdogTask_.cancel();
    i.thermalTask_.cancel();
    i.pendingWatcherChanges_.clear();
    i.progress_.phase = Phase::stopped;
    i.progress_.isIndexing = false;
    i.publishProgress();
  });
}

bool FileChunkIndexer::holdIfNeeded() {
  Run& run = *run_;
  if (run.holdingForThermal || run.holdingForPause) return true;
  if (deps_.conditions && deps_.conditions->thermalState() == ThermalState::critical) {
    logger_.info("Thermal state critical - pausing indexing to cool down");
    TelemetryService::signal("FileEmbedding.thermalPause", {{"site", "waitIfThermalCritical()"}});
    run.holdingForThermal = true;
    progress_.phase = Phase::thermalHold;
    publishProgress();
    scheduleThermalCheck();
    return true;
  }
  if (pauseRequested_ || workMode_ == WorkMode::active) {
    logger_.info("Indexing paused for user search");
    run.holdingForPause = true;
    progress_.phase = Phase::paused;
    publishProgress();
    return true;
  }
  return false;
}

bool FileChunkIndexer::canSafelyIndex() {
  if (deps_.conditions) {
    const ThermalState thermal = deps_.conditions->thermalState();
    if (thermal == ThermalState::serious || thermal == ThermalState::critical) {
      logger_.info("Thermal state too high: %ld", static_cast<long>(thermal));
      return false;
    }
    const uint64_t resident = deps_.conditions->residentMemoryBytes();
    if (resident >= deps_.tuning.memoryLimitBytes) {
      logger_.info("Memory usage too high: %f GB", double(resident) / double(1ull << 30));
      return false;
    }
  }
  return true;
}

Duration FileChunkIndexer::perFilePause() {
  if (deps_.tuning.perFilePauseOverride) return *deps_.tuning.perFilePauseOverride;
  const ThermalState thermal = deps_.conditions ? deps_.conditions->thermalState() : ThermalState::nominal;
  auto multiplier = thermalMultiplier(thermal);
  if (!multiplier) {
    TelemetryService::signal("FileChunkIndexer.unknownThermalState", {{"state", std::to_string(int(thermal))}});
    multiplier = 1;
  }
  return pauseForIntensity(indexingIntensity_) * *multiplier;
}

// MARK: - Thermal monitoring

void FileChunkIndexer::thermalStateDidChange() {
  post([](FileChunkIndexer& i) { i.checkThermalState(); });
}

void FileChunkIndexer::scheduleThermalCheck() {
  if (!deps_.conditions) return;
  if (!thermalMonitoring_) {
    thermalMonitoring_ = true;
    currentThermalState_ = deps_.conditions->thermalState();
    logger_.info("Starting thermal monitoring, current state: %s", thermalStateName(currentThermalState_));
  }
  thermalTask_.cancel();
  thermalTask_ = TaskHandle::make();
  postDelayed(deps_.tuning.thermalCheckInterval, thermalTask_, [](FileChunkIndexer& i) {
    i.checkThermalState();
    if (i.run_) i.scheduleThermalCheck();
  });
}

void FileChunkIndexer::checkThermalState() {
  if (!deps_.conditions) return;
  const ThermalState state = deps_.conditions->thermalState();
  if (state != currentThermalState_) {
    logger_.info("Thermal state changed: %s -> %s", thermalStateName(currentThermalState_), thermalStateName(state));
    if (!thermalMultiplier(state)) {
      TelemetryService::signal("FileChunkIndexer.unknownThermalState", {{"state", std::to_string(int(state))}});
    }
    currentThermalState_ = state;
  }
  if (run_ && run_->holdingForThermal && state != ThermalState::critical) {
    logger_.info("Thermal state improved from critical - resuming indexing");
    run_->holdingForThermal = false;
    progress_.phase = Phase::indexing;
    refreshHeartbeat();
    publishProgress();
    run_->resumeAction();
  }
}

// MARK: - Retries

void FileChunkIndexer::scheduleRetry(Duration delay, const std::string& reason) {
  retryTask_.cancel();
  retryTask_ = TaskHandle::make();
  logger_.info("Retrying file indexing in %.0f s (%s)", toSeconds(delay), reason.c_str());
  postDelayed(delay, retryTask_, [reason](FileChunkIndexer& i) { i.handleRetryFire(reason); });
}

void FileChunkIndexer::handleRetryFire(const std::string& reason) {
  TelemetryService::signal("FileChunkIndexer.retryScheduled", {{"reason", reason}});
  if (stopped_) return;
  if (reason == "coordinatorTimeoutWatcher") {
    startWatcherPass();
  } else {
    performFullIndex("retry: " + reason);
  }
}

// MARK: - Liveness and stalls

void FileChunkIndexer::refreshHeartbeat() {
  const MonoTime now = deps_.runner->clock().now();
  lastProgressHeartbeat_ = now;
  if (lastHeartbeatTelemetryAt_ && now - *lastHeartbeatTelemetryAt_ < deps_.tuning.heartbeatTelemetryInterval) return;
  lastHeartbeatTelemetryAt_ = now;
  TelemetryService::signal("FileChunkIndexer.livenessHeartbeat",
                           {{"state", run_ ? "running" : "idle"},
                            {"phase", phaseName(progress_.phase)},
                            {"indexedFiles", std::to_string(progress_.indexedFiles)},
                            {"totalFiles", std::to_string(progress_.totalFiles)}});
}

void FileChunkIndexer::scheduleWatchdog() {
  watchdogTask_.cancel();
  watchdogTask_ = TaskHandle::make();
  postDelayed(deps_.tuning.watchdogInterval, watchdogTask_, [](FileChunkIndexer& i) { i.checkForStall(); });
}

void FileChunkIndexer::checkForStall() {
  if (!run_) return;
  const MonoTime now = deps_.runner->clock().now();
  // A deliberate wait (the user's search, the heat) is not a stall.
  if (run_->holdingForPause || run_->holdingForThermal) lastProgressHeartbeat_ = now;
  const Duration idle = now - lastProgressHeartbeat_;
  if (idle > deps_.tuning.stallThresholdSeconds) {
    TelemetryService::signal(
        "FileChunkIndexer.stallDetected",
        {{"idleSeconds", std::to_string(int64_t(toSeconds(idle)))}, {"phase", phaseName(progress_.phase)}});
    recoverFromStall(idle);
    return;
  }
  scheduleWatchdog();
}

void FileChunkIndexer::recoverFromStall(Duration idle) {
  ++stallRestartCount_;
  const bool watcher = run_->kind != Run::Kind::full;
  logger_.error("File indexing stalled for %.0f s (stall %d)", toSeconds(idle), stallRestartCount_);
  cancelRun();
  const std::string attempt = std::to_string(stallRestartCount_);
  if (stallRestartCount_ <= 2) {
    TelemetryService::signal("FileChunkIndexer.stallRestart", {{"attempt", attempt}});
    watcher ? startWatcherPass() : performFullIndex("stall restart");
    return;
  }
  if (!didEscalateAfterStall_) {
    didEscalateAfterStall_ = true;
    TelemetryService::signal("FileChunkIndexer.stallEscalated", {{"attempt", attempt}});
    rebuildNow(RebuildTrigger::stallRecovery, {});
    return;
  }
  TelemetryService::signal("FileChunkIndexer.stallPersistedAfterEscalation", {{"attempt", attempt}});
  scheduleRetry(std::chrono::seconds(180), "stallPersistedAfterEscalation");
}

void FileChunkIndexer::cancelRun() {
  if (!run_) return;
  std::unique_ptr<Run> run = std::move(run_);
  if (run->lease) run->lease->release();
  resumeTask_.cancel();
  watchdogTask_.cancel();
  progress_.isIndexing = false;
  progress_.phase = continuous_ && !stopped_ ? Phase::watching : Phase::idle;
  run->summary.outcome = PassSummary::Outcome::interrupted;
  run->summary.elapsedSeconds = toSeconds(deps_.runner->clock().now() - run->startedAt);
  recordPassStatistics(*run);
  if (run->done) run->done(run->summary);
  if (run->catchUpDone) run->catchUpDone(false);
  publishProgress();
}

// MARK: - Rebuilds and resets

void FileChunkIndexer::rebuildIndex(RebuildTrigger trigger, Completion<Status> done) {
  post([trigger, done](FileChunkIndexer& i) { i.rebuildNow(trigger, done); });
}

void FileChunkIndexer::rebuildNow(RebuildTrigger trigger, Completion<Status> done) {
  if (!deps_.store) {
    done(Error::make("No embedding store available"));
    return;
  }
  const bool user = trigger == RebuildTrigger::user;
  const RebuildIntent intent = user ? RebuildIntent::user("user") : RebuildIntent::system("stallRecovery");
  if (user) rebuildInFlight_ = true;
  deps_.store->rebuild(
      intent, Completion<Status>(deps_.runner, [weak = weak_from_this(), user, intent, done](Status rebuilt) {
        auto self = weak.lock();
        if (!self) return done(rebuilt);
        self->rebuildInFlight_ = false;
        if (!rebuilt.ok()) {
          if (isError(rebuilt.error(), RebuildError::kDomain, RebuildError::automaticRebuildBlocked)) {
            if (user) {
              self->logger_.error("File rebuild blocked by embedding store policy (source: %s)", intent.source.c_str());
            } else {
              self->logger_.info("Blocked non-user file semantic index rebuild request (%s)", intent.source.c_str());
              TelemetryService::signal("FileChunkIndexer.rebuildBlocked", {{"reason", "rebuildBlocked_stallRecovery"}});
              self->scheduleRetry(std::chrono::seconds(120), "rebuildBlocked_stallRecovery");
            }
          } else {
            self->logger_.error("Failed to rebuild index: %s", rebuilt.error().description().c_str());
          }
          return done(rebuilt);
        }
        self->handleIndexWasReset();
        done(rebuilt);
      }));
}

void FileChunkIndexer::handleIndexWasReset() {
  if (rebuildInFlight_) return;  // rebuildNow starts the pass when the store answers
  cancelRun();
  pendingWatcherChanges_.clear();
  if (deps_.tracker) (void)deps_.tracker->clear();
  rebuildingPass_ = true;
  progress_.isRebuilding = true;
  publishProgress();
  if (!indexedFolders_.empty()) performFullIndex("index reset");
}

void FileChunkIndexer::publishProgress() {
  if (progressObserver_) progressObserver_(progress_);
}

}  // namespace pallix
