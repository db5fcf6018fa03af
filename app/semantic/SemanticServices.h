// SemanticServices: the composition of semantic file search (and the message
// store), shared by `pallix semantic`, the daemon and the application
// delegate: the two embedding stores, the file chunk indexer, the semantic
// bridge, the completion tracker and the progress mirror.
//
// Each store and the indexer run on their own SerialExecutor (made here
// unless the options pass runners, as tests do); the graph loads share one
// background executor; the lease comes from EmbeddingCoordinator::shared()
// unless another coordinator is given. Settings come from the user defaults:
// "FilesPreferences.computeUnits", "FilesPreferences.indexingIntensity",
// "MessagesPreferences.computeUnits" and the semantic folders (below).
//
// Construction does no I/O; initialize() loads both stores metadata-only.
// shutdown() (also run by the destructor) stops the indexer and the
// executors. Owned by one thread (the main thread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/semantic/EmbeddingCoordinator.h"
#include "app/semantic/FileChunkIndexer.h"
#include "app/semantic/FileEmbeddingStore.h"
#include "app/semantic/FileIndexingProgress.h"
#include "app/semantic/IndexingCompletionTracker.h"
#include "app/semantic/IndexingConditions.h"
#include "app/semantic/MessageEmbeddingStore.h"
#include "app/semantic/SemanticBridge.h"
#include "core/RunLoop.h"
#include "core/UserDefaults.h"

namespace pallix {

struct SemanticServicesOptions {
  DataDirectories dirs;
  UserDefaults* defaults = nullptr;                     // required; must outlive the services
  NotificationCenter* notifications = nullptr;          // null: the default center
  std::shared_ptr<EmbeddingModelFactory> modelFactory;  // null: the selected model as installed
  std::shared_ptr<EmbeddingCoordinator> coordinator;    // null: EmbeddingCoordinator::shared()
  const IndexingConditions* conditions = nullptr;       // null: resident memory only, thermal nominal
  std::string storeDirectory;                           // empty: dirs.data
  std::string temporaryDirectory;                       // empty: the system's
  FileChunkIndexer::Tuning tuning;
  // Read-only commands: the stores report a damaged or stale index and
  // leave every file as it is (EmbeddingStore::Dependencies::repairsFiles).
  bool readOnly = false;
  // Runners; null ones are made as SerialExecutors owned by the services.
  TaskRunnerPtr fileStoreRunner, messageStoreRunner, backgroundRunner, indexerRunner;
};

// Holds the exclusive right to write a store directory's semantic indexes
// (an flock on "SemanticIndex.lock" there) until destroyed.
class SemanticWriterLock {
 public:
  // Fails, naming the holder's lock file, when another process holds it.
  static Result<std::unique_ptr<SemanticWriterLock>> acquire(const std::string& storeDirectory);
  ~SemanticWriterLock();
  SemanticWriterLock(const SemanticWriterLock&) = delete;
  SemanticWriterLock& operator=(const SemanticWriterLock&) = delete;

 private:
  explicit SemanticWriterLock(int fd) : fd_(fd) {}
  int fd_;
};

class SemanticServices {
 public:
  static std::unique_ptr<SemanticServices> create(SemanticServicesOptions options);
  ~SemanticServices();
  SemanticServices(const SemanticServices&) = delete;
  SemanticServices& operator=(const SemanticServices&) = delete;

  // "FilesPreferences.indexedFolders" when set and not empty, else the
  // catalog's file folders (IndexingService.fileDirectories or its defaults).
  static std::vector<std::string> semanticFolders(const UserDefaults& defaults, const DataDirectories& dirs);

  // Both stores' metadata-only loads; `done` gets the file store's status.
  void initialize(Completion<Status> done);
  void shutdown();

  const std::shared_ptr<FileEmbeddingStore>& fileStore() const { return fileStore_; }
  const std::shared_ptr<MessageEmbeddingStore>& messageStore() const { return messageStore_; }
  const std::shared_ptr<FileChunkIndexer>& fileIndexer() const { return fileIndexer_; }
  SemanticBridge& bridge() { return *bridge_; }
  IndexingCompletionTracker& fileCompletionTracker() { return *fileTracker_; }
  FileIndexingProgress& fileIndexingProgress() { return progress_; }
  EmbeddingModelFactory& modelFactory() { return *options_.modelFactory; }
  const std::string& storeDirectory() const { return options_.storeDirectory; }

 private:
  explicit SemanticServices(SemanticServicesOptions options);

  SemanticServicesOptions options_;
  std::vector<std::shared_ptr<SerialExecutor>> ownedExecutors_;
  std::unique_ptr<SystemIndexingConditions> defaultConditions_;
  FileExclusionFilter filter_;
  std::unique_ptr<IndexingCompletionTracker> fileTracker_;
  std::shared_ptr<FileEmbeddingStore> fileStore_;
  std::shared_ptr<MessageEmbeddingStore> messageStore_;
  std::shared_ptr<FileChunkIndexer> fileIndexer_;
  std::unique_ptr<SemanticBridge> bridge_;
  FileIndexingProgress progress_;
  bool shutDown_ = false;
};

}  // namespace pallix
