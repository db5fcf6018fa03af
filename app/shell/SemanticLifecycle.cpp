#include "app/shell/SemanticLifecycle.h"

#include <future>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("AppDelegate");
  return log;
}

}  // namespace

SemanticLifecycle::SemanticLifecycle(Dependencies deps) : deps_(std::move(deps)) {}

SemanticLifecycle::~SemanticLifecycle() {
  catchUpTimer_.cancel();
  observations_.clear();
  teardownFileEmbedding();
}

void SemanticLifecycle::start() {
  if (started_) return;
  started_ = true;
  NotificationCenter& center = NotificationCenter::defaultCenter();
  observations_.emplace_back(center, FilesPreferences::kDidChangeNotification,
                             weak_.wrap([this](const Notification&) { setupFileEmbedding(); }));
  observations_.emplace_back(center, kEmbeddingModelDidChangeNotification,
                             weak_.wrap([this](const Notification&) { handleModelChange(); }));
  if (deps_.lifecycle) {
    workModeHandlerID_ =
        deps_.lifecycle->registerWorkModeHandler(weak_.wrap([this](WorkMode mode) { applyWorkMode(mode); }));
  }
  setupFileEmbedding();
  configureSemanticCatchUpScheduler();
}

std::vector<std::string> SemanticLifecycle::folders() const {
  if (!deps_.defaults) return {};
  return SemanticServices::semanticFolders(*deps_.defaults, deps_.dirs);
}

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
  if (services_) {
    // Already running: a change of folders restarts the continuous indexing.
    if (wanted != activeFolders_) {
      activeFolders_ = wanted;
      services_->fileIndexer()->startContinuousIndexing(activeFolders_);
    }
    return;
  }
  SemanticServicesOptions options;
  options.dirs = deps_.dirs;
  options.defaults = deps_.defaults;
  options.modelFactory = deps_.modelFactory;
  std::unique_ptr<SemanticServices> services =
      deps_.makeServices ? deps_.makeServices(std::move(options)) : SemanticServices::create(std::move(options));
  if (!services) return;
  if (!services->modelFactory().isInstalled()) {
    logger().info("Pallix.AppDelegate: setupFileEmbedding skipped - %s",
                  services->modelFactory().unavailableMessage().c_str());
    return;
  }
  // One writer per store directory: a `pallix semantic index` running now
  // keeps it, and this agent searches without indexing.
  auto lock = SemanticWriterLock::acquire(services->storeDirectory());
  if (!lock.ok()) {
    logger().error("Pallix.AppDelegate: setupFileEmbedding skipped - %s", lock.error().description().c_str());
    return;
  }
  writerLock_ = std::move(lock).value();
  services_ = std::move(services);
  activeFolders_ = std::move(wanted);
  services_->initialize(Completion<Status>(deps_.mainRunner, weak_.wrap([this](Status status) {
    if (!status.ok()) {
      logger().error("Pallix.AppDelegate: file embedding store failed to initialize: %s",
                     status.error().description().c_str());
    }
  })));
  FileChunkIndexer& indexer = *services_->fileIndexer();
  if (deps_.lifecycle) indexer.setWorkMode(deps_.lifecycle->workMode());
  indexer.setProgressObserver(
      Completion<FileChunkIndexer::Progress>(deps_.mainRunner, weak_.wrap([this](FileChunkIndexer::Progress progress) {
        if (services_) services_->fileIndexingProgress().apply(progress);
      })));
  indexer.startContinuousIndexing(activeFolders_);
  if (deps_.lifecycle) {
    lifecycleHandlerID_ = deps_.lifecycle->registerVisibilityHandler([] {}, [] {}, weak_.wrap([this] {
      if (!services_) return;
      if (services_->fileIndexingProgress().isIndexing()) {
        logger().info("Pallix.AppDelegate: Skipping file embedding unload - indexing in progress");
        return;
      }
      services_->fileStore()->unloadIndex();
    }),
                                                                     weak_.wrap([this] {
                                                                       if (services_)
                                                                         services_->fileStore()->handleMemoryPressure();
                                                                     }));
  }
  logger().info("Pallix.AppDelegate: setupFileEmbedding started for %zu folders", activeFolders_.size());
}

void SemanticLifecycle::teardownFileEmbedding() {
  if (lifecycleHandlerID_ && deps_.lifecycle) deps_.lifecycle->unregister(*lifecycleHandlerID_);
  lifecycleHandlerID_.reset();
  if (!services_) return;
  services_->fileIndexer()->stop();
  services_->shutdown();
  services_.reset();
  writerLock_.reset();
  activeFolders_.clear();
}

void SemanticLifecycle::applyWorkMode(WorkMode mode) {
  if (!services_) return;
  if (mode == WorkMode::deepIdle) {
    services_->fileStore()->unloadIndex();
    services_->messageStore()->unloadIndex();
  }
  services_->fileIndexer()->setWorkMode(mode);
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
  if (!services_ || activeFolders_.empty()) {
    TelemetryService::signal("AppDelegate.semanticCatchUpCompleted");
    return;
  }
  catchUpRunning_ = true;
  std::shared_ptr<FileEmbeddingStore> store = services_->fileStore();
  auto finish = weak_.wrap([this](Status saved) {
    if (!saved.ok()) {
      logger().error("Pallix.AppDelegate: Scheduled file catch-up HNSW save failed: %s",
                     saved.error().description().c_str());
    }
    catchUpRunning_ = false;
    TelemetryService::signal("AppDelegate.semanticCatchUpCompleted");
  });
  services_->fileIndexer()->runScheduledCatchUpPass(
      activeFolders_, Completion<bool>(deps_.mainRunner, [store, finish, main = deps_.mainRunner](bool) {
        store->saveHNSW(Completion<Status>(main, finish));
      }));
}

void SemanticLifecycle::handleModelChange() {
  if (!services_) return;
  logger().info("Pallix.AppDelegate: embedding model changed; the semantic indexes start over");
  // The stores post their reset notifications; the indexer re-indexes on it.
  services_->fileStore()->resetForModelChange();
  services_->messageStore()->resetForModelChange();
}

void SemanticLifecycle::terminate() {
  catchUpTimer_.cancel();
  if (workModeHandlerID_ && deps_.lifecycle) deps_.lifecycle->unregister(*workModeHandlerID_);
  workModeHandlerID_.reset();
  if (!services_) return;
  services_->fileIndexer()->stop();
  // The executors drop what is still queued when they shut down: wait for
  // the save first.
  auto saved = std::make_shared<std::promise<Status>>();
  std::future<Status> result = saved->get_future();
  services_->fileStore()->save(Completion<Status>([saved](Status status) { saved->set_value(std::move(status)); }));
  if (deps_.terminationSaveWait > Duration::zero()) {
    if (result.wait_for(deps_.terminationSaveWait) != std::future_status::ready) {
      logger().error("Pallix.AppDelegate: the file embedding store did not finish saving before termination");
    } else if (Status status = result.get(); !status.ok()) {
      logger().error("Pallix.AppDelegate: file embedding save failed: %s", status.error().description().c_str());
    }
  }
  teardownFileEmbedding();
}

}  // namespace pallix
