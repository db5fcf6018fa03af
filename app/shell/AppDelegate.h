// AppDelegate: start-up, wiring and termination of the Pallix agent.
//
// It creates the preference objects over the user defaults, opens the
// persistent store (with one automatic recovery) as the catalog's only
// writer, makes sure only one instance runs and answers other commands'
// requests (AgentRequests.h), creates the catalog's IndexingService, wires the
// services to the panel lifecycle coordinator (the application work-mode
// policy), starts the deferred background work (initial catalog scan,
// directory watching), applies settings that other processes write to the
// defaults file, records the clipboard history (when given a pasteboard),
// runs semantic file search (SemanticLifecycle), and shuts everything down.
// The panel window is the desktop agent's; the message indexer is not
// started here yet.
//
// Threading: every member runs on the main runner of `AppEnvironment`; the
// delegate owns every service it creates until it is destroyed (on the main
// runner, after applicationWillTerminate()).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/clipboard/ClipboardRecorderLock.h"
#include "app/clipboard/ClipboardServices.h"
#include "app/platform/CommandRunner.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/DirectoryWatcher.h"
#include "app/platform/FileChangeMonitor.h"
#include "app/platform/IconResolver.h"
#include "app/platform/PersistentStore.h"
#include "app/platform/SingleInstance.h"
#include "app/platform/StoreWriterLock.h"
#include "app/preferences/AppDisplayPreferences.h"
#include "app/preferences/ClipboardPreferences.h"
#include "app/preferences/DataSourcePreferences.h"
#include "app/preferences/FilesPreferences.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/preferences/TelemetryPreferences.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexingService.h"
#include "app/shell/DefaultsFileWatcher.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "app/shell/SemanticLifecycle.h"
#include "app/shell/StatusCollector.h"
#include "core/NotificationCenter.h"
#include "core/TaskRunner.h"
#include "core/UserDefaults.h"

namespace pallix {

// What the delegate is given by the executable (real services) or by tests (fakes).
struct AppEnvironment {
  DataDirectories dirs;
  TaskRunnerPtr mainRunner;
  TaskRunnerPtr backgroundRunner;
  TaskRunnerPtr directoryChangeRunner;
  const Clock* clock = nullptr;
  PanelLifecycleCoordinator* lifecycle = nullptr;
  DirectoryWatcherFactory* watcherFactory = nullptr;  // null: no watching
  IconResolver* iconResolver = nullptr;               // null: no icons
  SingleInstance* singleInstance = nullptr;           // null: no instance check
  CommandRunner* commandRunner = nullptr;             // for the privacy reset
  // Tells when another process wrote the defaults file; null: not watched.
  FileChangeMonitor* defaultsMonitor = nullptr;
  // Ends the process's main loop (a newer instance asked this one to end).
  std::function<void()> requestTermination;
  // Serves the agent requests the delegate does not know (the desktop
  // agent's "toggle"); returns false to have them refused. Main runner.
  std::function<bool(const std::string& request, const SingleInstance::Reply& reply)> extraRequestHandler;
  // Installs the JSON-lines telemetry sink when telemetry is enabled. Tests
  // record telemetry themselves and turn this off.
  bool installTelemetrySink = true;
  // Overrides the catalog's app directories (tests); empty keeps the defaults.
  std::vector<std::string> baseAppDirectories;
  // The desktop clipboard; null: no clipboard history in this process.
  std::shared_ptr<Pasteboard> pasteboard;
  std::shared_ptr<LinkMetadataProvider> linkMetadata;  // optional
  // Semantic file search: off for processes that must not index contents.
  bool semanticSearch = true;
  std::shared_ptr<EmbeddingModelFactory> embeddingModelFactory;  // null: the installed model
  std::function<std::unique_ptr<SemanticServices>(SemanticServicesOptions)> makeSemanticServices;  // tests
  // Samples the process's CPU time every minute for `pallix status` (the
  // resident agents); off, the status shows the time since start only.
  bool sampleProcessUsage = false;
};

struct PermissionResetOutcome {
  bool success = false;
  std::string message;
};

class AppDelegate {
 public:
  static constexpr const char* kBundleIdentifier = "org.pallix.Pallix";
  static constexpr const char* kHasCompletedOnboardingKey = "hasCompletedOnboardingV1";
  static constexpr const char* kPrivacyTool = "/usr/bin/tccutil";
  // Changes of the defaults file within this interval are applied together.
  static constexpr Duration kDefaultsReloadDelay = DefaultsFileWatcher::kReloadDelay;

  explicit AppDelegate(AppEnvironment env);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The launch sequence. Fails only when no persistent store can be opened
  // ("Failed to recover database: ...") or another instance cannot be ended.
  Status applicationDidFinishLaunching();
  void applicationWillTerminate();

  // Resets the system privacy permissions the application uses, through the
  // command runner. Blocking: call it off the main runner.
  PermissionResetOutcome resetAllPrivacyPermissions();
  // "Failed to reset Calendars permissions. ..." for the services' shown names.
  static std::string privacyResetFailureMessage(const std::vector<std::string>& shownNames);

  UserDefaults& defaults() { return defaults_; }
  FilesPreferences& filesPreferences() { return files_; }
  MessagesPreferences& messagesPreferences() { return messages_; }
  IntelligencePreferences& intelligencePreferences() { return intelligence_; }
  ClipboardPreferences& clipboardPreferences() { return clipboard_; }
  DataSourcePreferences& dataSourcePreferences() { return dataSources_; }
  AppDisplayPreferences& appDisplayPreferences() { return appDisplay_; }
  TelemetryPreferences& telemetryPreferences() { return telemetry_; }
  PersistentStore* store() { return store_.get(); }
  IndexingService* indexingService() { return indexing_.get(); }
  // Null when this process records no clipboard history.
  ClipboardServices* clipboardServices() { return clipboardServices_.get(); }
  // Null while semantic file search is off or unavailable.
  SemanticServices* semanticServices() { return semantic_ ? semantic_->services() : nullptr; }
  bool isMessageEmbeddingActive() const { return semantic_ && semantic_->isMessageEmbeddingActive(); }
  bool hasCompletedOnboarding() const;
  // What `pallix status` and the settings window's Status page show.
  StatusReport statusReport() const;

 private:
  Status setupModelContainer();
  // Hands every change another process makes to the defaults file to the
  // preference objects and the catalog, which announce it as an in-process change.
  void watchDefaultsFile();
  void handleAgentRequest(const std::string& request, const SingleInstance::Reply& reply);
  void terminateOtherRunningInstances();
  void setupPanelLifecycleHandlers();
  void applyWorkModePolicy(WorkMode mode);
  void syncFileDirectoriesToIndexingService();
  void startDeferredBackgroundWork();
  void setupClipboardService();

  AppEnvironment env_;
  UserDefaults defaults_;
  FilesPreferences files_;
  MessagesPreferences messages_;
  IntelligencePreferences intelligence_;
  ClipboardPreferences clipboard_;
  DataSourcePreferences dataSources_;
  AppDisplayPreferences appDisplay_;
  TelemetryPreferences telemetry_;
  FileExclusionFilter exclusionFilter_;
  StoreWriterLock writerLock_;
  std::unique_ptr<PersistentStore> store_;
  std::unique_ptr<IndexingService> indexing_;
  std::unique_ptr<ClipboardRecorderLock> clipboardLock_;
  std::unique_ptr<ClipboardServices> clipboardServices_;
  std::unique_ptr<SemanticLifecycle> semantic_;
  std::unique_ptr<DefaultsFileWatcher> defaultsWatcher_;
  std::unique_ptr<StatusCollector> status_;
  std::vector<ScopedObservation> observations_;
  std::vector<UUID> lifecycleHandlers_;
  bool launched_ = false;
  WeakGuard weak_;
};

}  // namespace pallix
