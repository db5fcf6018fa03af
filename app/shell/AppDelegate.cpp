#include "app/shell/AppDelegate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/search/CatalogSchema.h"
#include "app/shell/AgentRequests.h"
#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("AppDelegate");
  return log;
}

// "A", "A and B", "A, B, and C".
std::string joinServiceNames(const std::vector<std::string>& names) {
  if (names.size() <= 1) return names.empty() ? "" : names[0];
  if (names.size() == 2) return names[0] + " and " + names[1];
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += i + 1 == names.size() ? ", and " : ", ";
    out += names[i];
  }
  return out;
}

}  // namespace

AppDelegate::AppDelegate(AppEnvironment env)
    : env_(std::move(env)),
      defaults_(env_.dirs.defaultsPath()),
      files_(defaults_),
      messages_(defaults_),
      intelligence_(defaults_),
      clipboard_(defaults_),
      dataSources_(defaults_),
      appDisplay_(defaults_),
      telemetry_(defaults_),
      writerLock_(StoreWriterLock::lockPathFor(env_.dirs)) {
  if (defaults_.loadError()) {
    logger().error("Pallix.AppDelegate: %s", defaults_.loadError()->description().c_str());
  }
}

AppDelegate::~AppDelegate() {
  defaultsWatcher_.reset();
  if (env_.lifecycle) {
    for (const UUID& id : lifecycleHandlers_) env_.lifecycle->unregister(id);
  }
  observations_.clear();
  semantic_.reset();
  clipboardServices_.reset();
  clipboardLock_.reset();
  indexing_.reset();
}

bool AppDelegate::hasCompletedOnboarding() const {
  return defaults_.boolValue(kHasCompletedOnboardingKey).value_or(false);
}

Status AppDelegate::applicationDidFinishLaunching() {
  logger().info("Pallix: applicationDidFinishLaunching");
  if (env_.installTelemetrySink && telemetry_.telemetryEnabled()) {
    Status dir = createPrivateDirectory(env_.dirs.data);
    if (dir.ok()) TelemetryService::install(std::make_shared<JsonLinesTelemetrySink>(env_.dirs.telemetryPath()));
  }
  terminateOtherRunningInstances();

  observations_.emplace_back(NotificationCenter::defaultCenter(), FilesPreferences::kDidChangeNotification,
                             weak_.wrap([this](const Notification&) { syncFileDirectoriesToIndexingService(); }));

  status_ = std::make_unique<StatusCollector>(env_.mainRunner, env_.dirs);
  if (env_.sampleProcessUsage) status_->startSampling();
  const int64_t heapBeforeCatalog = heapBytesInUse();
  PALLIX_RETURN_IF_ERROR(setupModelContainer());

  IndexingService::Dependencies deps;
  deps.mainRunner = env_.mainRunner;
  deps.backgroundRunner = env_.backgroundRunner;
  deps.directoryChangeRunner = env_.directoryChangeRunner;
  deps.clock = env_.clock;
  deps.watcherFactory = env_.watcherFactory;
  deps.defaults = &defaults_;
  deps.store = store_.get();
  deps.filter = &exclusionFilter_;
  deps.iconResolver = env_.iconResolver;
  deps.dirs = env_.dirs;
  deps.baseAppDirectories = env_.baseAppDirectories;
  indexing_ = std::make_unique<IndexingService>(std::move(deps));
  SourceStatistics::process().recordLoadedHeap(kCatalogSource, heapBytesInUse() - heapBeforeCatalog);
  setupClipboardService();

  setupPanelLifecycleHandlers();
  syncFileDirectoriesToIndexingService();
  watchDefaultsFile();
  if (env_.lifecycle && !env_.lifecycle->isPanelVisible()) env_.lifecycle->enterInitialHiddenState();
  TelemetryService::signal("AppDelegate.didFinishLaunching");
  if (!hasCompletedOnboarding()) logger().info("Pallix.AppDelegate: onboarding has not been completed");
  launched_ = true;
  // Heavy work starts once the launch sequence has returned to the loop.
  env_.mainRunner->post(weak_.wrap([this] { startDeferredBackgroundWork(); }));
  return okStatus();
}

void AppDelegate::terminateOtherRunningInstances() {
  if (!env_.singleInstance) return;
  auto requestTermination = env_.requestTermination;
  auto main = env_.mainRunner;
  // Requests arrive on the instance's thread; the weak wrapper is made here,
  // on the main runner, and runs there.
  auto serve = weak_.wrap(
      [this](const std::string& request, const SingleInstance::Reply& reply) { handleAgentRequest(request, reply); });
  env_.singleInstance->setRequestHandler([main, serve](const std::string& request, SingleInstance::Reply reply) {
    main->post([serve, request, reply]() mutable { serve(request, reply); });
  });
  Result<int> ended = env_.singleInstance->acquire([main, requestTermination] {
    if (requestTermination) main->post(requestTermination);
  });
  int count = 0;
  if (!ended.ok()) {
    logger().error("Pallix.AppDelegate: Failed to end the running instance: %s", ended.error().description().c_str());
  } else {
    count = ended.value();
  }
  TelemetryService::signal("AppDelegate.terminatedOtherInstances", {{"count", std::to_string(count)}});
}

Status AppDelegate::setupModelContainer() {
  // Only one process writes the catalog: one still writing (a `pallix
  // index`, or the agent this one replaces) is waited for.
  Status created = createPrivateDirectory(env_.dirs.data);
  if (created.ok()) {
    Status locked = writerLock_.acquire(StoreWriterLock::kAgentRole, [](const StoreWriterLock::Holder& holder) {
      logger().info("Pallix.AppDelegate: waiting for %s to finish writing the catalog", holder.description().c_str());
    });
    if (!locked.ok()) {
      logger().error("Pallix.AppDelegate: %s", locked.error().description().c_str());
      return locked.error();
    }
  }
  auto store = openPersistentStoreWithRecovery(env_.dirs, catalogMigrationSteps());
  if (!store.ok()) {
    logger().error("Pallix.AppDelegate: %s", store.error().description().c_str());
    return store.error();
  }
  store_ = std::move(store).value();
  return okStatus();
}

void AppDelegate::watchDefaultsFile() {
  if (!env_.defaultsMonitor) return;
  defaultsWatcher_ =
      std::make_unique<DefaultsFileWatcher>(defaults_, *env_.defaultsMonitor, env_.mainRunner, "Pallix.AppDelegate");
  defaultsWatcher_->reloadOnChange(files_, messages_, intelligence_, clipboard_, dataSources_, appDisplay_, telemetry_);
  defaultsWatcher_->addHandler([this](const std::vector<std::string>&) {
    if (indexing_) indexing_->reloadDirectoryLists();
  });
  (void)defaultsWatcher_->start();  // logged by the watcher
}

StatusReport AppDelegate::statusReport() const {
  if (!status_) return StatusReport{};
  return status_->collect([this](StatusReport& report) {
    if (env_.lifecycle) {
      PauseInputs inputs{env_.lifecycle->workMode(), env_.lifecycle->isPanelVisible(),
                         env_.lifecycle->isLowPowerModeEnabled(), env_.lifecycle->thermalState()};
      report.agent->workMode = workModeName(inputs.mode);
      auto pause = [&](const char* name, BackgroundWork work) {
        PauseState state = pauseState(work, inputs);
        SourceStatus& s = report.source(name);
        s.paused = state.paused;
        s.pauseReasons = std::move(state.reasons);
      };
      if (indexing_) pause(kCatalogSource, BackgroundWork::catalogScans);
      if (semantic_ && semantic_->isFileEmbeddingActive())
        pause(kSemanticFilesSource, BackgroundWork::semanticIndexing);
      if (semantic_ && semantic_->isMessageEmbeddingActive()) {
        pause(kSemanticMessagesSource, BackgroundWork::semanticIndexing);
      }
    }
    if (clipboardServices_) {
      const auto& history = clipboardServices_->service().history();
      SourceStatus& s = report.source(kClipboardSource);
      s.items = static_cast<int64_t>(history.size());
      s.memoryBytes = heapBytesOf(history);
      s.memoryMeasure = "in-memory history list";
    }
    if (semantic_) {
      if (SemanticServices* services = semantic_->services(); services && semantic_->isFileEmbeddingActive()) {
        report.source(kSemanticFilesSource).items = services->fileIndexingProgress().indexedFiles();
      }
      if (semantic_->isMessageEmbeddingActive()) {
        report.source(kSemanticMessagesSource).items = semantic_->messageProgress().processedMessages;
      }
    }
  });
}

void AppDelegate::handleAgentRequest(const std::string& request, const SingleInstance::Reply& reply) {
  if (request == kAgentStatusRequest) {
    reply(encodeStatusReport(statusReport()));
    return;
  }
  if (request == kAgentFoldersRequest) {
    if (!indexing_) {
      reply(encodeRequestRefusal("the catalog is not open"));
      return;
    }
    if (defaultsWatcher_ && defaultsWatcher_->isWatching()) {
      defaultsWatcher_->reloadNow();
    } else {
      (void)defaults_.reload();
      indexing_->reloadDirectoryLists();
    }
    reply(encodeWatchedFolders(indexing_->userFileDirectories()));
    return;
  }
  if (request == kAgentSemanticIndexRequest || request.rfind(kAgentSemanticPassRequestPrefix, 0) == 0) {
    if (!semantic_) {
      reply(encodeRequestRefusal("the agent does not index files by meaning"));
      return;
    }
    uint64_t id = 0;
    if (request == kAgentSemanticIndexRequest) {
      auto requested = semantic_->requestFilePass();
      if (!requested.ok()) {
        reply(encodeRequestRefusal(requested.error().description()));
        return;
      }
      id = requested.value();
    } else {
      id = std::strtoull(request.c_str() + std::strlen(kAgentSemanticPassRequestPrefix), nullptr, 10);
    }
    auto pass = semantic_->requestedFilePass(id);
    if (!pass) {
      reply(encodeRequestRefusal("no pass " + std::to_string(id) + " was requested"));
      return;
    }
    SemanticPassReport report{*pass};
    if (SemanticServices* services = semantic_->services()) {
      report.totalFiles = services->fileIndexingProgress().totalFiles();
      report.indexedFiles = services->fileIndexingProgress().indexedFiles();
    }
    reply(encodeSemanticPassReport(report));
    return;
  }
  if (request == kAgentMessagesIndexRequest || request.rfind(kAgentMessagesPassRequestPrefix, 0) == 0) {
    if (!semantic_) {
      reply(encodeRequestRefusal("the agent does not index conversations by meaning"));
      return;
    }
    uint64_t id = 0;
    if (request == kAgentMessagesIndexRequest) {
      auto requested = semantic_->requestMessagePass();
      if (!requested.ok()) {
        reply(encodeRequestRefusal(requested.error().description()));
        return;
      }
      id = requested.value();
    } else {
      id = std::strtoull(request.c_str() + std::strlen(kAgentMessagesPassRequestPrefix), nullptr, 10);
    }
    auto pass = semantic_->requestedMessagePass(id);
    if (!pass) {
      reply(encodeRequestRefusal("no pass " + std::to_string(id) + " was requested"));
      return;
    }
    const MessageChunkIndexer::Progress& progress = semantic_->messageProgress();
    reply(encodeMessagePassReport({*pass, progress.totalMessages, progress.processedMessages}));
    return;
  }
  if (request != kAgentIndexRequest) {
    if (env_.extraRequestHandler && env_.extraRequestHandler(request, reply)) return;
    reply(encodeRequestRefusal("unknown request \"" + std::string(truncateUtf8(request, 40)) + "\""));
    return;
  }
  if (!indexing_) {
    reply(encodeRequestRefusal("the catalog is not open"));
    return;
  }
  indexing_->indexAll([reply](const FullScanSummary& summary) { reply(encodeScanSummary(summary)); });
}

void AppDelegate::setupPanelLifecycleHandlers() {
  if (!env_.lifecycle) return;
  lifecycleHandlers_.push_back(
      env_.lifecycle->registerVisibilityHandler(weak_.wrap([this] {
        if (clipboardServices_) clipboardServices_->service().setPanelVisible(true);
      }),
                                                weak_.wrap([this] {
                                                  if (clipboardServices_)
                                                    clipboardServices_->service().setPanelVisible(false);
                                                }),
                                                {}, weak_.wrap([this] {
                                                  if (clipboardServices_)
                                                    clipboardServices_->service().handleMemoryPressure();
                                                  if (indexing_) indexing_->trimInMemoryCaches("memoryPressure");
                                                })));
  lifecycleHandlers_.push_back(
      env_.lifecycle->registerWorkModeHandler(weak_.wrap([this](WorkMode mode) { applyWorkModePolicy(mode); })));
}

void AppDelegate::applyWorkModePolicy(WorkMode mode) {
  if (clipboardServices_) clipboardServices_->service().setWorkMode(mode);
  TelemetryService::signal("AppDelegate.workModePolicyApplied", {{"mode", workModeName(mode)}});
  if (mode == WorkMode::deepIdle) {
    if (clipboardServices_) clipboardServices_->service().handleMemoryPressure();
    if (indexing_) indexing_->trimInMemoryCaches("memoryPressure");
  }
  if (indexing_) indexing_->setWorkMode(mode);
}

void AppDelegate::syncFileDirectoriesToIndexingService() {
  if (!indexing_) return;
  std::vector<std::string> current = indexing_->userFileDirectories();
  for (const std::string& folder : files_.indexedFolders()) {
    std::string path = IndexingService::standardizePath(folder);
    if (std::find(current.begin(), current.end(), path) != current.end()) continue;
    Status added = indexing_->addFileDirectory(path);
    if (!added.ok()) {
      logger().error("Pallix.AppDelegate: Failed to add %s to the catalog: %s", path.c_str(),
                     added.error().description().c_str());
    }
  }
}

void AppDelegate::setupClipboardService() {
  if (!env_.pasteboard) return;
  auto lock = ClipboardRecorderLock::acquire(env_.dirs);
  if (!lock.ok()) {
    logger().error("Pallix.AppDelegate: clipboard history not recorded here: %s", lock.error().description().c_str());
    return;
  }
  clipboardLock_ = std::move(lock).value();
  ClipboardServices::Options options;
  options.dirs = env_.dirs;
  options.runner = env_.mainRunner;
  options.pasteboard = env_.pasteboard;
  options.linkMetadata = env_.linkMetadata;
  const ClipboardPreferences* prefs = &clipboard_;
  options.settings = [prefs] { return prefs->settings(); };
  // Loaded only while search by meaning is on; a model chosen later replaces
  // it (below), and its vectors replace the old model's.
  options.modelFactory = env_.embeddingModelFactory
                             ? env_.embeddingModelFactory
                             : installedEmbeddingModelFactory(env_.dirs, intelligence_.selectedModel());
  const int64_t heapBefore = heapBytesInUse();
  auto services = ClipboardServices::open(std::move(options));
  SourceStatistics::process().recordLoadedHeap(kClipboardSource, heapBytesInUse() - heapBefore);
  if (!services.ok()) {
    // The catalog works without it; the history stays as it is on disk.
    logger().error("Pallix.AppDelegate: clipboard history unavailable: %s", services.error().description().c_str());
    return;
  }
  clipboardServices_ = std::move(services).value();
  if (env_.embeddingModelFactory || !clipboardServices_->service().semanticIndex()) return;
  observations_.emplace_back(NotificationCenter::defaultCenter(),
                             IntelligencePreferences::kEmbeddingModelDidChangeNotification,
                             weak_.wrap([this](const Notification& n) {
                               const EmbeddingModel* model = std::any_cast<EmbeddingModel>(&n.object);
                               if (!model || !clipboardServices_) return;
                               clipboardServices_->service().semanticIndex()->setModelFactory(
                                   installedEmbeddingModelFactory(env_.dirs, *model));
                             }));
}

void AppDelegate::startDeferredBackgroundWork() {
  if (env_.semanticSearch) {
    SemanticLifecycle::Dependencies deps;
    deps.dirs = env_.dirs;
    deps.mainRunner = env_.mainRunner;
    deps.defaults = &defaults_;
    deps.files = &files_;
    deps.messages = &messages_;
    deps.lifecycle = env_.lifecycle;
    deps.modelFactory = env_.embeddingModelFactory;
    deps.makeServices = env_.makeSemanticServices;
    semantic_ = std::make_unique<SemanticLifecycle>(std::move(deps));
    semantic_->start();
  }
  if (!indexing_) return;
  if (env_.lifecycle) indexing_->setWorkMode(env_.lifecycle->workMode());
  indexing_->startWatching();
  indexing_->startInitialIndexingIfNeeded();
}

void AppDelegate::applicationWillTerminate() {
  if (!launched_) return;
  launched_ = false;
  if (defaultsWatcher_) defaultsWatcher_->stop();
  if (status_) status_->stopSampling();
  if (indexing_) indexing_->stopWatching();
  if (clipboardServices_) clipboardServices_->service().flushPendingSave();
  if (semantic_) semantic_->terminate();
  if (env_.singleInstance) env_.singleInstance->release();
  logger().info("Pallix.AppDelegate: applicationWillTerminate");
}

PermissionResetOutcome AppDelegate::resetAllPrivacyPermissions() {
  const std::string bundleIdentifier = kBundleIdentifier;
  if (bundleIdentifier.empty()) {
    TelemetryService::signal("AppDelegate.resetPrivacyPermissions.missingBundleID");
    return {false, "Unable to determine the app bundle identifier."};
  }
  struct Service {
    const char* systemName;
    const char* shownName;
  };
  static const Service kServices[] = {{"AddressBook", "Contacts"}, {"Calendar", "Calendars"}, {"Location", "Location"}};
  if (!env_.commandRunner || !env_.commandRunner->findExecutable(kPrivacyTool)) {
    // This system has no privacy-permission tool: say so plainly.
    const std::string message = "macOS could not locate tccutil. Update macOS to reset permissions manually.";
    TelemetryService::signal("AppDelegate.resetPrivacyPermissions.failed",
                             {{"reason", message}, {"additionalFailures", "0"}});
    return {false, message};
  }
  std::vector<std::string> failedNames;
  std::vector<std::string> reasons;
  for (const Service& service : kServices) {
    auto output = env_.commandRunner->run({kPrivacyTool, "reset", service.systemName, bundleIdentifier}, seconds(30));
    if (!output.ok()) {
      failedNames.push_back(service.shownName);
      reasons.push_back(output.error().description());
    } else if (output->exitStatus != 0) {
      failedNames.push_back(service.shownName);
      std::string captured = std::string(trimWhitespace(output->standardOutput + output->standardError));
      reasons.push_back("tccutil exited with code " + std::to_string(output->exitStatus) +
                        (captured.empty() ? "" : ": " + captured));
    }
  }
  if (failedNames.empty()) {
    TelemetryService::signal("AppDelegate.resetPrivacyPermissions.success");
    return {true, "macOS privacy permissions reset. Reopen Pallix to request access again."};
  }
  TelemetryService::signal(
      "AppDelegate.resetPrivacyPermissions.failed",
      {{"reason", reasons.front()}, {"additionalFailures", std::to_string(failedNames.size() - 1)}});
  logger().error("Pallix.AppDelegate: privacy reset failed: %s", reasons.front().c_str());
  return {false, privacyResetFailureMessage(failedNames)};
}

std::string AppDelegate::privacyResetFailureMessage(const std::vector<std::string>& shownNames) {
  return "Failed to reset " + joinServiceNames(shownNames) + " permissions. Reopen Pallix to request access again.";
}

}  // namespace pallix
