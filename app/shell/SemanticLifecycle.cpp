#include "app/shell/SemanticLifecycle.h"

#include <future>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "core/Logger.h"
#include "core/RunLoop.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("AppDelegate");
  return log;
}

// Waits up to `limit` for a save posted to a store's executor; the
// executors drop what is still queued when they shut down.
void waitForSave(const char* what, std::future<Status> saved, Duration limit) {
  if (limit <= Duration::zero()) return;
  if (saved.wait_for(limit) != std::future_status::ready) {
    logger().error("Pallix.AppDelegate: the %s embedding store did not finish saving before termination", what);
  } else if (Status status = saved.get(); !status.ok()) {
    logger().error("Pallix.AppDelegate: %s embedding save failed: %s", what, status.error().description().c_str());
  }
}

}  // namespace

SemanticLifecycle::SemanticLifecycle(Dependencies deps) : deps_(std::move(deps)) {}

SemanticLifecycle::~SemanticLifecycle() {
  catchUpTimer_.cancel();
  writerLockRetry_.cancel();
  observations_.clear();
  teardownMessageEmbedding();
  teardownFileEmbedding();
  if (ownMessageExecutor_) ownMessageExecutor_->shutdown();
}

void SemanticLifecycle::start() {
  if (started_) return;
  started_ = true;
  NotificationCenter& center = NotificationCenter::defaultCenter();
  observations_.emplace_back(center, FilesPreferences::kDidChangeNotification,
                             weak_.wrap([this](const Notification&) { setupFileEmbedding(); }));
  observations_.emplace_back(center, MessagesPreferences::kDidChangeNotification,
                             weak_.wrap([this](const Notification&) { setupMessageEmbedding(); }));
  observations_.emplace_back(center, kEmbeddingModelDidChangeNotification,
                             weak_.wrap([this](const Notification&) { handleModelChange(); }));
  if (deps_.lifecycle) {
    workModeHandlerID_ =
        deps_.lifecycle->registerWorkModeHandler(weak_.wrap([this](WorkMode mode) { applyWorkMode(mode); }));
    activationHandlerID_ =
        deps_.lifecycle->registerVisibilityHandler(weak_.wrap([this] { handleApplicationDidBecomeActive(); }), [] {});
  }
  lastKnownFullDiskAccessGranted_ = fullDiskAccessGranted();
  setupFileEmbedding();
  setupMessageEmbedding();
  configureSemanticCatchUpScheduler();
}

std::vector<std::string> SemanticLifecycle::folders() const {
  if (!deps_.defaults) return {};
  return SemanticServices::semanticFolders(*deps_.defaults, deps_.dirs);
}

bool SemanticLifecycle::fullDiskAccessGranted() const {
  return FullDiskAccessController(deps_.dirs.home, deps_.defaults).isFullDiskAccessGranted();
}

SemanticServices* SemanticLifecycle::ensureServices(const char* side) {
  if (services_) return services_.get();
  SemanticServicesOptions options;
  options.dirs = deps_.dirs;
  options.defaults = deps_.defaults;
  options.modelFactory = deps_.modelFactory;
  std::unique_ptr<SemanticServices> services =
      deps_.makeServices ? deps_.makeServices(std::move(options)) : SemanticServices::create(std::move(options));
  if (!services) return nullptr;
  if (!services->modelFactory().isInstalled()) {
    logger().info("Pallix.AppDelegate: %s skipped - %s", side, services->modelFactory().unavailableMessage().c_str());
    return nullptr;
  }
  // One writer per store directory: while a `pallix semantic index` or
  // `pallix messages index` runs, it keeps the indexes to itself.
  auto lock = SemanticWriterLock::acquire(services->storeDirectory());
  if (!lock.ok()) {
    logger().error("Pallix.AppDelegate: %s waits - %s", side, lock.error().description().c_str());
    scheduleWriterLockRetry();
    return nullptr;
  }
  writerLock_ = std::move(lock).value();
  services_ = std::move(services);
  services_->initialize(Completion<Status>(deps_.mainRunner, weak_.wrap([](Status status) {
    if (!status.ok()) {
      logger().error("Pallix.AppDelegate: the embedding stores failed to initialize: %s",
                     status.error().description().c_str());
    }
  })));
  return services_.get();
}

void SemanticLifecycle::scheduleWriterLockRetry() {
  if (writerLockRetry_.valid() && !writerLockRetry_.isCancelled()) return;
  writerLockRetry_ = deps_.mainRunner->postDelayed(kWriterLockRetryInterval, weak_.wrap([this] {
    writerLockRetry_ = {};
    setupFileEmbedding();
    setupMessageEmbedding();
  }));
}

void SemanticLifecycle::releaseServicesIfUnused() {
  if (!services_ || fileActive_ || messageIndexer_) return;
  services_->shutdown();
  services_.reset();
  writerLock_.reset();
}

// ---------------------------------------------------------------------------
// Files

void SemanticLifecycle::setupFileEmbedding() {
  if (!deps_.files || !deps_.files->semanticSearchEnabled()) {
    logger().info("Pallix.AppDelegate: setupFileEmbedding skipped - semanticSearchEnabled=false");
    teardownFileEmbedding();
    return;
  }
  std::vector<std::string> wanted = folders();
  if (wanted.empty()) {
    logger().info("Pallix.AppDelegate: setupFileEmbedding skipped - indexedFolders is empty");
    teardownFileEmbedding();
    return;
  }
  if (fileActive_) {
    // Already running: a change of folders restarts the continuous indexing.
    if (wanted != activeFolders_) {
      activeFolders_ = wanted;
      services_->fileIndexer()->startContinuousIndexing(activeFolders_);
    }
    return;
  }
  SemanticServices* services = ensureServices("setupFileEmbedding");
  if (!services) return;
  fileActive_ = true;
  activeFolders_ = std::move(wanted);
  FileChunkIndexer& indexer = *services->fileIndexer();
  if (deps_.lifecycle) indexer.setWorkMode(deps_.lifecycle->workMode());
  indexer.setProgressObserver(
      Completion<FileChunkIndexer::Progress>(deps_.mainRunner, weak_.wrap([this](FileChunkIndexer::Progress progress) {
        if (services_) services_->fileIndexingProgress().apply(progress);
      })));
  indexer.startContinuousIndexing(activeFolders_);
  if (deps_.lifecycle) {
    fileHandlerID_ = deps_.lifecycle->registerVisibilityHandler([] {}, [] {}, weak_.wrap([this] {
      if (!fileActive_) return;
      if (services_->fileIndexingProgress().isIndexing()) {
        logger().info("Pallix.AppDelegate: Skipping file embedding unload - indexing in progress");
        return;
      }
      if (messageIndexerIsIndexing()) {
        logger().info("Pallix.AppDelegate: Skipping file embedding unload - message indexing in progress");
        return;
      }
      services_->fileStore()->unloadIndex();
    }),
                                                                weak_.wrap([this] {
                                                                  if (fileActive_)
                                                                    services_->fileStore()->handleMemoryPressure();
                                                                }));
  }
  logger().info("Pallix.AppDelegate: setupFileEmbedding started for %zu folders", activeFolders_.size());
}

void SemanticLifecycle::teardownFileEmbedding() {
  if (fileHandlerID_ && deps_.lifecycle) deps_.lifecycle->unregister(*fileHandlerID_);
  fileHandlerID_.reset();
  if (!fileActive_) return;
  fileActive_ = false;
  activeFolders_.clear();
  services_->fileIndexer()->stop();
  // A stopped indexer answers no pass: whoever waits for one hears why.
  if (auto pending = filePasses_.pending()) {
    FileChunkIndexer::PassSummary off;
    off.outcome = FileChunkIndexer::PassSummary::Outcome::failed;
    off.detail = "semantic file search was turned off in the agent";
    filePasses_.finish(*pending, off);
  }
  releaseServicesIfUnused();
}

// ---------------------------------------------------------------------------
// Messages

bool SemanticLifecycle::messageIndexerIsIndexing() const {
  return messageIndexer_ && messageProgress_.state == MessageChunkIndexer::State::indexing;
}

void SemanticLifecycle::setupMessageEmbedding() {
  if (!deps_.messages || !deps_.messages->semanticSearchEnabled()) {
    teardownMessageEmbedding();
    return;
  }
  if (messageIndexer_) return;
  if (!fullDiskAccessGranted()) {
    logger().info("Pallix.AppDelegate: setupMessageEmbedding skipped - the Messages database cannot be read");
    return;
  }
  SemanticServices* services = ensureServices("setupMessageEmbedding");
  if (!services) return;
  messageComponents_ = MessagesComponents::create(deps_.dirs, deps_.defaults);
  TaskRunnerPtr runner = deps_.messageIndexerRunner;
  if (!runner) {
    if (!ownMessageExecutor_) ownMessageExecutor_ = SerialExecutor::create("pallix-message-index");
    runner = ownMessageExecutor_;
  }
  messageIndexer_ = messageComponents_->makeChunkIndexer(runner, services->messageStore(), *deps_.defaults);
  messageComponents_->attachEmbeddingStore(services->messageStore());
  messageIndexer_->setIndexingIntensity(deps_.messages->indexingIntensity());
  if (deps_.lifecycle) messageIndexer_->setWorkMode(deps_.lifecycle->workMode());
  messageIndexer_->setProgressObserver(Completion<MessageChunkIndexer::Progress>(
      deps_.mainRunner, weak_.wrap([this](MessageChunkIndexer::Progress progress) { messageProgress_ = progress; })));
  messageIndexer_->setPassObserver(Completion<MessageChunkIndexer::PassSummary>(
      deps_.mainRunner, weak_.wrap([this](MessageChunkIndexer::PassSummary summary) {
        lastMessagePass_ = std::move(summary);
        ++messagePassesSeen_;
      })));
  messageIndexer_->startContinuousIndexing();
  if (deps_.lifecycle) {
    messageHandlerID_ =
        deps_.lifecycle->registerVisibilityHandler([] {}, [] {}, weak_.wrap([this] {
          if (!messageIndexer_) return;
          if (messageIndexerIsIndexing()) {
            logger().info("Pallix.AppDelegate: Skipping message embedding unload - indexing in progress");
            return;
          }
          if (fileActive_ && services_->fileIndexingProgress().isIndexing()) {
            logger().info("Pallix.AppDelegate: Skipping message embedding unload - file indexing in progress");
            return;
          }
          services_->messageStore()->unloadIndex();
        }),
                                                   weak_.wrap([this] {
                                                     if (messageIndexer_)
                                                       services_->messageStore()->handleMemoryPressure();
                                                   }));
  }
  logger().info("Pallix.AppDelegate: setupMessageEmbedding started");
}

void SemanticLifecycle::teardownMessageEmbedding() {
  if (messageHandlerID_ && deps_.lifecycle) deps_.lifecycle->unregister(*messageHandlerID_);
  messageHandlerID_.reset();
  if (!messageIndexer_) return;
  messageIndexer_->stopIndexing();
  messageIndexer_.reset();
  if (messageComponents_) messageComponents_->attachEmbeddingStore(nullptr);
  messageComponents_.reset();
  messageProgress_ = {};
  lastMessagePass_.reset();
  if (auto pending = messagePasses_.pending()) {
    MessageChunkIndexer::PassSummary off;
    off.outcome = MessageChunkIndexer::PassSummary::Outcome::failed;
    off.detail = "semantic message search was turned off in the agent";
    messagePasses_.finish(*pending, off);
  }
  releaseServicesIfUnused();
}

void SemanticLifecycle::handleApplicationDidBecomeActive() {
  const bool granted = fullDiskAccessGranted();
  const bool becameAvailable = granted && !lastKnownFullDiskAccessGranted_;
  lastKnownFullDiskAccessGranted_ = granted;
  if (!becameAvailable) return;
  TelemetryService::signal("AppDelegate.fullDiskAccessBecameAvailable");
  setupMessageEmbedding();
  if (messageIndexer_) messageIndexer_->runScheduledCatchUpPass();
}

// ---------------------------------------------------------------------------
// Work modes, catch-up, model changes, termination

void SemanticLifecycle::applyWorkMode(WorkMode mode) {
  if (services_ && mode == WorkMode::deepIdle) {
    services_->fileStore()->unloadIndex();
    services_->messageStore()->unloadIndex();
  }
  if (fileActive_) services_->fileIndexer()->setWorkMode(mode);
  if (messageIndexer_) messageIndexer_->setWorkMode(mode);
}

void SemanticLifecycle::configureSemanticCatchUpScheduler() {
  catchUpTimer_.cancel();
  scheduleNextCatchUp();
}

void SemanticLifecycle::scheduleNextCatchUp() {
  catchUpTimer_ = deps_.mainRunner->postDelayed(kSemanticCatchUpInterval, weak_.wrap([this] {
    runScheduledSemanticCatchUpIfNeeded("hourly");
    scheduleNextCatchUp();
  }));
}

void SemanticLifecycle::runScheduledSemanticCatchUpIfNeeded(const std::string& reason) {
  if (catchUpRunning_) return;
  const std::string mode = deps_.lifecycle ? workModeName(deps_.lifecycle->workMode()) : "active";
  TelemetryService::signal("AppDelegate.semanticCatchUpStarted", {{"reason", reason}, {"workMode", mode}});
  catchUpRunning_ = true;
  runMessageCatchUp(weak_.wrap([this] {
    runFileCatchUp(weak_.wrap([this] {
      catchUpRunning_ = false;
      TelemetryService::signal("AppDelegate.semanticCatchUpCompleted");
    }));
  }));
}

void SemanticLifecycle::runMessageCatchUp(std::function<void()> then) {
  if (deps_.messages && deps_.messages->semanticSearchEnabled() && fullDiskAccessGranted()) setupMessageEmbedding();
  if (!messageIndexer_) return then();
  std::shared_ptr<MessageEmbeddingStore> store = services_->messageStore();
  auto main = deps_.mainRunner;
  messageIndexer_->runScheduledCatchUpPass(Completion<bool>(main, [store, main, then](bool) {
    store->save(MessageSaveIntent::routine("scheduledCatchUp"), Completion<Status>(main, [then](Status saved) {
                  if (!saved.ok()) {
                    logger().error("Pallix.AppDelegate: Scheduled message catch-up HNSW save failed: %s",
                                   saved.error().description().c_str());
                  }
                  then();
                }));
  }));
}

void SemanticLifecycle::runFileCatchUp(std::function<void()> then) {
  if (!fileActive_) return then();
  std::shared_ptr<FileEmbeddingStore> store = services_->fileStore();
  auto main = deps_.mainRunner;
  services_->fileIndexer()->runScheduledCatchUpPass(
      activeFolders_, Completion<bool>(main, [store, main, then](bool) {
        store->saveHNSW(Completion<Status>(main, [then](Status saved) {
          if (!saved.ok()) {
            logger().error("Pallix.AppDelegate: Scheduled file catch-up HNSW save failed: %s",
                           saved.error().description().c_str());
          }
          then();
        }));
      }));
}

void SemanticLifecycle::handleModelChange() {
  if (!services_) return;
  logger().info("Pallix.AppDelegate: embedding model changed; the semantic indexes start over");
  // The stores post their reset notifications; the indexers re-index on it.
  services_->fileStore()->resetForModelChange();
  services_->messageStore()->resetForModelChange();
}

Result<uint64_t> SemanticLifecycle::requestFilePass() {
  if (!fileActive_) {
    return Error("SemanticLifecycleError", 1,
                 "the agent does not index files by meaning (FilesPreferences.semanticSearchEnabled is off, no "
                 "folder is set, or no embedding model is installed)");
  }
  auto [id, isNew] = filePasses_.request();
  if (isNew) startRequestedFilePassWhenFree();
  return id;
}

void SemanticLifecycle::startRequestedFilePassWhenFree() {
  auto queued = filePasses_.queued();
  if (!queued || !fileActive_) return;  // a teardown answers a pass it stops
  if (services_->fileIndexingProgress().isIndexing()) {
    deps_.mainRunner->postDelayed(kRequestedPassCheckInterval,
                                  weak_.wrap([this] { startRequestedFilePassWhenFree(); }));
    return;
  }
  const uint64_t id = *queued;
  filePasses_.markRunning(id);
  // A pass someone waits for runs now, as `pallix semantic index` would.
  FileChunkIndexer& indexer = *services_->fileIndexer();
  indexer.setWorkMode(WorkMode::idle);
  auto main = deps_.mainRunner;
  indexer.runFullPass(
      activeFolders_,
      Completion<FileChunkIndexer::PassSummary>(
          main, weak_.wrap([this, id, main](FileChunkIndexer::PassSummary summary) {
            if (!fileActive_) return;  // answered by the teardown
            if (deps_.lifecycle) {
              services_->fileIndexer()->setWorkMode(deps_.lifecycle->workMode());
            }
            services_->fileStore()->save(Completion<Status>(main, weak_.wrap([this, id, summary](Status saved) mutable {
              if (!saved.ok()) {
                summary.outcome = FileChunkIndexer::PassSummary::Outcome::failed;
                summary.detail = "saving the index failed: " + saved.error().description();
              }
              filePasses_.finish(id, std::move(summary));
            })));
          })));
}

Result<uint64_t> SemanticLifecycle::requestMessagePass() {
  if (!messageIndexer_) {
    return Error("SemanticLifecycleError", 2,
                 "the agent does not index conversations by meaning (MessagesPreferences.semanticSearchEnabled is "
                 "off, the Messages database cannot be read, or no embedding model is installed)");
  }
  auto [id, isNew] = messagePasses_.request();
  if (isNew) startRequestedMessagePassWhenFree();
  return id;
}

void SemanticLifecycle::startRequestedMessagePassWhenFree() {
  auto queued = messagePasses_.queued();
  if (!queued || !messageIndexer_) return;  // a teardown answers a pass it stops
  if (messageIndexerIsIndexing()) {
    deps_.mainRunner->postDelayed(kRequestedPassCheckInterval,
                                  weak_.wrap([this] { startRequestedMessagePassWhenFree(); }));
    return;
  }
  const uint64_t id = *queued;
  messagePasses_.markRunning(id);
  const uint64_t passesBefore = messagePassesSeen_;
  messageIndexer_->setWorkMode(WorkMode::idle);
  auto main = deps_.mainRunner;
  std::shared_ptr<MessageEmbeddingStore> store = services_->messageStore();
  messageIndexer_->runScheduledCatchUpPass(
      Completion<bool>(main, weak_.wrap([this, id, main, store, passesBefore](bool ran) {
        if (!messageIndexer_) return;  // answered by the teardown
        if (deps_.lifecycle) messageIndexer_->setWorkMode(deps_.lifecycle->workMode());
        // The indexer reports a pass before it answers, on the same runners.
        const bool reported = messagePassesSeen_ > passesBefore && lastMessagePass_;
        if (!ran && !reported) {
          // A pass of its own may have begun before its progress got here:
          // wait for it, as for any pass in progress.
          messageIndexer_->progress(
              Completion<MessageChunkIndexer::Progress>(main, weak_.wrap([this, id](MessageChunkIndexer::Progress now) {
                if (!messageIndexer_) return;
                if (now.state == MessageChunkIndexer::State::indexing) {
                  messageProgress_ = now;
                  messagePasses_.markQueued(id);
                  deps_.mainRunner->postDelayed(kRequestedPassCheckInterval,
                                                weak_.wrap([this] { startRequestedMessagePassWhenFree(); }));
                  return;
                }
                MessageChunkIndexer::PassSummary skipped;
                skipped.outcome = MessageChunkIndexer::PassSummary::Outcome::deferred;
                skipped.detail = "the agent's message indexer could not run a pass now; its log says why";
                messagePasses_.finish(id, std::move(skipped));
              })));
          return;
        }
        MessageChunkIndexer::PassSummary summary;
        if (reported) {
          summary = *lastMessagePass_;
        } else {
          summary.outcome = MessageChunkIndexer::PassSummary::Outcome::nothingNew;
        }
        store->save(MessageSaveIntent::routine("requestedCatchUp"),
                    Completion<Status>(main, weak_.wrap([this, id, summary](Status saved) mutable {
                      if (!saved.ok()) {
                        summary.outcome = MessageChunkIndexer::PassSummary::Outcome::failed;
                        summary.detail = "saving the index failed: " + saved.error().description();
                      }
                      messagePasses_.finish(id, std::move(summary));
                    })));
      })));
}

void SemanticLifecycle::terminate() {
  catchUpTimer_.cancel();
  writerLockRetry_.cancel();
  for (auto* id : {&workModeHandlerID_, &activationHandlerID_}) {
    if (*id && deps_.lifecycle) deps_.lifecycle->unregister(**id);
    id->reset();
  }
  if (!services_) return;
  std::vector<std::pair<const char*, std::future<Status>>> saves;
  if (fileActive_) {
    services_->fileIndexer()->stop();
    auto saved = std::make_shared<std::promise<Status>>();
    saves.emplace_back("file", saved->get_future());
    services_->fileStore()->save(Completion<Status>([saved](Status status) { saved->set_value(std::move(status)); }));
  }
  if (messageIndexer_) {
    messageIndexer_->stopIndexing();
    auto saved = std::make_shared<std::promise<Status>>();
    saves.emplace_back("message", saved->get_future());
    services_->messageStore()->save(
        MessageSaveIntent::routine("applicationWillTerminate"),
        Completion<Status>([saved](Status status) { saved->set_value(std::move(status)); }));
  }
  for (auto& [what, saved] : saves) waitForSave(what, std::move(saved), deps_.terminationSaveWait);
  teardownMessageEmbedding();
  teardownFileEmbedding();
}

}  // namespace pallix
