#include "app/semantic/EmbeddingStore.h"

#include <algorithm>

#include "SimilaritySearchKit/DistanceMetric.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/FileUtil.h"
#include "core/SourceStatistics.h"
#include "core/Telemetry.h"
#include "core/Utf8.h"
#include "core/WeakTask.h"

namespace pallix {

const char* readinessStateName(ReadinessState state) {
  switch (state) {
    case ReadinessState::ready:
      return "ready";
    case ReadinessState::failed:
      return "failed";
    case ReadinessState::unloaded:
      return "unloaded";
    case ReadinessState::initializing:
      return "initializing";
  }
  return "initializing";
}

EmbeddingStore::EmbeddingStore(Dependencies deps, const EmbeddingStoreWording& wording)
    : deps_(std::move(deps)),
      wording_(wording),
      logger_(wording.category),
      files_(deps_.storeDirectory, wording.indexName, deps_.temporaryDirectory, logger_) {
  if (!deps_.backgroundRunner) deps_.backgroundRunner = deps_.runner;
  if (!deps_.notifications) deps_.notifications = &NotificationCenter::defaultCenter();
}

void EmbeddingStore::postToRunner(std::function<void(EmbeddingStore&)> work) {
  deps_.runner->post(whileAlive(weak_from_this(), std::move(work)));
}

void EmbeddingStore::signal(const std::string& event, const TelemetryParameters& parameters) const {
  TelemetryService::signal(event, parameters);
}

void EmbeddingStore::postResetNotification() {
  deps_.notifications->post(wording_.resetNotification, std::any(static_cast<const EmbeddingStore*>(this)));
}

// MARK: - Asynchronous operations

void EmbeddingStore::initialize(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.initializeNow()); });
}

void EmbeddingStore::ensureModelLoaded(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.ensureModelLoadedNow()); });
}

void EmbeddingStore::ensureIndexLoaded(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.ensureIndexLoadedNow()); });
}

void EmbeddingStore::addChunks(std::vector<ChunkInput> chunks, ProgressCallback onProgress, Completion<Status> done) {
  postToRunner([chunks = std::move(chunks), onProgress = std::move(onProgress), done](EmbeddingStore& s) {
    done(s.addChunksNow(chunks, onProgress));
  });
}

void EmbeddingStore::saveHNSW(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.saveHNSWNow()); });
}

void EmbeddingStore::rebuild(RebuildIntent intent, Completion<Status> done) {
  postToRunner([intent = std::move(intent), done](EmbeddingStore& s) { done(s.rebuildNow(intent)); });
}

void EmbeddingStore::resetForModelChange(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.resetForModelChangeNow()); });
}

void EmbeddingStore::unloadIndex(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.unloadIndexNow()); });
}

void EmbeddingStore::scheduleIdleUnload() {
  postToRunner([](EmbeddingStore& s) { s.scheduleIdleUnloadNow(); });
}

void EmbeddingStore::handleMemoryPressure() {
  postToRunner([](EmbeddingStore& s) { s.memoryPressureNow(); });
}

void EmbeddingStore::snapshot(Completion<EmbeddingStoreSnapshot> done) {
  postToRunner([done](EmbeddingStore& s) { done(s.snapshotNow()); });
}

void EmbeddingStore::waitUntilSearchable(Completion<Status> done) {
  postToRunner([done](EmbeddingStore& s) {
    Status loaded = s.ensureIndexLoadedNow();
    if (!loaded.ok()) return done(loaded);
    s.whenGraphLoaded([done] { done(okStatus()); });
  });
}

// MARK: - Initialization and loading

Status EmbeddingStore::initializeNow() {
  if (hasBeenInitialized_ && readinessState_ != ReadinessState::failed) return okStatus();
  readinessState_ = ReadinessState::initializing;
  logger_.info("%s", wording_.initializing);
  Status created = createDirectories(deps_.storeDirectory);
  if (!created.ok()) {
    logger_.error(wording_.initFailed, created.error().description().c_str());
    readinessState_ = ReadinessState::failed;
    failureMessage_ = created.error().description();
    signal(std::string(wording_.storeSignalPrefix) + ".initFailed", {{"error", failureMessage_}});
    return created.error();
  }
  files_.removeStaleTemporaries(/*besideStoreFiles=*/deps_.repairsFiles);
  willInitialize();

  const auto storedVersion = deps_.defaults ? deps_.defaults->integerValue(wording_.versionKey) : std::nullopt;
  if (!storedVersion) {
    if (files_.hasItemFile() || files_.hasGraphFile()) {
      logger_.info("%s", wording_.versionMissing);
      signal(std::string(wording_.signalPrefix) + ".modelVersionMissingPreservedIndex");
    }
  } else if (*storedVersion != kCurrentModelVersion) {
    logger_.info("Embedding model version changed (%ld -> %ld), clearing old index", static_cast<long>(*storedVersion),
                 static_cast<long>(kCurrentModelVersion));
    files_.deleteItemFiles();
    files_.deleteGraphFiles();
    signal(std::string(wording_.signalPrefix) + ".modelMigrationStarted",
           {{"oldVersion", std::to_string(*storedVersion)}, {"newVersion", std::to_string(kCurrentModelVersion)}});
  }

  auto items = loadItemsFromDisk();
  if (!items.ok()) {
    // Only damage to the files' structure is repaired, and only by the writer;
    // a file that cannot be read now may be readable later.
    if (!deps_.repairsFiles || !isError(items.error(), StoreFileError::kDomain, StoreFileError::damaged)) {
      return failOpen(items.error());
    }
    logger_.error("Failed to load existing index, attempting recovery");
    files_.deleteItemFiles();
    files_.deleteGraphFiles();
    logger_.info("Removed corrupted index file, starting fresh");
    signal(std::string(wording_.signalPrefix) + ".corruptIndexRecovered", {{"error", items.error().description()}});
    items = std::vector<IndexItem>{};
  }
  cachedIndexItems_ = std::move(items).value();
  cachedItemsLoaded_ = true;
  checkModelIdentityNow();
  lastKnownChunkCount_ = int64_t(cachedIndexItems_.size());
  logger_.info(wording_.loaded, static_cast<long>(cachedIndexItems_.size()));
  didLoadItems(cachedIndexItems_);

  if (deps_.defaults) {
    Status stored = deps_.defaults->set(wording_.versionKey, kCurrentModelVersion);
    if (!stored.ok()) logger_.error("Failed to store model version: %s", stored.error().description().c_str());
  }
  readinessState_ = ReadinessState::ready;
  hasBeenInitialized_ = true;
  failureMessage_.clear();
  logger_.info(wording_.ready, static_cast<long>(cachedIndexItems_.size()));
  return okStatus();
}

Status EmbeddingStore::ensureModelLoadedNow() {
  if (!hasBeenInitialized_) {
    logger_.error("Cannot load model: store not initialized");
    return Error::make("store not initialized");
  }
  if (modelLoaded_ && index_) return okStatus();
  logger_.info("Loading embedding model (deferred initialization)");
  logger_.info("Using compute units: %s", std::string(rawValue(deps_.computeUnits)).c_str());
  if (!cachedItemsLoaded_) {
    auto loaded = loadItemsFromDisk();
    if (!loaded.ok()) return failOpen(loaded.error());
    cachedIndexItems_ = std::move(loaded).value();
    cachedItemsLoaded_ = true;
    didLoadItems(cachedIndexItems_);
  }
  // The model may have been replaced since the files were opened.
  checkModelIdentityNow();
  if (!builtWithAnotherModel_.empty()) {
    return StoreFileError::makeBuiltWithAnotherModel(builtWithAnotherModel_);
  }
  if (!deps_.modelFactory) return Error::make("no embedding model factory");
  auto model = deps_.modelFactory->load(deps_.computeUnits);
  if (!model.ok()) {
    logger_.error("Failed to load embedding model: %s", model.error().description().c_str());
    return model.error();
  }
  model_ = model.value();
  index_ = std::make_shared<SimilarityIndex>(wording_.indexName, model_, std::make_shared<CosineSimilarity>());
  willInstallItems(cachedIndexItems_);
  index_->setItems(std::move(cachedIndexItems_));
  index_->rebuildItemIndex();
  cachedIndexItems_ = {};
  cachedItemsLoaded_ = false;
  modelLoaded_ = true;
  const int64_t count = int64_t(index_->itemCount());
  lastKnownChunkCount_ = count;
  logger_.info("Embedding model loaded, index has %ld items", static_cast<long>(count));

  if (count == 0) {
    logger_.info("%s", wording_.skipEmptyGraph);
    return okStatus();
  }
  auto nodes = files_.graphNodeCount();
  if (nodes.ok() && nodes.value() && int64_t(*nodes.value()) != count && deps_.repairsFiles) {
    logger_.info(wording_.graphMismatch, static_cast<long>(*nodes.value()), static_cast<long>(count));
    files_.deleteGraphFiles();
    signal(std::string(wording_.signalPrefix) + ".hnswMismatchRecovered",
           {{"itemCount", std::to_string(count)}, {"hnswCount", std::to_string(*nodes.value())}});
  }
  startGraphLoad();
  return okStatus();
}

void EmbeddingStore::startGraphLoad() {
  isHNSWLoading_ = true;
  hnswLoadingSessionID_ = UUID::random();
  const UUID session = hnswLoadingSessionID_;
  std::shared_ptr<SimilarityIndex> index = index_;
  deps_.backgroundRunner->post([weak = weak_from_this(), index, session] {
    auto self = weak.lock();
    if (!self) return;
    const EmbeddingStoreFiles& files = self->files_;
    std::string directory = files.storeDirectory();
    std::optional<TemporaryDirectory> temporary;
    if (fileExists(EmbeddingStoreFiles::compressedPath(files.graphPath()))) {
      auto made = files.makeTemporaryDirectory("Pallix-HNSW-");
      if (made.ok()) {
        temporary = std::move(made).value();
        directory = temporary->path();  // a failed decode leaves it empty: the graph is rebuilt
        auto decoded = files.decompressGraphInto(directory);
        if (!decoded.ok()) {
          self->logger_.error("Failed to stream decompress HNSW to temp: %s", decoded.error().description().c_str());
        }
      }
    }
    const HNSWLoadOutcome outcome = index->loadOrRebuildHNSW(directory, files.indexName());
    temporary.reset();
    const std::optional<std::string> unreadable = files.graphUnreadableReason();
    if (outcome == HNSWLoadOutcome::rebuilt && unreadable) {
      self->logger_.error("The graph file cannot be read (%s); rebuilt in memory, the file is kept",
                          unreadable->c_str());
    } else if (outcome == HNSWLoadOutcome::rebuilt && self->deps_.repairsFiles) {
      self->logger_.info("HNSW was rebuilt from loaded items, saving to disk");
      Status saved = okStatus();
      auto made = files.makeTemporaryDirectory(self->wording_.graphSaveDirectoryPrefix);
      if (!made.ok()) {
        saved = made.error();
      } else {
        saved = self->writeGraph(*index, made->path());
        if (saved.ok())
          saved = files.compressAndMove(made->path() + "/" + files.indexName() + ".hnsw", files.graphPath());
      }
      if (!saved.ok()) {
        self->logger_.error("Failed to save rebuilt HNSW: %s", saved.error().description().c_str());
        self->signal(std::string(self->wording_.signalPrefix) + ".hnswRebuildRepairSaveFailed",
                     {{"error", saved.error().description()}, {"source", "ensureModelLoaded"}});
      }
    }
    self->postToRunner([session](EmbeddingStore& s) { s.finishGraphLoad(session); });
  });
}

void EmbeddingStore::finishGraphLoad(const UUID& session) {
  logger_.info("%s", wording_.graphReady);
  if (session != hnswLoadingSessionID_) return;
  isHNSWLoading_ = false;
  recordFootprintNow();
  releaseGraphWaiters();
}

void EmbeddingStore::recordFootprintNow() const {
  SourceStatistics::Footprint footprint{std::nullopt, 0, "loaded vectors, texts and graph"};
  if (index_) {
    footprint.items = static_cast<int64_t>(index_->itemCount());
    footprint.bytes = static_cast<int64_t>(index_->estimatedSizeInBytes());
    if (auto graph = index_->hnswIndex()) footprint.bytes += static_cast<int64_t>(graph->memoryBytes());
  }
  SourceStatistics::process().recordFootprint(wording_.statusName, std::move(footprint));
}

void EmbeddingStore::releaseGraphWaiters() {
  auto waiters = std::move(graphWaiters_);
  graphWaiters_.clear();
  for (auto& waiter : waiters) waiter();
}

void EmbeddingStore::whenGraphLoaded(std::function<void()> then) {
  if (!isHNSWLoading_) {
    then();
    return;
  }
  graphWaiters_.push_back(std::move(then));
}

Status EmbeddingStore::ensureIndexLoadedNow() {
  if (readinessState_ == ReadinessState::failed) return Error::make(failureMessage_);
  if (!hasBeenInitialized_) PALLIX_RETURN_IF_ERROR(initializeNow());
  if (readinessState_ == ReadinessState::unloaded) {
    logger_.info("%s", wording_.reloading);
    auto loaded = loadItemsFromDisk();
    if (!loaded.ok()) return failOpen(loaded.error());
    cachedIndexItems_ = std::move(loaded).value();
    cachedItemsLoaded_ = true;
    didLoadItems(cachedIndexItems_);
    readinessState_ = ReadinessState::ready;
    logger_.info(wording_.reloaded, static_cast<long>(cachedIndexItems_.size()));
  }
  return ensureModelLoadedNow();
}

// MARK: - Adding, searching, removing

Status EmbeddingStore::addChunksNow(const std::vector<ChunkInput>& chunks, const ProgressCallback& onProgress) {
  if (!hasBeenInitialized_ || readinessState_ == ReadinessState::failed) {
    logger_.error("Cannot add chunks: store not ready");
    return Error::make("store not ready");
  }
  Status loaded = ensureIndexLoadedNow();
  if (!loaded.ok()) {
    logger_.error("Cannot add chunks: failed to load store - %s", loaded.error().description().c_str());
    return loaded;
  }
  if (!index_ || !model_) {
    logger_.error("Cannot add chunks: index not available after load");
    return Error::make("index not available after load");
  }
  checkChunks(chunks);
  const int64_t total = int64_t(chunks.size());
  for (std::size_t start = 0; start < chunks.size(); start += kEmbeddingBatchSize) {
    const std::size_t end = std::min(chunks.size(), start + kEmbeddingBatchSize);
    std::vector<std::string> ids, texts;
    std::vector<std::map<std::string, std::string>> metadata;
    // The item file holds UTF-8 only; a text from a file named in another
    // encoding keeps its readable part, with U+FFFD for the rest.
    for (std::size_t i = start; i < end; ++i) {
      ids.push_back(toValidUtf8(chunks[i].id));
      texts.push_back(toValidUtf8(chunks[i].text));
      metadata.push_back(chunks[i].metadata);
    }
    auto embeddings = model_->encodeBatch(texts);
    if (!embeddings.ok()) {
      logger_.error("Failed to embed %ld chunks: %s", static_cast<long>(texts.size()),
                    embeddings.error().description().c_str());
      return embeddings.error();
    }
    index_->addItems(ids, texts, metadata, std::move(embeddings).value(), [&](const AddItemsProgress& p) {
      if (onProgress) onProgress({int64_t(start) + p.current, total});
    });
    indexNeedsSave_ = true;
    hnswNeedsSave_ = true;
  }
  lastKnownChunkCount_ = int64_t(index_->itemCount());
  recordFootprintNow();
  didAddChunks(chunks);
  if (idleUnloadTask_.valid() && !idleUnloadTask_.isCancelled()) scheduleIdleUnloadNow();
  return okStatus();
}

Result<std::vector<SearchResult>> EmbeddingStore::searchIndexNow(const std::string& query, int top) {
  auto results = index_->search(query, top);
  scheduleIdleUnloadNow();
  return results;
}

std::size_t EmbeddingStore::removeItemsNow(const std::vector<std::string>& ids) {
  if (!index_ || ids.empty()) return 0;
  std::vector<IndexItem> removed;
  for (const auto& id : ids) {
    if (auto item = index_->getItem(id)) {
      index_->removeItem(id);
      removed.push_back(std::move(*item));
    }
  }
  if (!removed.empty()) {
    indexNeedsSave_ = true;
    hnswNeedsSave_ = true;
    lastKnownChunkCount_ = int64_t(index_->itemCount());
    didRemoveItems(removed);
  }
  return removed.size();
}

int64_t EmbeddingStore::chunkCountNow() const {
  if (index_) return int64_t(index_->itemCount());
  if (cachedItemsLoaded_) return int64_t(cachedIndexItems_.size());
  return lastKnownChunkCount_;
}

// MARK: - Saving

Status EmbeddingStore::saveNow(const std::optional<std::string>& emptySaveReason) {
  if (!modelLoaded_) {
    logger_.info("Skipping save: no chunks were added (model not loaded)");
    return okStatus();
  }
  const bool ready = readinessState_ == ReadinessState::ready;
  if (!index_ || !ready) {
    logger_.error("Cannot save: store not ready (index=%d, ready=%d)", index_ ? 1 : 0, ready ? 1 : 0);
    return SaveError::makeStoreNotReady(index_ != nullptr, ready);
  }
  if (!indexNeedsSave_ && !hnswNeedsSave_) {
    logger_.info("%s", wording_.skipUnchangedSave);
    return okStatus();
  }
  if (!deps_.repairsFiles) {
    logger_.info("Skipping save: this process only reads the %s", wording_.indexLabel);
    return okStatus();
  }
  const int64_t count = int64_t(index_->itemCount());
  PALLIX_RETURN_IF_ERROR(checkSave(count, emptySaveReason));
  if (indexNeedsSave_) {
    PALLIX_ASSIGN_OR_RETURN(TemporaryDirectory temporary, files_.makeTemporaryDirectory(wording_.saveDirectoryPrefix));
    const std::string& directory = temporary.path();
    auto written = store_.saveIndex(index_->items(), directory, wording_.indexName);
    const std::string path = directory + "/" + wording_.indexName + ".mmap";
    Status moved = okStatus();
    if (!written.ok()) {
      moved = written.error();
    } else if (!fileExists(path)) {
      logger_.error("MMapStore.saveIndex returned but file missing at %s", path.c_str());
      moved = SaveError::makeFileNotCreated(path);
    } else {
      writeModelIdentityNow(count);
      moved = files_.compressAndMove(path, files_.itemPath());
    }
    PALLIX_RETURN_IF_ERROR(moved);
    indexNeedsSave_ = false;
    lastKnownChunkCount_ = count;
    didPersistItems(count);
    logger_.info(wording_.saved, static_cast<long>(count));
  }
  return saveHNSWNow();
}

Status EmbeddingStore::writeGraph(SimilarityIndex& index, const std::string& directory) const {
  const std::string path = directory + "/" + wording_.indexName + ".hnsw";
  // Appends keep node i on item i; a removal (tombstone) or a duplicate breaks that.
  const auto graph = index.hnswIndex();
  const int64_t items = int64_t(index.itemCount());
  if (graph && graph->count() == items && graph->liveCount() == items) {
    return writeFileAtomically(path, graph->serialize());
  }
  return index.saveHNSW(directory, wording_.indexName);
}

Status EmbeddingStore::saveHNSWNow() {
  if (!index_ || !hnswNeedsSave_ || !deps_.repairsFiles) return okStatus();
  // A graph saved beside an item file that lacks its items would not match
  // it; saving the items first also keeps a failed item save (a full disk)
  // from being followed by a graph write.
  if (indexNeedsSave_) return saveNow(std::nullopt);
  if (index_->itemCount() == 0) {
    files_.deleteGraphFiles();
    hnswNeedsSave_ = false;
    return okStatus();
  }
  PALLIX_ASSIGN_OR_RETURN(TemporaryDirectory temporary,
                          files_.makeTemporaryDirectory(wording_.graphSaveDirectoryPrefix));
  const std::string& directory = temporary.path();
  const std::string path = directory + "/" + wording_.indexName + ".hnsw";
  Status moved = writeGraph(*index_, directory);
  if (moved.ok() && !fileExists(path)) {
    logger_.error("SimilaritySearchKit did not emit HNSW output at %s", path.c_str());
    moved = SaveError::makeHnswFileNotCreated(path);
  }
  if (moved.ok()) moved = files_.compressAndMove(path, files_.graphPath());
  PALLIX_RETURN_IF_ERROR(moved);
  logger_.info("Saved HNSW index to disk");
  hnswNeedsSave_ = false;
  return okStatus();
}

// MARK: - Rebuild, reset, unload

Status EmbeddingStore::rebuildNow(const RebuildIntent& intent) {
  if (intent.kind == RebuildIntent::Kind::system) {
    logger_.info(wording_.rebuildBlocked, intent.source.c_str());
    signal(std::string(wording_.signalPrefix) + ".rebuildBlocked", {{"source", intent.source}});
    return RebuildError::makeAutomaticRebuildBlocked(wording_.rebuildBlockedDescription, intent.source);
  }
  logger_.info(wording_.rebuilding, intent.source.c_str());
  files_.deleteItemFiles();
  files_.deleteGraphFiles();
  modelRebuild_.reset();
  builtWithAnotherModel_.clear();
  cachedIndexItems_.clear();
  cachedItemsLoaded_ = true;
  if (model_) {
    index_ = std::make_shared<SimilarityIndex>(wording_.indexName, model_, std::make_shared<CosineSimilarity>());
  } else {
    index_.reset();
  }
  hnswLoadingSessionID_ = UUID();
  isHNSWLoading_ = false;
  releaseGraphWaiters();
  indexNeedsSave_ = hnswNeedsSave_ = false;
  lastKnownChunkCount_ = 0;
  hasBeenInitialized_ = true;
  readinessState_ = ReadinessState::ready;
  didReset();
  logger_.info("%s", wording_.rebuilt);
  signal(std::string(wording_.signalPrefix) + ".indexRebuilt", {{"source", intent.source}});
  postResetNotification();
  return okStatus();
}

Status EmbeddingStore::resetForModelChangeNow() {
  logger_.info("%s", wording_.resetting);
  idleUnloadTask_.cancel();
  index_.reset();
  model_.reset();
  modelLoaded_ = false;
  files_.deleteItemFiles();
  files_.deleteGraphFiles();
  modelRebuild_.reset();
  builtWithAnotherModel_.clear();
  cachedIndexItems_.clear();
  cachedItemsLoaded_ = true;
  hnswLoadingSessionID_ = UUID();
  isHNSWLoading_ = false;
  releaseGraphWaiters();
  indexNeedsSave_ = hnswNeedsSave_ = false;
  lastKnownChunkCount_ = 0;
  hasBeenInitialized_ = true;
  readinessState_ = ReadinessState::ready;
  didReset();
  signal(std::string(wording_.signalPrefix) + ".resetForModelChange");
  logger_.info("%s", wording_.resetComplete);
  postResetNotification();
  return okStatus();
}

Status EmbeddingStore::unloadIndexNow() {
  idleUnloadTask_.cancel();
  if (!index_ && !modelLoaded_) return okStatus();
  if (indexNeedsSave_ || hnswNeedsSave_) {
    Status saved = saveNow(std::nullopt);
    if (!saved.ok()) logger_.error("Failed to save before unloading: %s", saved.error().description().c_str());
  } else {
    logger_.info("%s", wording_.skipUnloadSave);
  }
  lastKnownChunkCount_ = chunkCountNow();
  index_.reset();
  model_.reset();
  modelLoaded_ = false;
  cachedIndexItems_.clear();
  cachedItemsLoaded_ = false;
  hnswLoadingSessionID_ = UUID();
  isHNSWLoading_ = false;
  releaseGraphWaiters();
  readinessState_ = ReadinessState::unloaded;
  recordFootprintNow();
  logger_.info(wording_.unloaded, static_cast<long>(lastKnownChunkCount_));
  return okStatus();
}

void EmbeddingStore::scheduleIdleUnloadNow() {
  idleUnloadTask_.cancel();
  idleUnloadTask_ = deps_.runner->postDelayed(kIdleUnloadDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) (void)self->unloadIndexNow();
  });
}

EmbeddingStoreSnapshot EmbeddingStore::snapshotNow() const {
  EmbeddingStoreSnapshot s;
  s.readiness = readinessState_;
  s.failureMessage = failureMessage_;
  s.hasBeenInitialized = hasBeenInitialized_;
  s.modelLoaded = modelLoaded_;
  s.modelInstalled = deps_.modelFactory && deps_.modelFactory->isInstalled();
  s.isHNSWLoading = isHNSWLoading_;
  s.chunkCount = chunkCountNow();
  s.files = files_.existingFiles();
  s.builtWithAnotherModel = builtWithAnotherModel_;
  s.modelRebuild = modelRebuild_;
  if (modelRebuild_) s.modelRebuildPercent = modelRebuild_->percentDone(s.chunkCount);
  if (!s.modelInstalled || readinessState_ == ReadinessState::failed || !builtWithAnotherModel_.empty()) {
    s.status = SemanticIndexStatus::unavailable;
  } else if (modelRebuild_) {
    s.status = SemanticIndexStatus::rebuilding;
  } else if (readinessState_ == ReadinessState::initializing || !hasBeenInitialized_ || isHNSWLoading_) {
    s.status = SemanticIndexStatus::initializing;
  } else if (s.chunkCount == 0) {
    s.status = SemanticIndexStatus::empty;
  } else {
    s.status = SemanticIndexStatus::ready;
  }
  return s;
}

}  // namespace pallix
