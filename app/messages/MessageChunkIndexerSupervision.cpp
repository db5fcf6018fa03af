// MessageChunkIndexer: polling, work modes, retries, the stall watchdog,
// rebuilds and progress.
#include "app/messages/MessageChunkIndexer.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

long long wholeSeconds(Duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

// MARK: - Polling

void MessageChunkIndexer::enterPollingLoop() {
  if (workMode_ != WorkMode::idle) {
    logger_.info("Polling suspended: non-idle work mode");
    polling_ = false;
    scheduleRetry(std::chrono::seconds(90), "workModePollingDeferred", RetryStrategy::continuous);
    logger_.info("Polling loop exited");
    return;
  }
  polling_ = true;
  logger_.info("Entering polling loop, checking every %llds", wholeSeconds(currentPollInterval_));
  setStatePhase(State::polling, Phase::polling);
  schedulePoll();
}

void MessageChunkIndexer::schedulePoll() {
  pollTask_.cancel();
  pollTask_ = TaskHandle::make();
  postDelayed(currentPollInterval_, pollTask_, [](MessageChunkIndexer& i) { i.pollOnce(); });
}

void MessageChunkIndexer::pollOnce() {
  if (!polling_) return;
  if (workMode_ != WorkMode::idle) return enterPollingLoop();
  if (pass_) return schedulePoll();  // a catch-up pass is running; look again later
  auto highest = deps_.reader->maxRowID();
  if (!highest.ok()) {
    logger_.error("Fast check failed: %s", highest.error().description().c_str());
    return schedulePoll();
  }
  const int64_t last = lastIndexedRowID();
  if (highest.value() <= last) {
    logger_.debug("No new messages since ROWID %lld", static_cast<long long>(last));
    return schedulePoll();
  }
  beginPass(PassSummary::Kind::poll, RetryStrategy::continuous);
  pass_->then = [](MessageChunkIndexer& i, PassSummary::Outcome outcome) {
    if (outcome == PassSummary::Outcome::failed) i.logger_.error("Poll check failed: %s", "see the line above");
    if (!i.polling_) return;
    i.setStatePhase(State::polling, Phase::polling);
    i.schedulePoll();
  };
  performIncrementalIndexing(last, kPollLimit);
}

void MessageChunkIndexer::stopPolling() {
  post([](MessageChunkIndexer& i) {
    if (!i.polling_) return;
    i.pollTask_.cancel();
    i.polling_ = false;
    i.logger_.info("Polling stopped, index preserved");
  });
}

// MARK: - Work modes, pausing and stopping

void MessageChunkIndexer::setWorkMode(WorkMode mode) {
  post([mode](MessageChunkIndexer& i) {
    i.workMode_ = mode;
    i.currentPollInterval_ =
        mode == WorkMode::deepIdle ? i.deps_.tuning.deepIdlePollInterval : i.deps_.tuning.pollInterval;
    i.logger_.info("MessageChunkIndexer poll interval set to %llds", wholeSeconds(i.currentPollInterval_));
    if (mode == WorkMode::idle) return;
    if (i.pass_) {
      i.logger_.info("Indexing paused at %ld/%ld chunks", long(i.progress_.indexedChunks),
                     long(i.progress_.totalChunks));
      i.cancelPass();
      i.isPaused_ = true;
      i.setStatePhase(State::paused, Phase::paused);
    }
    if (i.polling_) {
      i.pollTask_.cancel();
      i.polling_ = false;
      i.logger_.info("Polling stopped, index preserved");
    }
  });
}

void MessageChunkIndexer::pauseIndexing() {
  post([](MessageChunkIndexer& i) {
    if (!i.pass_) return;
    i.logger_.info("Indexing paused at %ld/%ld chunks", long(i.progress_.indexedChunks), long(i.progress_.totalChunks));
    i.cancelPass();
    i.isPaused_ = true;
    i.setStatePhase(State::paused, Phase::paused);
  });
}

void MessageChunkIndexer::stopIndexing() {
  post([](MessageChunkIndexer& i) {
    i.cancelPass();
    i.pollTask_.cancel();
    i.retryTask_.cancel();
    i.watchdogTask_.cancel();
    i.polling_ = false;
    i.continuous_ = false;
    i.setStatePhase(State::idle, Phase::idle);
  });
}

// Drops the running pass: its pending answers no longer match its generation.
void MessageChunkIndexer::cancelPass() {
  if (!pass_) return;
  std::unique_ptr<Pass> pass = std::move(pass_);
  pass->timers.cancel();
  if (pass->lease) pass->lease->release();
  if (pass->summary.kind == PassSummary::Kind::poll) {
    pollTask_.cancel();
    polling_ = false;
  }
  pass->summary.outcome = PassSummary::Outcome::interrupted;
  if (passObserver_) passObserver_(pass->summary);
}

// MARK: - Retries

void MessageChunkIndexer::scheduleRetry(Duration delay, const std::string& reason, RetryStrategy strategy) {
  retryTask_.cancel();
  retryTask_ = TaskHandle::make();
  TelemetryService::signal("MessageChunkIndexer.retryScheduled",
                           {{"reason", reason},
                            {"delaySeconds", std::to_string(wholeSeconds(delay))},
                            {"strategy", strategy == RetryStrategy::continuous ? "continuous" : "scheduledCatchUp"},
                            {"stallRestartCount", std::to_string(stallRestartCount_)},
                            {"didEscalateAfterStall", didEscalateAfterStall_ ? "1" : "0"}});
  postDelayed(delay, retryTask_, [strategy](MessageChunkIndexer& i) {
    if (strategy == RetryStrategy::scheduledCatchUp) {
      i.catchUpNow({});
    } else {
      i.startNow();
    }
  });
}

// MARK: - Stall watchdog

void MessageChunkIndexer::scheduleWatchdog() {
  if (watchdogTask_.valid() && !watchdogTask_.isCancelled()) return;
  watchdogTask_ = TaskHandle::make();
  postDelayed(deps_.tuning.watchdogInterval, watchdogTask_, [](MessageChunkIndexer& i) {
    i.watchdogTask_ = {};
    i.checkForStall();
  });
}

void MessageChunkIndexer::checkForStall() {
  if (!pass_) return;  // the next pass starts the watchdog again
  const Duration idle = deps_.runner->clock().now() - lastProgressMono_;
  if (idle <= deps_.tuning.stallThresholdSeconds) return scheduleWatchdog();
  TelemetryService::signal("MessageChunkIndexer.stallDetected", {{"idleSeconds", std::to_string(wholeSeconds(idle))},
                                                                 {"phase", phaseName(progress_.phase)}});
  const RetryStrategy strategy = pass_->strategy;
  if (stallRestartCount_ < kMaxStallRestarts) {
    ++stallRestartCount_;
    TelemetryService::signal("MessageChunkIndexer.stallRestart", {{"attempt", std::to_string(stallRestartCount_)}});
    cancelPass();
    setStatePhase(State::idle, Phase::idle);
    return scheduleRetry(std::chrono::seconds(5), "stallRestart", strategy);
  }
  if (!didEscalateAfterStall_) {
    didEscalateAfterStall_ = true;
    TelemetryService::signal("MessageChunkIndexer.stallEscalated");
    cancelPass();
    return rebuildNow(RebuildTrigger::stallRecovery, {});
  }
  TelemetryService::signal("MessageChunkIndexer.stallPersistedAfterEscalation");
  cancelPass();
  setStatePhase(State::idle, Phase::deferred);
  scheduleRetry(std::chrono::seconds(180), "stallPersistedAfterEscalation", strategy);
}

// MARK: - Rebuild

void MessageChunkIndexer::rebuildIndex(RebuildTrigger trigger, Completion<Status> done) {
  post([trigger, done](MessageChunkIndexer& i) { i.rebuildNow(trigger, done); });
}

void MessageChunkIndexer::rebuildNow(RebuildTrigger trigger, Completion<Status> done) {
  const RebuildIntent intent = trigger == RebuildTrigger::user
                                   ? RebuildIntent::user("MessageChunkIndexer.rebuildIndex")
                                   : RebuildIntent::system("MessageChunkIndexer.stallRecovery");
  cancelPass();
  deps_.store->rebuild(
      intent, onRunner<Status>([intent, trigger, done](MessageChunkIndexer& i, Status rebuilt) {
        if (!rebuilt.ok()) {
          if (isError(rebuilt.error(), RebuildError::kDomain, RebuildError::automaticRebuildBlocked)) {
            i.logger_.info("Message rebuild blocked by embedding store policy (source: %s)", intent.source.c_str());
            TelemetryService::signal("MessageChunkIndexer.rebuildBlocked", {{"source", intent.source}});
          } else {
            i.logger_.error("Message rebuild failed: %s", rebuilt.error().description().c_str());
            TelemetryService::signal("MessageChunkIndexer.rebuildFailed", {{"error", rebuilt.error().description()}});
          }
          // A refused stall rebuild still deserves a fresh start of the pass.
          if (trigger == RebuildTrigger::stallRecovery) {
            i.scheduleRetry(std::chrono::seconds(5), "stallRestart", RetryStrategy::continuous);
          }
          return done(rebuilt);
        }
        (void)i.deps_.defaults->remove(kLastIndexedRowIDKey);
        (void)i.deps_.defaults->remove(kFullPassInProgressKey);
        // The empty index belongs to the database read now.
        if (auto identity = i.deps_.reader->databaseIdentity(); identity.ok()) {
          (void)i.deps_.defaults->set(kDatabaseIdentityKey, identity.value());
        }
        done(okStatus());
        if (i.continuous_) {
          i.pollTask_.cancel();
          i.polling_ = false;
          return i.startNow();
        }
        i.runPass({Resume::Kind::full, 0}, RetryStrategy::scheduledCatchUp, [](MessageChunkIndexer&, bool) {});
      }));
}

// MARK: - Progress

void MessageChunkIndexer::markProgress() {
  const MonoTime now = deps_.runner->clock().now();
  lastProgressMono_ = now;
  progress_.lastProgressAt = deps_.runner->clock().wallNow();
  if (progress_.state == State::indexing &&
      (!lastHeartbeatTelemetryAt_ || now - *lastHeartbeatTelemetryAt_ >= deps_.tuning.heartbeatTelemetryInterval)) {
    lastHeartbeatTelemetryAt_ = now;
    TelemetryService::signal("MessageChunkIndexer.livenessHeartbeat",
                             {{"state", stateName(progress_.state)},
                              {"phase", phaseName(progress_.phase)},
                              {"indexedChunks", std::to_string(progress_.indexedChunks)},
                              {"totalChunks", std::to_string(progress_.totalChunks)}});
  }
  publishProgress();
}

void MessageChunkIndexer::setStatePhase(State state, Phase phase) {
  progress_.state = state;
  progress_.phase = phase;
  publishProgress();
}

void MessageChunkIndexer::publishProgress() {
  if (progressObserver_) progressObserver_(progress_);
}

}  // namespace pallix
