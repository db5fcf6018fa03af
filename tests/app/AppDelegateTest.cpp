#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/platform/SystemConditions.h"
#include "app/search/CatalogStore.h"
#include "app/shell/AgentRequests.h"
#include "app/shell/AppDelegate.h"
#include "core/Telemetry.h"
#include "testing/FakeFileChangeMonitor.h"
#include "testing/FakePasteboard.h"
#include "testing/FakeSystemConditions.h"
#include "testing/RecordingCommandRunner.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

class FakeSingleInstance : public SingleInstance {
 public:
  Result<int> acquire(TerminateHandler onTerminate) override {
    handler = std::move(onTerminate);
    return 1;  // one other instance ended
  }
  void release() override { ++released; }
  void setRequestHandler(RequestHandler h) override { requestHandler = std::move(h); }
  TerminateHandler handler;
  RequestHandler requestHandler;
  int released = 0;
};

// Installed or not, as told; loading always fails (no weights are needed here).
class StubModelFactory final : public EmbeddingModelFactory {
 public:
  explicit StubModelFactory(bool installed) : installed_(installed) {}
  bool isInstalled() const override { return installed_; }
  std::string unavailableMessage() const override { return "no model"; }
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits) override {
    return Error::make("no weights in tests");
  }

 private:
  bool installed_;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  AppDelegateTest() : home_(tmp_.path()), lifecycle_(env_.mainRunner(), conditions_) {
    fs::create_directories(home_ / "Documents" / "notes");
    std::ofstream(home_ / "Documents" / "budget.xlsx") << "x";
    std::ofstream(home_ / "Documents" / "notes" / "todo.md") << "y";
    std::ofstream(home_ / "Documents" / ".hidden") << "z";
  }
  ~AppDelegateTest() override {
    delegate_.reset();
    env_.runUntilIdle();
  }

  AppEnvironment environment(bool withPasteboard = false) {
    AppEnvironment e;
    if (withPasteboard) e.pasteboard = std::make_shared<FakePasteboard>();
    e.dirs = DataDirectories::forHome(home_.string());
    e.dirs.systemDataDirs.clear();
    e.mainRunner = env_.mainRunner();
    e.backgroundRunner = env_.makeRunner("background");
    e.directoryChangeRunner = env_.makeRunner("directory-change");
    e.clock = &env_.clock();
    e.lifecycle = &lifecycle_;
    e.singleInstance = &instance_;
    e.commandRunner = &runner_;
    e.requestTermination = [this] { ++terminationRequests_; };
    e.defaultsMonitor = &defaultsMonitor_;
    e.installTelemetrySink = false;
    e.baseAppDirectories = {(home_ / "Applications").string()};
    return e;
  }

  // Semantic services on this test's runners, with a model that is installed or not.
  AppEnvironment semanticEnvironment(bool modelInstalled) {
    AppEnvironment e = environment();
    e.embeddingModelFactory = std::make_shared<StubModelFactory>(modelInstalled);
    e.makeSemanticServices = [this](SemanticServicesOptions options) {
      for (TaskRunnerPtr* runner :
           {&options.fileStoreRunner, &options.messageStoreRunner, &options.backgroundRunner, &options.indexerRunner}) {
        *runner = env_.makeRunner("semantic");
      }
      return SemanticServices::create(std::move(options));
    };
    return e;
  }

  AppDelegate& launch() { return launch(environment()); }
  AppDelegate& launch(AppEnvironment e) {
    delegate_ = std::make_unique<AppDelegate>(std::move(e));
    Status status = delegate_->applicationDidFinishLaunching();
    EXPECT_TRUE(status.ok()) << (status.ok() ? "" : status.error().description());
    return *delegate_;
  }

  int64_t catalogCount() {
    CatalogStore catalog(*delegate_->store());
    return catalog.count().valueOr(-1);
  }

  ScopedTelemetryRecorder recorder_;
  VirtualTimeEnvironment env_;
  FakeSystemConditions conditions_;
  testing::TempDir tmp_;
  fs::path home_;
  PanelLifecycleCoordinator lifecycle_;
  FakeSingleInstance instance_;
  FakeFileChangeMonitor defaultsMonitor_;
  RecordingCommandRunner runner_;
  int terminationRequests_ = 0;
  std::unique_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, LaunchEndsOthersCatalogsAnswersIndexRequestsReachesDeepIdleAndEndsForANewerInstance) {
  launch();
  auto ended = recorder_.sink().named("AppDelegate.terminatedOtherInstances");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].parameters.at("count"), "1");
  EXPECT_EQ(recorder_.sink().count("AppDelegate.didFinishLaunching"), 1u);

  // The deferred work starts the initial scan in idle: budget.xlsx, notes
  // and notes/todo.md, never the hidden file.
  env_.runUntilIdle();
  EXPECT_EQ(catalogCount(), 3);
  CatalogStore catalog(*delegate_->store());
  EXPECT_FALSE(catalog.fetchByPath((home_ / "Documents" / ".hidden").string()).value().has_value());
  // Index requests from other commands are answered with the scan summary.
  ASSERT_TRUE(instance_.requestHandler);
  std::vector<std::string> replies;
  for (const char* request : {kAgentIndexRequest, "frobnicate"}) {
    instance_.requestHandler(request, [&replies](const std::string& line) { replies.push_back(line); });
  }
  env_.runUntilIdle();
  ASSERT_EQ(replies.size(), 2u);
  std::sort(replies.begin(), replies.end());  // {"apps":...} before {"refused":...}
  auto summary = decodeScanSummary(replies[0]);
  ASSERT_TRUE(summary.ok()) << summary.error().description();
  EXPECT_EQ(summary.value().fileCount + summary.value().folderCount, 3u);
  EXPECT_TRUE(testing::failsWith(decodeScanSummary(replies[1]), "unknown request"));

  env_.advanceBy(std::chrono::seconds(120));
  EXPECT_EQ(lifecycle_.workMode(), WorkMode::deepIdle);
  auto applied = recorder_.sink().named("AppDelegate.workModePolicyApplied");
  ASSERT_FALSE(applied.empty());
  EXPECT_EQ(applied.back().parameters.at("mode"), "deepIdle");
  EXPECT_EQ(delegate_->indexingService()->workMode(), WorkMode::deepIdle);

  // The agent is the catalog's writer for as long as it runs.
  StoreWriterLock other(StoreWriterLock::lockPathFor(DataDirectories::forHome(home_.string())));
  EXPECT_EQ(other.tryAcquire(StoreWriterLock::kIndexRole).value(), false);
  EXPECT_EQ(other.holder()->role, StoreWriterLock::kAgentRole);

  // A newer instance ends this one through the main runner.
  ASSERT_TRUE(instance_.handler);
  instance_.handler();
  EXPECT_EQ(terminationRequests_, 0);
  env_.runUntilIdle();
  EXPECT_EQ(terminationRequests_, 1);
  delegate_->applicationWillTerminate();
  EXPECT_EQ(instance_.released, 1);
}

// A damaged store is removed once and the agent starts on a fresh one; its
// first scan, requested while the panel is visible, waits for idle.
TEST_F(AppDelegateTest, CorruptStoreIsDeletedOnceAndTheFirstScanWaitsForThePanelToHide) {
  fs::create_directories(home_ / ".local/share/Pallix");
  std::string store = DataDirectories::forHome(home_.string()).storePath();
  std::ofstream(store) << std::string(4096, '\x5a');
  std::ofstream(store + "-wal") << "junk";
  lifecycle_.panelWillShow();
  env_.runUntilIdle();
  launch();
  std::vector<std::string> recovery;
  for (const auto& name : recorder_.sink().names()) {
    if (name.rfind("AppDelegate.setupModelContainer.", 0) == 0) recovery.push_back(name);
  }
  EXPECT_EQ(recovery, (std::vector<std::string>{"AppDelegate.setupModelContainer.initializationFailed",
                                                "AppDelegate.setupModelContainer.removedStore",
                                                "AppDelegate.setupModelContainer.recovered"}));
  env_.runUntilIdle();
  EXPECT_EQ(catalogCount(), 0);
  EXPECT_TRUE(delegate_->indexingService()->hasDeferredFullScan());
  lifecycle_.panelDidHide();
  env_.runUntilIdle();
  EXPECT_EQ(catalogCount(), 3);
}

// Another process (here a second store over the same file) writes settings;
// the running agent applies them as if they had been set in-process, and
// indexed folders reach the catalog however they change.
TEST_F(AppDelegateTest, SettingsWrittenByAnotherProcessApplyWithoutARestart) {
  launch();
  env_.runUntilIdle();
  ASSERT_TRUE(defaultsMonitor_.running());
  EXPECT_EQ(defaultsMonitor_.path(), DataDirectories::forHome(home_.string()).defaultsPath());
  std::map<std::string, int> posted, oncePerObject;
  std::vector<ScopedObservation> observations;
  for (const char* name :
       {FilesPreferences::kDidChangeNotification, MessagesPreferences::kDidChangeNotification,
        IntelligencePreferences::kDidChangeNotification, IntelligencePreferences::kEmbeddingModelDidChangeNotification,
        ClipboardPreferences::kDidChangeNotification}) {
    observations.emplace_back(NotificationCenter::defaultCenter(), name,
                              [&posted](const Notification& n) { ++posted[n.name]; });
    oncePerObject[name] = 1;
  }
  fs::create_directories(home_ / "Projects");
  std::ofstream(home_ / "Projects" / "plan.md") << "p";
  UserDefaults otherProcess(DataDirectories::forHome(home_.string()).defaultsPath());
  ASSERT_TRUE(IndexingService::editFileDirectories(otherProcess, DataDirectories::forHome(home_.string()),
                                                   (home_ / "Projects").string(), true)
                  .ok());
  ASSERT_TRUE(otherProcess.set(FilesPreferences::kSemanticSearchEnabledKey, true).ok());
  ASSERT_TRUE(otherProcess.set(MessagesPreferences::kSearchEnabledKey, false).ok());
  ASSERT_TRUE(otherProcess.set(IntelligencePreferences::kSelectedModelKey, "bge-m3").ok());
  ASSERT_TRUE(otherProcess.set(ClipboardPreferences::kHistoryEnabledKey, true).ok());

  // One announcement per burst of file events, after the reload delay.
  defaultsMonitor_.fileChanged();
  defaultsMonitor_.fileChanged();
  env_.advanceBy(AppDelegate::kDefaultsReloadDelay - std::chrono::milliseconds(1));
  EXPECT_FALSE(delegate_->filesPreferences().semanticSearchEnabled());
  env_.advanceBy(std::chrono::milliseconds(1));
  EXPECT_TRUE(delegate_->filesPreferences().semanticSearchEnabled());
  EXPECT_FALSE(delegate_->messagesPreferences().searchEnabled());
  EXPECT_EQ(delegate_->intelligencePreferences().selectedModel(), EmbeddingModel::bgeM3);
  EXPECT_TRUE(delegate_->clipboardPreferences().historyEnabled());
  EXPECT_EQ(posted, oncePerObject);

  // The new folder is catalogued without a restart, and the agent's own
  // writes (the scan time) keep the other process's keys.
  env_.advanceBy(IndexingService::kDirectoryChangeDebounceInterval);
  env_.runUntilIdle();
  CatalogStore catalog(*delegate_->store());
  EXPECT_TRUE(catalog.fetchByPath((home_ / "Projects" / "plan.md").string()).value().has_value());
  ASSERT_TRUE(otherProcess.reload().ok());
  EXPECT_TRUE(otherProcess.dateValue(IndexingService::kLastFullScanTimeKey).has_value());
  EXPECT_EQ(otherProcess.boolValue(FilesPreferences::kSemanticSearchEnabledKey), true);
  auto folders = otherProcess.stringArrayValue(IndexingService::kFileDirectoriesKey).value();
  EXPECT_NE(std::find(folders.begin(), folders.end(), (home_ / "Projects").string()), folders.end());

  // A change event for nothing new announces nothing.
  posted.clear();
  defaultsMonitor_.fileChanged();
  env_.advanceBy(AppDelegate::kDefaultsReloadDelay);
  EXPECT_TRUE(posted.empty());
  // Folders added in-process reach the catalog too.
  fs::create_directories(home_ / "Research");
  ASSERT_TRUE(delegate_->filesPreferences().addIndexedFolder((home_ / "Research").string()).ok());
  auto dirs = delegate_->indexingService()->userFileDirectories();
  EXPECT_NE(std::find(dirs.begin(), dirs.end(), (home_ / "Research").string()), dirs.end());
  delegate_->applicationWillTerminate();
  EXPECT_FALSE(defaultsMonitor_.running());
}

// `pallix folders add` asks the agent after editing the settings: the agent
// applies the edit at once, without waiting for the file event, and answers
// with the folders it keeps current; the event that follows changes nothing.
TEST_F(AppDelegateTest, AFoldersRequestAppliesTheEditAtOnceAndNamesTheFolders) {
  launch();
  env_.runUntilIdle();
  fs::create_directories(home_ / "Projects");
  std::ofstream(home_ / "Projects" / "plan.md") << "p";
  const DataDirectories dirs = DataDirectories::forHome(home_.string());
  UserDefaults otherProcess(dirs.defaultsPath());
  ASSERT_TRUE(IndexingService::editFileDirectories(otherProcess, dirs, (home_ / "Projects").string(), true).ok());

  std::vector<std::string> replies;
  instance_.requestHandler(kAgentFoldersRequest, [&replies](const std::string& line) { replies.push_back(line); });
  env_.runUntilIdle();
  ASSERT_EQ(replies.size(), 1u);
  auto folders = decodeWatchedFolders(replies[0]);
  ASSERT_TRUE(folders.ok()) << folders.error().description();
  EXPECT_NE(std::find(folders.value().begin(), folders.value().end(), (home_ / "Projects").string()),
            folders.value().end());
  const UUID version = delegate_->indexingService()->directoryVersion();
  defaultsMonitor_.fileChanged();
  env_.advanceBy(AppDelegate::kDefaultsReloadDelay + IndexingService::kDirectoryChangeDebounceInterval);
  env_.runUntilIdle();
  EXPECT_EQ(delegate_->indexingService()->directoryVersion(), version);
  CatalogStore catalog(*delegate_->store());
  EXPECT_TRUE(catalog.fetchByPath((home_ / "Projects" / "plan.md").string()).value().has_value());
  EXPECT_TRUE(testing::failsWith(decodeWatchedFolders(encodeRequestRefusal("busy")), "refused: busy"));
}

TEST_F(AppDelegateTest, PrivacyResetReportsMissingToolAndFailedServices) {
  AppDelegate& app = launch();
  auto missing = app.resetAllPrivacyPermissions();
  EXPECT_FALSE(missing.success);
  EXPECT_EQ(missing.message, "macOS could not locate tccutil. Update macOS to reset permissions manually.");

  runner_.addExecutable(AppDelegate::kPrivacyTool);
  EXPECT_TRUE(app.resetAllPrivacyPermissions().success);
  EXPECT_EQ(runner_.argvs().back(),
            (std::vector<std::string>{"/usr/bin/tccutil", "reset", "Location", AppDelegate::kBundleIdentifier}));

  // The fake answers per program, so one failure fails all three services;
  // the message joins the names as a sentence.
  runner_.setRunResult(AppDelegate::kPrivacyTool, CommandOutput{1, "", "denied"});
  auto failed = app.resetAllPrivacyPermissions();
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(failed.message,
            "Failed to reset Contacts, Calendars, and Location permissions. Reopen Pallix to request access again.");
  auto signal = recorder_.sink().named("AppDelegate.resetPrivacyPermissions.failed");
  ASSERT_EQ(signal.size(), 2u);
  EXPECT_EQ(signal.back().parameters.at("reason"), "tccutil exited with code 1: denied");
  EXPECT_EQ(signal.back().parameters.at("additionalFailures"), "2");

  EXPECT_EQ(AppDelegate::privacyResetFailureMessage({"Calendars"}),
            "Failed to reset Calendars permissions. Reopen Pallix to request access again.");
  EXPECT_EQ(AppDelegate::privacyResetFailureMessage({"Contacts", "Location"}),
            "Failed to reset Contacts and Location permissions. Reopen Pallix to request access again.");
}

TEST_F(AppDelegateTest, ClipboardHistoryFollowsThePanelAndOneProcessRecordsIt) {
  {
    auto elsewhere = ClipboardRecorderLock::acquire(environment().dirs);  // a `pallix clipboard watch`
    ASSERT_TRUE(elsewhere.ok());
    launch(environment(/*withPasteboard=*/true));
    EXPECT_EQ(delegate_->clipboardServices(), nullptr) << "left to the process that records it";
    EXPECT_NE(delegate_->indexingService(), nullptr);
    delegate_->applicationWillTerminate();
    delegate_.reset();
    env_.runUntilIdle();
  }
  launch(environment(/*withPasteboard=*/true));
  ClipboardServices* clipboard = delegate_->clipboardServices();
  ASSERT_NE(clipboard, nullptr);
  lifecycle_.panelWillShow();
  env_.runUntilIdle();
  EXPECT_TRUE(clipboard->service().isPanelVisible());
  EXPECT_EQ(clipboard->service().currentPollingCadence(), ClipboardService::PollingCadence::active);
  lifecycle_.panelDidHide();
  env_.advanceBy(PanelLifecycleCoordinator::kDeepIdleDelay + std::chrono::seconds(1));
  EXPECT_FALSE(clipboard->service().isPanelVisible());
  EXPECT_EQ(clipboard->service().currentPollingCadence(), ClipboardService::PollingCadence::deepIdle);
}

TEST_F(AppDelegateTest, SemanticFileSearchStartsWithThePreferenceAndAModelAndStopsWithoutThem) {
  for (bool installed : {false, true}) {
    SCOPED_TRACE(installed ? "model installed" : "no model");
    launch(semanticEnvironment(installed));
    env_.runUntilIdle();
    EXPECT_EQ(delegate_->semanticServices(), nullptr) << "off by default";

    ASSERT_TRUE(delegate_->filesPreferences().setIndexedFolders({(home_ / "Documents").string()}).ok());
    ASSERT_TRUE(delegate_->filesPreferences().setSemanticSearchEnabled(true).ok());
    env_.runUntilIdle();
    EXPECT_EQ(delegate_->semanticServices() != nullptr, installed);

    // The hourly catch-up runs once the hour has passed, with or without an index.
    recorder_.sink().clear();
    env_.advanceBy(SemanticLifecycle::kSemanticCatchUpInterval);
    auto started = recorder_.sink().named("AppDelegate.semanticCatchUpStarted");
    ASSERT_FALSE(started.empty());
    EXPECT_EQ(started[0].parameters.at("reason"), "hourly");

    ASSERT_TRUE(delegate_->filesPreferences().setSemanticSearchEnabled(false).ok());
    env_.runUntilIdle();
    EXPECT_EQ(delegate_->semanticServices(), nullptr);
    delegate_->applicationWillTerminate();
    delegate_.reset();
    env_.runUntilIdle();
  }
}

// A command holding the semantic index when the agent starts delays the
// agent's indexing until it is done, not for the agent's life; once the agent
// holds the index, a command asks it for a pass instead.
TEST_F(AppDelegateTest, TheAgentTakesTheSemanticIndexUpWhenACommandReleasesItAndRunsPassesAskedFor) {
  auto ask = [this](const std::string& request) {
    std::vector<std::string> replies;
    instance_.requestHandler(request, [&replies](const std::string& line) { replies.push_back(line); });
    env_.runUntilIdle();
    return replies.size() == 1 ? replies[0] : std::string("no single reply");
  };
  auto command = SemanticWriterLock::acquire(DataDirectories::forHome(home_.string()).data);
  ASSERT_TRUE(command.ok()) << command.error().description();
  std::unique_ptr<SemanticWriterLock> held = std::move(command).value();
  launch(semanticEnvironment(true));
  env_.runUntilIdle();
  EXPECT_TRUE(testing::failsWith(decodeSemanticPassReport(ask(kAgentSemanticIndexRequest)), "by meaning"));
  ASSERT_TRUE(delegate_->filesPreferences().setIndexedFolders({(home_ / "Documents").string()}).ok());
  ASSERT_TRUE(delegate_->filesPreferences().setSemanticSearchEnabled(true).ok());
  env_.runUntilIdle();
  EXPECT_EQ(delegate_->semanticServices(), nullptr) << "the command holds the index";
  env_.advanceBy(SemanticLifecycle::kWriterLockRetryInterval);
  EXPECT_EQ(delegate_->semanticServices(), nullptr) << "still";

  held.reset();
  env_.advanceBy(SemanticLifecycle::kWriterLockRetryInterval);
  ASSERT_NE(delegate_->semanticServices(), nullptr);
  EXPECT_FALSE(SemanticWriterLock::acquire(DataDirectories::forHome(home_.string()).data).ok());

  auto requested = decodeSemanticPassReport(ask(kAgentSemanticIndexRequest));
  ASSERT_TRUE(requested.ok()) << requested.error().description();
  const uint64_t id = requested.value().pass.id;
  EXPECT_GT(id, 0u);
  // A second request while the first waits or runs joins it; one after it
  // ended starts another, and the first still reports its outcome.
  auto again = decodeSemanticPassReport(ask(kAgentSemanticIndexRequest));
  ASSERT_TRUE(again.ok());
  if (again.value().pass.id != id) {
    EXPECT_EQ(again.value().pass.id, id + 1);
    auto first = decodeSemanticPassReport(ask(kAgentSemanticPassRequestPrefix + std::to_string(id)));
    ASSERT_TRUE(first.ok()) << first.error().description();
    EXPECT_EQ(first.value().pass.state, SemanticLifecycle::RequestedFilePass::State::done);
  }
  auto asked = decodeSemanticPassReport(ask(kAgentSemanticPassRequestPrefix + std::to_string(id)));
  ASSERT_TRUE(asked.ok()) << asked.error().description();
  EXPECT_EQ(asked.value().pass.id, id);
  EXPECT_TRUE(testing::failsWith(decodeSemanticPassReport(ask(std::string(kAgentSemanticPassRequestPrefix) + "99")),
                                 "no pass 99"));
  // Turned off meanwhile, a pass not yet over ends and says why: nobody
  // waits forever.
  const std::string latest = kAgentSemanticPassRequestPrefix + std::to_string(again.value().pass.id);
  auto before = decodeSemanticPassReport(ask(latest));
  ASSERT_TRUE(before.ok()) << before.error().description();
  ASSERT_TRUE(delegate_->filesPreferences().setSemanticSearchEnabled(false).ok());
  env_.runUntilIdle();
  auto ended = decodeSemanticPassReport(ask(latest));
  ASSERT_TRUE(ended.ok()) << ended.error().description();
  EXPECT_EQ(ended.value().pass.state, SemanticLifecycle::RequestedFilePass::State::done);
  if (before.value().pass.state != SemanticLifecycle::RequestedFilePass::State::done) {
    EXPECT_EQ(ended.value().pass.summary.outcome, FileChunkIndexer::PassSummary::Outcome::failed);
    EXPECT_NE(ended.value().pass.summary.detail.find("turned off"), std::string::npos);
  }
}

TEST_F(AppDelegateTest, MessageIndexingStartsWhenTheMessagesDatabaseBecomesReadable) {
  launch(semanticEnvironment(true));
  ASSERT_TRUE(delegate_->messagesPreferences().setSemanticSearchEnabled(true).ok());
  env_.runUntilIdle();
  EXPECT_EQ(delegate_->semanticServices(), nullptr) << "no Messages database yet";

  // The database appears (a copy from a Mac); the next time the panel shows, indexing starts.
  fs::create_directories(home_ / "Library" / "Messages");
  std::ofstream(home_ / "Library" / "Messages" / "Chat.db") << "";
  lifecycle_.panelWillShow();
  env_.runUntilIdle();
  EXPECT_EQ(recorder_.sink().count("AppDelegate.fullDiskAccessBecameAvailable"), 1u);
  EXPECT_NE(delegate_->semanticServices(), nullptr);
  lifecycle_.panelDidHide();
  lifecycle_.panelWillShow();
  env_.runUntilIdle();
  EXPECT_EQ(recorder_.sink().count("AppDelegate.fullDiskAccessBecameAvailable"), 1u) << "announced once";

  ASSERT_TRUE(delegate_->messagesPreferences().setSemanticSearchEnabled(false).ok());
  env_.runUntilIdle();
  EXPECT_EQ(delegate_->semanticServices(), nullptr);
}

}  // namespace
}  // namespace pallix
