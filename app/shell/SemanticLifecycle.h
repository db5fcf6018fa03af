// SemanticLifecycle: the application delegate's part of semantic file
// search. It sets up the file embedding store and indexer when the feature
// is on and folders are set (and tears them down when it is turned off),
// registers their panel-lifecycle handler (unload on delayed hide unless
// indexing, unload and trim under memory pressure), follows the work modes
// (indexers pause outside idle; deep idle unloads the index), runs the
// hourly catch-up, resets the index when the embedding model changes, and
// saves it at termination.
//
// Threading: the main runner; the services it owns run on their own
// executors and answer on the main runner. Owned by AppDelegate.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/semantic/SemanticServices.h"
#include "app/shell/FilesPreferences.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "core/NotificationCenter.h"
#include "core/TaskRunner.h"
#include "core/UserDefaults.h"

namespace pallix {

class SemanticLifecycle {
 public:
  static constexpr Duration kSemanticCatchUpInterval = std::chrono::seconds(3600);

  struct Dependencies {
    DataDirectories dirs;
    TaskRunnerPtr mainRunner;
    UserDefaults* defaults = nullptr;
    FilesPreferences* files = nullptr;
    PanelLifecycleCoordinator* lifecycle = nullptr;       // null: no handlers
    std::shared_ptr<EmbeddingModelFactory> modelFactory;  // null: the installed model
    // Builds the services (tests give runners and fakes); null: SemanticServices::create.
    std::function<std::unique_ptr<SemanticServices>(SemanticServicesOptions)> makeServices;
    // How long termination waits for the store's save on its executor
    // (tests that pump the runners themselves pass zero).
    Duration terminationSaveWait = std::chrono::seconds(15);
  };

  explicit SemanticLifecycle(Dependencies deps);
  ~SemanticLifecycle();
  SemanticLifecycle(const SemanticLifecycle&) = delete;
  SemanticLifecycle& operator=(const SemanticLifecycle&) = delete;

  // Observes the files preferences and the model; sets up file embedding
  // and the hourly catch-up.
  void start();
  // Creates or removes the file embedding per the preferences.
  void setupFileEmbedding();
  void applyWorkMode(WorkMode mode);
  // One catch-up pass over the semantic folders, then a save; one at a time.
  void runScheduledSemanticCatchUpIfNeeded(const std::string& reason);
  // Saves the store and stops the indexer.
  void terminate();

  // Null while file embedding is off or unavailable.
  SemanticServices* services() { return services_.get(); }
  bool isCatchUpRunning() const { return catchUpRunning_; }

 private:
  void teardownFileEmbedding();
  void configureSemanticCatchUpScheduler();
  void scheduleNextCatchUp();
  void handleModelChange();
  std::vector<std::string> folders() const;

  Dependencies deps_;
  std::unique_ptr<SemanticWriterLock> writerLock_;
  std::unique_ptr<SemanticServices> services_;
  std::optional<UUID> lifecycleHandlerID_;
  std::optional<UUID> workModeHandlerID_;
  std::vector<std::string> activeFolders_;
  TaskHandle catchUpTimer_;
  bool catchUpRunning_ = false;
  bool started_ = false;
  std::vector<ScopedObservation> observations_;
  WeakGuard weak_;
};

}  // namespace pallix
