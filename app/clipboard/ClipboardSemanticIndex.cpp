#include "app/clipboard/ClipboardSemanticIndex.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/Telemetry.h"

namespace pallix {

std::shared_ptr<ClipboardSemanticIndex> ClipboardSemanticIndex::create(Dependencies deps) {
  if (!deps.coordinator) deps.coordinator = EmbeddingCoordinator::shared();
  return std::shared_ptr<ClipboardSemanticIndex>(new ClipboardSemanticIndex(std::move(deps)));
}

ClipboardSemanticIndex::ClipboardSemanticIndex(Dependencies deps) : deps_(std::move(deps)) {}

ClipboardSemanticIndex::~ClipboardSemanticIndex() {
  retryTask_.cancel();
  unloadTask_.cancel();
}

void ClipboardSemanticIndex::post(std::function<void(ClipboardSemanticIndex&)> work) {
  deps_.runner->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

void ClipboardSemanticIndex::postDelayed(Duration delay, TaskHandle handle,
                                         std::function<void(ClipboardSemanticIndex&)> work) {
  deps_.runner->postDelayedWithHandle(delay, std::move(handle), [weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

void ClipboardSemanticIndex::normalize(std::vector<float>& vector) {
  double squares = 0;
  for (float v : vector) squares += double(v) * v;
  if (squares <= 0) return;
  const float scale = float(1.0 / std::sqrt(squares));
  for (float& v : vector) v *= scale;
}

// ---- Enabling ----

void ClipboardSemanticIndex::setEnabled(bool enabled) {
  if (enabled_.exchange(enabled) == enabled) return;
  post([enabled](ClipboardSemanticIndex& i) {
    if (enabled) {
      i.logger_.info("Search by meaning is on: embedding the clipboard's text items");
      i.startPass();
      return;
    }
    ++i.generation_;
    i.passActive_ = false;
    i.passWanted_ = false;
    i.retryTask_.cancel();
    i.unloadModel();
  });
}

void ClipboardSemanticIndex::setModelFactory(std::shared_ptr<EmbeddingModelFactory> factory) {
  post([factory = std::move(factory)](ClipboardSemanticIndex& i) mutable {
    i.deps_.modelFactory = std::move(factory);
    // A pass under way drops its batch (embedded by the old model).
    ++i.generation_;
    i.passActive_ = false;
    i.retryTask_.cancel();
    i.unloadModel();
    i.reportedMissingModel_ = false;
    i.startPass();
  });
}

void ClipboardSemanticIndex::noteNewItem() {
  if (!enabled_.load()) return;
  post([](ClipboardSemanticIndex& i) { i.startPass(); });
}

void ClipboardSemanticIndex::warmUp() {
  if (!enabled_.load()) return;
  post([](ClipboardSemanticIndex& i) {
    if (!i.enabled_.load() || !i.modelKey() || !i.ensureModel()) return;
    i.scheduleIdleUnload();
  });
}

void ClipboardSemanticIndex::counters(std::function<void(Counters)> done) {
  post([done = std::move(done)](ClipboardSemanticIndex& i) { done(i.counters_); });
}

// ---- The model ----

std::optional<std::string> ClipboardSemanticIndex::modelKey() {
  if (modelKey_) return modelKey_;
  if (!deps_.modelFactory || !deps_.modelFactory->isInstalled()) {
    if (!reportedMissingModel_) {
      reportedMissingModel_ = true;
      logger_.info("No embedding model installed: the clipboard is not searched by meaning (%s)",
                   deps_.modelFactory ? deps_.modelFactory->unavailableMessage().c_str() : "no model");
    }
    return std::nullopt;
  }
  reportedMissingModel_ = false;
  auto identity = deps_.modelFactory->identity();
  if (!identity.ok()) {
    logger_.error("Cannot read the embedding model's identity: %s", identity.error().description().c_str());
    return std::nullopt;
  }
  // A factory that cannot tell its model apart still keeps its vectors apart
  // from those of models that can.
  modelKey_ = identity.value() ? identity.value()->digest : std::string("unidentified");
  return modelKey_;
}

bool ClipboardSemanticIndex::ensureModel() {
  if (model_) return true;
  auto loaded = deps_.modelFactory->load(EmbeddingComputeUnits::cpu);
  if (!loaded.ok()) {
    logger_.error("Cannot load the embedding model: %s", loaded.error().description().c_str());
    TelemetryService::signal("ClipboardSemanticIndex.modelLoadFailed");
    return false;
  }
  model_ = std::move(loaded).value();
  ++counters_.modelLoads;
  return true;
}

void ClipboardSemanticIndex::unloadModel() {
  unloadTask_.cancel();
  model_.reset();
  // A model installed meanwhile is noticed at the next load.
  modelKey_.reset();
}

void ClipboardSemanticIndex::scheduleIdleUnload() {
  unloadTask_.cancel();
  if (!model_) return;
  unloadTask_ = TaskHandle::make();
  postDelayed(kIdleUnloadDelay, unloadTask_, [](ClipboardSemanticIndex& i) {
    if (!i.passActive_) i.unloadModel();
  });
}

// ---- Passes ----

void ClipboardSemanticIndex::startPass() {
  if (!enabled_.load()) return;
  if (passActive_) {
    passWanted_ = true;
    return;
  }
  retryTask_.cancel();
  passActive_ = true;
  passWanted_ = false;
  nextBatch();
}

void ClipboardSemanticIndex::endPass(std::optional<Duration> retryAfter) {
  passActive_ = false;
  if (retryAfter) {
    retryTask_.cancel();
    retryTask_ = TaskHandle::make();
    postDelayed(*retryAfter, retryTask_, [](ClipboardSemanticIndex& i) { i.startPass(); });
  } else if (passWanted_) {
    passWanted_ = false;
    post([](ClipboardSemanticIndex& i) { i.startPass(); });
  }
  scheduleIdleUnload();
}

void ClipboardSemanticIndex::nextBatch() {
  if (!enabled_.load()) return endPass(std::nullopt);
  const std::optional<std::string> key = modelKey();
  if (!key) return endPass(std::nullopt);  // noteNewItem() or re-enabling tries again
  Result<std::vector<ClipboardStore::TextToEmbed>> batch = [&]() -> Result<std::vector<ClipboardStore::TextToEmbed>> {
    std::lock_guard<std::mutex> lock(deps_.worker->storeMutex());
    if (purgedFor_ != key) {
      PALLIX_ASSIGN_OR_RETURN(int64_t removed, deps_.store->removeEmbeddingsNotOf(*key));
      PALLIX_RETURN_IF_ERROR(deps_.store->save());
      if (removed > 0) {
        logger_.info("Removed %lld clipboard vectors of another model", static_cast<long long>(removed));
      }
      counters_.vectorsOfOtherModelsRemoved += removed;
      purgedFor_ = key;
    }
    return deps_.store->textsWithoutEmbedding(*key, int64_t(kBatchSize));
  }();
  if (!batch.ok()) {
    logger_.error("Cannot read the clipboard items to embed: %s", batch.error().description().c_str());
    return endPass(kFailureRetryDelay);
  }
  if (batch.value().empty()) return endPass(std::nullopt);
  const uint64_t generation = generation_;
  auto shared = std::make_shared<std::vector<ClipboardStore::TextToEmbed>>(std::move(batch).value());
  std::weak_ptr<ClipboardSemanticIndex> weak = weak_from_this();
  deps_.coordinator->acquire(
      kOwner, kLeaseTimeout,
      Completion<EmbeddingCoordinator::LeaseRef>(
          deps_.runner, [weak, shared, key = *key, generation](EmbeddingCoordinator::LeaseRef lease) {
            auto self = weak.lock();
            if (!self || self->generation_ != generation || !self->passActive_) return;
            if (!lease) {
              ++self->counters_.leaseWaitsTimedOut;
              self->logger_.info("The embedding model is busy: clipboard items are embedded later");
              return self->endPass(kBusyRetryDelay);
            }
            self->embedBatch(std::move(*shared), key, std::move(lease));
          }));
}

void ClipboardSemanticIndex::embedBatch(std::vector<ClipboardStore::TextToEmbed> batch, const std::string& key,
                                        EmbeddingCoordinator::LeaseRef lease) {
  if (!ensureModel()) return endPass(kFailureRetryDelay);
  std::vector<std::string> texts;
  texts.reserve(batch.size());
  for (const auto& item : batch) texts.push_back(item.text);
  auto vectors = model_->encodeBatch(texts);
  lease->release();
  if (!vectors.ok() || vectors.value().size() != batch.size()) {
    logger_.error("Cannot embed clipboard items: %s", vectors.ok() ? "the model answered for another number of texts"
                                                                   : vectors.error().description().c_str());
    return endPass(kFailureRetryDelay);
  }
  int64_t stored = 0;
  Status saved = [&]() -> Status {
    std::lock_guard<std::mutex> lock(deps_.worker->storeMutex());
    for (size_t k = 0; k < batch.size(); ++k) {
      std::vector<float>& vector = vectors.value()[k];
      normalize(vector);
      PALLIX_ASSIGN_OR_RETURN(bool done, deps_.store->storeEmbedding(batch[k].id, batch[k].text, key, vector));
      stored += done ? 1 : 0;
    }
    return deps_.store->save();
  }();
  if (!saved.ok()) {
    logger_.error("Cannot store clipboard vectors: %s", saved.error().description().c_str());
    return endPass(kFailureRetryDelay);
  }
  counters_.itemsEmbedded += stored;
  if (stored == 0) {
    // Every one went meanwhile, or cannot take its vector: reading the same
    // batch again would embed it again.
    return endPass(std::nullopt);
  }
  // Through the runner, so that a search waiting meanwhile goes first.
  post([generation = generation_](ClipboardSemanticIndex& i) {
    if (i.generation_ == generation && i.passActive_) i.nextBatch();
  });
}

// ---- Search ----

void ClipboardSemanticIndex::search(std::string query, std::unordered_set<int64_t> exclude, size_t limit,
                                    TaskRunnerPtr replyRunner, std::function<void(std::vector<Match>)> done) {
  const uint64_t ticket = ++latestSearch_;
  post([query = std::move(query), exclude = std::move(exclude), limit, replyRunner = std::move(replyRunner),
        done = std::move(done), ticket](ClipboardSemanticIndex& i) mutable {
    if (ticket != i.latestSearch_.load()) return;
    std::vector<Match> matches = i.searchNow(query, exclude, limit);
    replyRunner->post([done = std::move(done), matches = std::move(matches)]() mutable { done(std::move(matches)); });
  });
}

std::vector<ClipboardSemanticIndex::Match> ClipboardSemanticIndex::searchNow(const std::string& query,
                                                                             const std::unordered_set<int64_t>& exclude,
                                                                             size_t limit) {
  if (!enabled_.load() || limit == 0) return {};
  const std::optional<std::string> key = modelKey();
  if (!key || !ensureModel()) return {};
  auto encoded = model_->encode(query);
  scheduleIdleUnload();
  if (!encoded.ok()) {
    logger_.error("Cannot embed the query: %s", encoded.error().description().c_str());
    return {};
  }
  std::vector<float> q = std::move(encoded).value();
  normalize(q);
  auto stored = [&] {
    std::lock_guard<std::mutex> lock(deps_.worker->storeMutex());
    return deps_.store->embeddings(*key);
  }();
  if (!stored.ok()) {
    logger_.error("Cannot read the clipboard vectors: %s", stored.error().description().c_str());
    return {};
  }
  std::vector<Match> matches;
  for (const ClipboardStore::StoredEmbedding& e : stored.value()) {
    if (e.vector.size() != q.size() || exclude.count(e.id)) continue;
    float dot = 0;
    for (size_t d = 0; d < q.size(); ++d) dot += q[d] * e.vector[d];
    if (dot >= deps_.similarityThreshold) matches.push_back({e.id, dot});
  }
  std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
    return a.similarity != b.similarity ? a.similarity > b.similarity : a.id > b.id;
  });
  if (matches.size() > limit) matches.resize(limit);
  return matches;
}

}  // namespace pallix
