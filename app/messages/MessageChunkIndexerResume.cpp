// MessageChunkIndexer: starting continuous indexing and catch-up passes, and
// where a pass resumes (the recorded ROWID, the stored chunks, the index file).
#include "app/messages/MessageChunkIndexer.h"
#include "core/Telemetry.h"

namespace pallix {

using Outcome = MessageChunkIndexer::PassSummary::Outcome;

// MARK: - Starting

void MessageChunkIndexer::startNow() {
  logger_.info("startContinuousIndexing called, current state: %s", stateName(progress_.state));
  if (pass_ || polling_) {
    logger_.info("Cannot start continuous indexing from state: %s", stateName(progress_.state));
    return;
  }
  if (!deps_.reader->access().isFullDiskAccessGranted()) {
    logger_.info("Full Disk Access not granted; cannot index messages");
    return;
  }
  continuous_ = true;
  isPaused_ = false;
  deps_.store->initialize(onRunner<Status>([](MessageChunkIndexer& i, Status initialized) {
    if (!initialized.ok()) {
      i.logger_.error("Cannot start indexing: store initialization failed");
      TelemetryService::signal("MessageChunkIndexer.startFailedStoreNotReady",
                               {{"error", initialized.error().description()}});
      return;
    }
    if (i.deps_.conditions && !i.deps_.conditions->isSystemReady()) {
      i.logger_.info("Deferring indexing: system not ready");
      return i.scheduleRetry(i.deps_.tuning.systemNotReadyRetryDelay, "systemNotReady", RetryStrategy::continuous);
    }
    if (i.workMode_ != WorkMode::idle) {
      i.logger_.info("Deferring message indexing due to work mode: %s", workModeName(i.workMode_));
      return i.scheduleRetry(std::chrono::seconds(90), "workModeDeferred", RetryStrategy::continuous);
    }
    if (i.pass_ || i.polling_) return;
    i.scheduleWatchdog();
    i.logger_.info("Starting continuous chunk indexing with polling");
    i.determineResume(false, [](MessageChunkIndexer& i, Resume resume) {
      i.runPass(resume, RetryStrategy::continuous, [](MessageChunkIndexer& i, bool completed) {
        if (completed) i.enterPollingLoop();
      });
    });
  }));
}

void MessageChunkIndexer::catchUpNow(Completion<bool> done) {
  if (!deps_.reader->access().isFullDiskAccessGranted()) {
    logger_.info("Skipping scheduled message catch-up: Full Disk Access unavailable");
    return done(false);
  }
  if (workMode_ != WorkMode::idle) {
    logger_.info("Deferring message indexing due to work mode: %s", workModeName(workMode_));
    scheduleRetry(std::chrono::seconds(90), "workModeDeferred", RetryStrategy::scheduledCatchUp);
    return done(false);
  }
  deps_.store->initialize(onRunner<Status>([done](MessageChunkIndexer& i, Status initialized) {
    if (!initialized.ok()) {
      i.logger_.info("Skipping scheduled message catch-up: store initialization failed (%s)",
                     initialized.error().description().c_str());
      return done(false);
    }
    if (i.pass_) {
      i.logger_.info("Skipping scheduled message catch-up: indexer already running");
      return done(false);
    }
    i.determineResume(true, [done](MessageChunkIndexer& i, Resume resume) {
      if (resume.kind == Resume::Kind::retryLater) {
        if (!resume.retryReason.empty()) {
          i.logger_.info("Skipping scheduled message catch-up: %s", resume.retryReason.c_str());
        } else {
          i.logger_.info(
              "Skipping scheduled message catch-up: index file exists but chunk count remains 0 after reload");
        }
        return done(false);
      }
      if (i.pass_) {
        i.logger_.info("Skipping scheduled message catch-up: indexer already running");
        return done(false);
      }
      i.runPass(resume, RetryStrategy::scheduledCatchUp,
                [done](MessageChunkIndexer&, bool completed) { done(completed); });
    });
  }));
}

// An index with no identity recorded predates it and may hold chunks of any
// database, so it starts afresh too.
void MessageChunkIndexer::determineResume(bool scheduled, std::function<void(MessageChunkIndexer&, Resume)> then) {
  auto identity = deps_.reader->databaseIdentity();
  if (!identity.ok()) {
    logger_.error("Continuous indexing failed: %s", identity.error().description().c_str());
    return then(*this, {Resume::Kind::retryLater, 0, false, identity.error().description()});
  }
  if (deps_.defaults->stringValue(kDatabaseIdentityKey) == identity.value()) {
    return determineResumeForSameDatabase(scheduled, then);
  }
  deps_.store->state(onRunner<MessageChunkStore::State>([identity = identity.value(), then](
                                                            MessageChunkIndexer& i, MessageChunkStore::State state) {
    auto adopt = [identity, then](MessageChunkIndexer& i) {
      (void)i.deps_.defaults->remove(kLastIndexedRowIDKey);
      (void)i.deps_.defaults->remove(kFullPassInProgressKey);
      if (Status saved = i.deps_.defaults->set(kDatabaseIdentityKey, identity); !saved.ok()) {
        i.logger_.error("Cannot record the Messages database's identity: %s", saved.error().description().c_str());
      }
      then(i, {Resume::Kind::full, 0});
    };
    const bool anythingStored = state.chunkCount > 0 || state.indexFileExists || i.lastIndexedRowID() > 0 ||
                                i.deps_.defaults->boolValue(kFullPassInProgressKey).value_or(false);
    if (!anythingStored) return adopt(i);
    i.logger_.info("The message index belongs to another Messages database; starting a fresh index");
    TelemetryService::signal("MessageChunkIndexer.databaseChanged");
    i.deps_.store->rebuild(
        RebuildIntent::user("MessageChunkIndexer.databaseChanged"),
        i.onRunner<Status>([adopt, then](MessageChunkIndexer& i, Status rebuilt) {
          if (!rebuilt.ok()) {
            i.logger_.error("Message rebuild failed: %s", rebuilt.error().description().c_str());
            TelemetryService::signal("MessageChunkIndexer.rebuildFailed", {{"error", rebuilt.error().description()}});
            return then(i, {Resume::Kind::retryLater, 0, false, rebuilt.error().description()});
          }
          adopt(i);
        }));
  }));
}

void MessageChunkIndexer::determineResumeForSameDatabase(bool scheduled,
                                                         std::function<void(MessageChunkIndexer&, Resume)> then) {
  if (deps_.defaults->boolValue(kFullPassInProgressKey).value_or(false)) {
    return then(*this, {Resume::Kind::full, 0, true});
  }
  const int64_t recorded = lastIndexedRowID();
  deps_.store->state(onRunner<MessageChunkStore::State>(
      [scheduled, recorded, then](MessageChunkIndexer& i, MessageChunkStore::State state) {
        if (state.chunkCount > 0) {
          i.logger_.info("Index exists with %ld chunks, determining resume point", long(state.chunkCount));
          if (recorded > 0) {
            i.logger_.info("Resuming index from ROWID %lld", static_cast<long long>(recorded));
            return then(i, {Resume::Kind::incremental, recorded});
          }
          i.deps_.store->largestStoredRowID(
              i.onRunner<std::optional<int64_t>>([then](MessageChunkIndexer& i, std::optional<int64_t> largest) {
                if (largest) {
                  i.logger_.info("Resuming index from ROWID %lld", static_cast<long long>(*largest));
                  return then(i, {Resume::Kind::incremental, *largest});
                }
                i.logger_.info("Cannot determine last ROWID from chunks, will resume from current position");
                auto current = i.deps_.reader->maxRowID();
                if (!current.ok()) {
                  i.logger_.error("Continuous indexing failed: %s", current.error().description().c_str());
                  return then(i, {Resume::Kind::retryLater, 0});
                }
                then(i, {Resume::Kind::incremental, current.value()});
              }));
          return;
        }
        if (recorded > 0) {
          if (state.indexFileExists) {
            i.deps_.store->reload(i.onRunner<Status>([recorded, then](MessageChunkIndexer& i, Status reloaded) {
              if (!reloaded.ok()) {
                i.logger_.error("Forced reload failed during state-mismatch check: %s",
                                reloaded.error().description().c_str());
                return then(i, {Resume::Kind::retryLater, 0});
              }
              i.deps_.store->state(i.onRunner<MessageChunkStore::State>(
                  [recorded, then](MessageChunkIndexer& i, MessageChunkStore::State after) {
                    if (after.chunkCount > 0) {
                      i.logger_.info("Recovered %ld chunks after forced reload; preserving ROWID %lld",
                                     long(after.chunkCount), static_cast<long long>(recorded));
                      return then(i, {Resume::Kind::incremental, recorded});
                    }
                    i.logger_.info(
                        "Index file exists but chunk count is still 0 after forced reload; preserving state and "
                        "retrying later");
                    then(i, {Resume::Kind::retryLater, 0});
                  }));
            }));
            return;
          }
          if (scheduled) {
            i.logger_.info("Scheduled catch-up detected true state mismatch; resetting progress marker");
          } else {
            i.logger_.info(
                "State mismatch detected: ROWID %lld but 0 chunks and no index file. Resetting and re-indexing...",
                static_cast<long long>(recorded));
          }
          (void)i.deps_.defaults->remove(kLastIndexedRowIDKey);
          return then(i, {Resume::Kind::full, 0});
        }
        auto window = i.deps_.reader->messagesInWindowCount(i.cutoff());
        i.logger_.info("Fresh index: building from all %ld messages", long(window.ok() ? window.value() : 0));
        then(i, {Resume::Kind::full, 0});
      }));
}

void MessageChunkIndexer::runPass(Resume resume, RetryStrategy strategy,
                                  std::function<void(MessageChunkIndexer&, bool)> then) {
  if (resume.kind == Resume::Kind::retryLater) {
    scheduleRetry(std::chrono::seconds(90), "stateMismatchDeferred", strategy);
    return then(*this, false);
  }
  const bool full = resume.kind == Resume::Kind::full;
  beginPass(full ? PassSummary::Kind::full : PassSummary::Kind::incremental, strategy);
  pass_->resuming = resume.continuesInterruptedPass;
  pass_->then = [then, strategy](MessageChunkIndexer& i, Outcome outcome) {
    const bool completed = outcome == Outcome::completed || outcome == Outcome::nothingNew;
    if (outcome == Outcome::failed && strategy == RetryStrategy::continuous) {
      i.scheduleRetry(std::chrono::seconds(90), "continuousIndexingFailed", strategy);
    }
    then(i, completed);
  };
  if (full) return performFullIndexing();
  if (strategy == RetryStrategy::continuous) {
    logger_.info("Starting continuous indexing from ROWID %lld", static_cast<long long>(resume.rowID));
  }
  performIncrementalIndexing(resume.rowID, kIncrementalLimit);
}

}  // namespace pallix
