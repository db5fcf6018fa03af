// EmbeddingStore: the design the file and the message embedding stores share.
//
// A store owns one semantic index on disk and in memory. Start-up loads the
// item list alone ("metadata only", no model); the embedding model and the
// HNSW graph load when something is embedded or searched, and unload after
// 30 idle seconds, on a work-mode change or under memory pressure. Saves go
// through temporary directories and compress-and-move (EmbeddingStoreFiles),
// automatic rebuild requests are refused, and a rebuild or a model change
// posts the reset notification so the indexers start over.
//
// Files it cannot fully use (EmbeddingStoreOpening.cpp): a record that
// cannot be read is dropped, logged and signalled, and the rest kept; damage
// to a file's structure starts the index over, but only in a store that
// repairs its files (the writer), a read-only one reports it and names the
// command that repairs it; a file that cannot be read at all is kept and the
// store fails with the reason. The identity of the model that embedded the
// items is kept beside them (StoredModelIdentity): an index built by another
// model is started over by the writer, which tracks the rebuild against the
// old chunk count, and reported as stale by a reader, which refuses to load it.
//
// Threading: an actor. Every operation runs on the store's own runner, one
// at a time; results go to the caller's Completion. The graph loads on the
// background runner (a search meanwhile answers nothing instead of waiting)
// and hands its result back by session identifier. The model is used on the
// store's runner only; the embedding coordinator decides which indexer may
// feed the store. Stores are shared_ptr-owned; posted tasks hold weak
// references, so a store destroyed with work pending simply drops it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "SimilaritySearchKit/MMapStore.h"
#include "SimilaritySearchKit/SimilarityIndex.h"
#include "app/search/SemanticIndexStatus.h"
#include "app/semantic/EmbeddingModelFactory.h"
#include "app/semantic/EmbeddingStoreFiles.h"
#include "app/semantic/StoredModelIdentity.h"
#include "core/Completion.h"
#include "core/Logger.h"
#include "core/NotificationCenter.h"
#include "core/TaskRunner.h"
#include "core/Telemetry.h"
#include "core/UUID.h"
#include "core/UserDefaults.h"

namespace pallix {

enum class ReadinessState { ready, failed, unloaded, initializing };
const char* readinessStateName(ReadinessState state);

// Why a rebuild was asked for: by the user, or by automatic code (refused).
struct RebuildIntent {
  enum class Kind { user, system };
  Kind kind = Kind::system;
  std::string source;
  static RebuildIntent user(std::string source) { return {Kind::user, std::move(source)}; }
  static RebuildIntent system(std::string source) { return {Kind::system, std::move(source)}; }
  // "user" or "system".
  const char* rawValue() const { return kind == Kind::user ? "user" : "system"; }
};

// One chunk handed to a store.
struct ChunkInput {
  std::string id;
  std::string text;
  std::map<std::string, std::string> metadata;
};

// A point-in-time view of a store, for status displays and the bridge.
struct EmbeddingStoreSnapshot {
  ReadinessState readiness = ReadinessState::initializing;
  std::string failureMessage;
  bool hasBeenInitialized = false;
  bool modelLoaded = false;
  bool modelInstalled = false;
  bool isHNSWLoading = false;
  int64_t chunkCount = 0;
  std::vector<StoreFileInfo> files;
  SemanticIndexStatus status = SemanticIndexStatus::unavailable;
  // The files were built by another model; what differs. A store that
  // repairs its files rebuilds such an index at once, so only a read-only
  // store reports it.
  std::string builtWithAnotherModel;
  // While the index is rebuilt for a new model: how far, of the old chunk count.
  std::optional<int> modelRebuildPercent;
  std::optional<ModelRebuild> modelRebuild;
};

// The texts in which the two stores differ (log lines, signals, names).
struct EmbeddingStoreWording {
  const char* category;
  const char* indexName;
  const char* versionKey;
  const char* signalPrefix;       // "FileEmbedding": modelMigrationStarted, corruptIndexRecovered, ...
  const char* storeSignalPrefix;  // "FileEmbeddingStore": initFailed
  const char* resetNotification;
  const char* saveDirectoryPrefix;
  const char* graphSaveDirectoryPrefix;
  const char* initializing;
  const char* initFailed;
  const char* versionMissing;
  const char* loaded;
  const char* ready;
  const char* skipEmptyGraph;
  const char* graphMismatch;
  const char* graphReady;
  const char* skipUnchangedSave;
  const char* saved;
  const char* rebuildBlocked;
  const char* rebuildBlockedDescription;
  const char* rebuilding;
  const char* rebuilt;
  const char* resetting;
  const char* resetComplete;
  const char* skipUnloadSave;
  const char* unloaded;
  const char* reloading;
  const char* reloaded;
  const char* indexLabel;     // "file index"
  const char* repairCommand;  // the command that repairs a damaged index
  const char* statusName;     // the index as `pallix status` names it ("semantic files")
};

class EmbeddingStore : public std::enable_shared_from_this<EmbeddingStore> {
 public:
  static constexpr int64_t kCurrentModelVersion = 3;
  static constexpr Duration kIdleUnloadDelay = std::chrono::seconds(30);
  // Texts embedded per encoder call.
  static constexpr std::size_t kEmbeddingBatchSize = 8;

  struct Dependencies {
    TaskRunnerPtr runner;            // the store's own serial runner
    TaskRunnerPtr backgroundRunner;  // graph loads; null: `runner`
    std::string storeDirectory;      // the data directory
    std::string temporaryDirectory;  // root of temporary directories; empty: the system's
    UserDefaults* defaults = nullptr;
    NotificationCenter* notifications = nullptr;  // null: the default center
    std::shared_ptr<EmbeddingModelFactory> modelFactory;
    EmbeddingComputeUnits computeUnits = EmbeddingComputeUnits::cpuNe;
    // False in read-only commands: a damaged or stale index is reported and
    // left as it is, and nothing on disk is rewritten. True in the process
    // that holds the index's writer lock, which repairs what it finds.
    bool repairsFiles = true;
  };
  using ProgressCallback = std::function<void(const AddItemsProgress&)>;

  virtual ~EmbeddingStore() = default;
  EmbeddingStore(const EmbeddingStore&) = delete;
  EmbeddingStore& operator=(const EmbeddingStore&) = delete;

  const TaskRunnerPtr& runner() const { return deps_.runner; }
  const EmbeddingStoreWording& wording() const { return wording_; }
  const EmbeddingStoreFiles& files() const { return files_; }

  // The metadata-only load.
  void initialize(Completion<Status> done = {});
  // Model and index (and, in the background, the graph).
  void ensureModelLoaded(Completion<Status> done = {});
  void ensureIndexLoaded(Completion<Status> done = {});
  // Embeds and adds `chunks`; `onProgress` runs on the store's runner after each item.
  void addChunks(std::vector<ChunkInput> chunks, ProgressCallback onProgress, Completion<Status> done);
  void saveHNSW(Completion<Status> done = {});
  void rebuild(RebuildIntent intent, Completion<Status> done = {});
  void resetForModelChange(Completion<Status> done = {});
  void unloadIndex(Completion<Status> done = {});
  void scheduleIdleUnload();
  void handleMemoryPressure();
  void snapshot(Completion<EmbeddingStoreSnapshot> done);
  // Loads the index and answers once its graph has loaded too.
  void waitUntilSearchable(Completion<Status> done);

 protected:
  EmbeddingStore(Dependencies deps, const EmbeddingStoreWording& wording);

  // The operations themselves; on the store's runner only.
  Status initializeNow();
  Status ensureModelLoadedNow();
  Status ensureIndexLoadedNow();
  Status addChunksNow(const std::vector<ChunkInput>& chunks, const ProgressCallback& onProgress);
  // `emptySaveReason`: why saving an empty list is intended (message store guard).
  Status saveNow(const std::optional<std::string>& emptySaveReason);
  Status saveHNSWNow();
  Status rebuildNow(const RebuildIntent& intent);
  Status resetForModelChangeNow();
  Status unloadIndexNow();
  void scheduleIdleUnloadNow();
  EmbeddingStoreSnapshot snapshotNow() const;
  // The facade's answer to `query`; reschedules the idle unload.
  Result<std::vector<SearchResult>> searchIndexNow(const std::string& query, int top);
  // Runs `then` on the store's runner once the background graph load ends (at once when none runs).
  void whenGraphLoaded(std::function<void()> then);
  // Removes the items with these identifiers (loaded index only); returns how many went.
  std::size_t removeItemsNow(const std::vector<std::string>& ids);
  int64_t chunkCountNow() const;
  // The loaded index's items and the heap they and the graph hold, for `pallix status` (none once unloaded).
  void recordFootprintNow() const;

  // Posts `work` to the store's runner with the store kept alive only weakly.
  void postToRunner(std::function<void(EmbeddingStore&)> work);
  template <typename Self, typename F>
  void postSelf(F work) {
    postToRunner([work = std::move(work)](EmbeddingStore& store) mutable { work(static_cast<Self&>(store)); });
  }
  void signal(const std::string& event, const TelemetryParameters& parameters = {}) const;
  void postResetNotification();

  // Hooks for the two stores.
  virtual void willInitialize() {}
  virtual void didLoadItems(const std::vector<IndexItem>& /*items*/) {}
  // The items are about to become the loaded index's.
  virtual void willInstallItems(const std::vector<IndexItem>& /*items*/) {}
  virtual void checkChunks(const std::vector<ChunkInput>& /*chunks*/) {}
  virtual void didAddChunks(const std::vector<ChunkInput>& /*chunks*/) {}
  virtual void didRemoveItems(const std::vector<IndexItem>& /*removed*/) {}
  // Refuses a save; the message store's empty-save guard.
  virtual Status checkSave(int64_t /*itemCount*/, const std::optional<std::string>& /*emptySaveReason*/) {
    return okStatus();
  }
  virtual void didPersistItems(int64_t /*itemCount*/) {}
  virtual void didReset() {}
  virtual void memoryPressureNow() = 0;

  Dependencies deps_;
  const EmbeddingStoreWording& wording_;
  Logger logger_;
  EmbeddingStoreFiles files_;
  MMapStore store_;

  std::shared_ptr<SimilarityIndex> index_;
  std::shared_ptr<BatchEmbeddingProvider> model_;
  ReadinessState readinessState_ = ReadinessState::initializing;
  std::string failureMessage_;
  bool hasBeenInitialized_ = false;
  bool hnswNeedsSave_ = false;
  bool indexNeedsSave_ = false;
  bool modelLoaded_ = false;
  std::vector<IndexItem> cachedIndexItems_;
  // False once the cached items went into the index or were dropped: the next load reads the disk.
  bool cachedItemsLoaded_ = false;
  int64_t lastKnownChunkCount_ = 0;
  bool isHNSWLoading_ = false;
  UUID hnswLoadingSessionID_;
  TaskHandle idleUnloadTask_;
  std::vector<std::function<void()>> graphWaiters_;
  // The installed model's identity as last computed; nullopt when unknown.
  std::optional<ModelIdentity> modelIdentity_;
  // Why the files on disk were built by another model (read-only stores).
  std::string builtWithAnotherModel_;
  // The rebuild for the current model, from the identity file.
  std::optional<ModelRebuild> modelRebuild_;

 private:
  void startGraphLoad();
  void finishGraphLoad(const UUID& session);
  void releaseGraphWaiters();
  // Writes DIRECTORY/NAME.hnsw: the graph as it is when it matches the items
  // node for node, else rebuilt from them.
  Status writeGraph(SimilarityIndex& index, const std::string& directory) const;
  Result<std::vector<IndexItem>> loadItemsFromDisk();
  // Fails the store with `error` (the files stay as they are).
  Status failOpen(const Error& error);
  // Compares the installed model with the one that built the items (the
  // cached ones, which must be loaded). A store that repairs its files
  // starts a stale index over; a read-only one remembers why it is stale.
  void checkModelIdentityNow();
  // Writes the model identity file for the items about to be saved.
  void writeModelIdentityNow(int64_t itemCount);
};

}  // namespace pallix
