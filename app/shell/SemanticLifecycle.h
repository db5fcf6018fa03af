// SemanticLifecycle: the application delegate's part of search by meaning,
// for files and for messages. Each side is set up when its preference is on
// (files: folders set; messages: the database readable) and a model is
// installed, and torn down when it is turned off. It registers their
// panel-lifecycle handlers (unload on delayed hide unless an indexer is
// working, unload and trim under memory pressure), follows the work modes
// (indexers pause outside idle; deep idle unloads the indexes), watches for
// the Messages database becoming readable, runs the hourly catch-up, resets
// the indexes when the embedding model changes, and saves them at
// termination. Both sides share one SemanticServices (both stores), held
// with the semantic writer lock while either side uses it; while a command
// holds the lock, setting up is tried again every 30 s. A command that finds
// the lock held by the agent asks it for a full file pass (requestFilePass)
// or a message catch-up (requestMessagePass), which runs once the pass in
// progress on that side has ended.
//
// Threading: the main runner; the services it owns run on their own
// executors and answer on the main runner. Owned by AppDelegate.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/messages/MessageChunkIndexer.h"
#include "app/messages/MessagesComponents.h"
#include "app/platform/DataDirectories.h"
#include "app/preferences/FilesPreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/semantic/SemanticServices.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "app/shell/RequestedPasses.h"
#include "core/NotificationCenter.h"
#include "core/TaskRunner.h"
#include "core/UserDefaults.h"

namespace pallix {

class SemanticLifecycle {
 public:
  static constexpr Duration kSemanticCatchUpInterval = std::chrono::seconds(3600);
  // While `pallix semantic index` or `pallix messages index` holds the
  // semantic writer lock, setting up is tried again this often.
  static constexpr Duration kWriterLockRetryInterval = std::chrono::seconds(30);
  // How often a requested pass checks whether the pass in progress ended.
  static constexpr Duration kRequestedPassCheckInterval = std::chrono::seconds(1);

  // A full file pass, or a message catch-up, that a command asked the agent for.
  using RequestedFilePass = RequestedPass<FileChunkIndexer::PassSummary>;
  using RequestedMessagePass = RequestedPass<MessageChunkIndexer::PassSummary>;

  struct Dependencies {
    DataDirectories dirs;
    TaskRunnerPtr mainRunner;
    UserDefaults* defaults = nullptr;
    FilesPreferences* files = nullptr;
    MessagesPreferences* messages = nullptr;              // null: no message side
    PanelLifecycleCoordinator* lifecycle = nullptr;       // null: no handlers
    std::shared_ptr<EmbeddingModelFactory> modelFactory;  // null: the installed model
    // Builds the services (tests give runners and fakes); null: SemanticServices::create.
    std::function<std::unique_ptr<SemanticServices>(SemanticServicesOptions)> makeServices;
    TaskRunnerPtr messageIndexerRunner;  // null: a SerialExecutor of its own
    // How long termination waits for the stores' saves on their executors
    // (tests that pump the runners themselves pass zero).
    Duration terminationSaveWait = std::chrono::seconds(15);
  };

  explicit SemanticLifecycle(Dependencies deps);
  ~SemanticLifecycle();
  SemanticLifecycle(const SemanticLifecycle&) = delete;
  SemanticLifecycle& operator=(const SemanticLifecycle&) = delete;

  // Observes the preferences and the model; sets up both sides and the
  // hourly catch-up.
  void start();
  // Create or remove each side per its preferences.
  void setupFileEmbedding();
  void setupMessageEmbedding();
  void applyWorkMode(WorkMode mode);
  // Tests whether the Messages database became readable (the panel showing
  // is this platform's "application became active"); when it did, sets the
  // message side up and runs one catch-up pass.
  void handleApplicationDidBecomeActive();
  // Catch-up passes of both indexers, each followed by a save; one at a time.
  void runScheduledSemanticCatchUpIfNeeded(const std::string& reason);
  // Saves the stores and stops the indexers.
  void terminate();

  // A full pass over the file side's folders, whatever the work mode, once
  // the pass in progress (if any) has ended, then a save. A request while
  // one waits or runs joins it. Fails when the file side is not running.
  Result<uint64_t> requestFilePass();
  // The requested pass `id`: the latest request, or one of the last few that
  // ended (a command still waiting for its outcome hears it even when a
  // later request has started another pass); nullopt otherwise.
  std::optional<RequestedFilePass> requestedFilePass(uint64_t id) const { return filePasses_.find(id); }
  // A catch-up pass of the message side, as `pallix messages index` runs
  // it, whatever the work mode, once the pass in progress has ended, then a
  // save; as requestFilePass otherwise.
  Result<uint64_t> requestMessagePass();
  std::optional<RequestedMessagePass> requestedMessagePass(uint64_t id) const { return messagePasses_.find(id); }
  // The message side's progress (processed and total messages).
  const MessageChunkIndexer::Progress& messageProgress() const { return messageProgress_; }

  // Null while neither side runs.
  SemanticServices* services() { return services_.get(); }
  bool isFileEmbeddingActive() const { return fileActive_; }
  bool isMessageEmbeddingActive() const { return messageIndexer_ != nullptr; }
  bool isCatchUpRunning() const { return catchUpRunning_; }

 private:
  SemanticServices* ensureServices(const char* side);
  void releaseServicesIfUnused();
  void teardownFileEmbedding();
  void teardownMessageEmbedding();
  bool messageIndexerIsIndexing() const;
  bool fullDiskAccessGranted() const;
  void runMessageCatchUp(std::function<void()> then);
  void runFileCatchUp(std::function<void()> then);
  void configureSemanticCatchUpScheduler();
  void scheduleNextCatchUp();
  void handleModelChange();
  std::vector<std::string> folders() const;
  void scheduleWriterLockRetry();
  void startRequestedFilePassWhenFree();
  void startRequestedMessagePassWhenFree();

  Dependencies deps_;
  std::unique_ptr<SemanticWriterLock> writerLock_;
  std::unique_ptr<SemanticServices> services_;
  // File side.
  bool fileActive_ = false;
  std::vector<std::string> activeFolders_;
  std::optional<UUID> fileHandlerID_;
  // Message side.
  std::optional<MessagesComponents> messageComponents_;
  std::shared_ptr<SerialExecutor> ownMessageExecutor_;
  std::shared_ptr<MessageChunkIndexer> messageIndexer_;
  MessageChunkIndexer::Progress messageProgress_;
  std::optional<UUID> messageHandlerID_;
  bool lastKnownFullDiskAccessGranted_ = false;

  std::optional<UUID> workModeHandlerID_;
  std::optional<UUID> activationHandlerID_;
  TaskHandle catchUpTimer_;
  TaskHandle writerLockRetry_;
  RequestedPasses<FileChunkIndexer::PassSummary> filePasses_;
  RequestedPasses<MessageChunkIndexer::PassSummary> messagePasses_;
  // The last pass the message indexer reported, and how many it has reported.
  std::optional<MessageChunkIndexer::PassSummary> lastMessagePass_;
  uint64_t messagePassesSeen_ = 0;
  bool catchUpRunning_ = false;
  bool started_ = false;
  std::vector<ScopedObservation> observations_;
  WeakGuard weak_;
};

}  // namespace pallix
