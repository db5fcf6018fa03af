// ClipboardSemanticIndex: search of the clipboard history by meaning
// (ClipboardPreferences.semanticSearchEnabled, off by default).
//
// While enabled, text items are embedded with the installed model and their
// vectors kept in the clipboard store (ClipboardStore's vector table, each
// vector tagged with the digest of the model that made it). A pass embeds,
// newest first and a few at a time, every text item that has no vector of
// the current model: it starts when the index is enabled (the catch-up of
// items copied before) and again after each new text item. Each batch holds
// the embedding coordinator's lease ("clipboard"); a busy model delays the
// pass, which tries again later. Vectors of another model are deleted by the
// first pass with a model, so two models' vectors never meet; their items
// are embedded again by it. A query is embedded without the lease (someone is waiting)
// and compared with every stored vector of the model (a brute-force cosine
// scan: the history holds a few thousand items at most). The model loads on
// first use and unloads after kIdleUnloadDelay without use, or when the
// index is disabled. While disabled nothing is embedded and nothing loads.
//
// Threading: an actor on its own serial runner, never the main runner: the
// model, the embedding and every store access run there, the store under
// the capture worker's store lock (the store is shared with
// ClipboardService). setEnabled(), noteNewItem() and search() may be called
// from any runner and post to it; search() answers on the runner it is
// given. Owned through shared_ptr: ClipboardServices makes it and
// ClipboardService holds it; posted tasks hold weak references.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/clipboard/ClipboardCaptureWorker.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/semantic/EmbeddingCoordinator.h"
#include "app/semantic/EmbeddingModelFactory.h"
#include "core/Completion.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"

namespace pallix {

class ClipboardSemanticIndex : public std::enable_shared_from_this<ClipboardSemanticIndex> {
 public:
  static constexpr const char* kOwner = "clipboard";
  static constexpr size_t kBatchSize = 8;
  static constexpr Duration kLeaseTimeout = std::chrono::seconds(30);
  // After the lease was not granted in time, or the model failed.
  static constexpr Duration kBusyRetryDelay = std::chrono::seconds(60);
  static constexpr Duration kFailureRetryDelay = std::chrono::minutes(10);
  static constexpr Duration kIdleUnloadDelay = std::chrono::seconds(30);
  // Cosine similarity a stored text needs to be shown for a query. Chosen for
  // bge-small's range (unrelated sentences mostly below, paraphrases above);
  // not yet measured against it: the test model knows no meanings.
  static constexpr float kDefaultSimilarityThreshold = 0.6f;

  struct Dependencies {
    TaskRunnerPtr runner;  // serial, not the main runner
    std::shared_ptr<ClipboardStore> store;
    std::shared_ptr<ClipboardCaptureWorker> worker;  // whose storeMutex() guards the store
    std::shared_ptr<EmbeddingModelFactory> modelFactory;
    std::shared_ptr<EmbeddingCoordinator> coordinator;  // null: EmbeddingCoordinator::shared()
    float similarityThreshold = kDefaultSimilarityThreshold;
  };
  struct Match {
    int64_t id = 0;
    float similarity = 0;
  };
  // What the index has done, for tests and status lines.
  struct Counters {
    int64_t modelLoads = 0;
    int64_t itemsEmbedded = 0;
    int64_t vectorsOfOtherModelsRemoved = 0;
    int64_t leaseWaitsTimedOut = 0;
  };

  static std::shared_ptr<ClipboardSemanticIndex> create(Dependencies deps);
  ~ClipboardSemanticIndex();
  ClipboardSemanticIndex(const ClipboardSemanticIndex&) = delete;
  ClipboardSemanticIndex& operator=(const ClipboardSemanticIndex&) = delete;

  // On: starts the catch-up pass. Off: stops embedding and unloads the model.
  void setEnabled(bool enabled);
  bool isEnabled() const { return enabled_.load(); }
  // Another model was chosen: the loaded one goes, and a pass replaces the
  // vectors of the old model by the new one's.
  void setModelFactory(std::shared_ptr<EmbeddingModelFactory> factory);
  // A text item was recorded: a pass embeds it (and anything else missing).
  void noteNewItem();
  // Loads the model ahead of a search (clipboard mode opened); it unloads
  // again after kIdleUnloadDelay without use. Nothing while disabled.
  void warmUp();
  // The stored items closest in meaning to `query`, most similar first, at
  // most `limit`, none in `exclude`, each at or above the threshold. `done`
  // runs on `replyRunner`; a search overtaken by a later one before it ran
  // answers nothing.
  void search(std::string query, std::unordered_set<int64_t> exclude, size_t limit, TaskRunnerPtr replyRunner,
              std::function<void(std::vector<Match>)> done);
  // `done` runs on the index's runner.
  void counters(std::function<void(Counters)> done);

  // Unit length; an all-zero vector stays as it is.
  static void normalize(std::vector<float>& vector);

 private:
  explicit ClipboardSemanticIndex(Dependencies deps);
  void post(std::function<void(ClipboardSemanticIndex&)> work);
  void postDelayed(Duration delay, TaskHandle handle, std::function<void(ClipboardSemanticIndex&)> work);

  void startPass();
  void nextBatch();
  void embedBatch(std::vector<ClipboardStore::TextToEmbed> batch, const std::string& key,
                  EmbeddingCoordinator::LeaseRef lease);
  void endPass(std::optional<Duration> retryAfter);
  std::vector<Match> searchNow(const std::string& query, const std::unordered_set<int64_t>& exclude, size_t limit);
  // The current model's key (its digest), read once per load; nullopt when
  // no model is installed or its files cannot be read.
  std::optional<std::string> modelKey();
  bool ensureModel();
  void unloadModel();
  void scheduleIdleUnload();

  Dependencies deps_;
  Logger logger_{"ClipboardSemanticIndex"};
  std::atomic<bool> enabled_{false};
  std::atomic<uint64_t> latestSearch_{0};
  // Runner only.
  uint64_t generation_ = 0;  // moves when disabled: answers of earlier passes are dropped
  bool passActive_ = false;
  bool passWanted_ = false;  // a new item arrived during the pass
  TaskHandle retryTask_;
  TaskHandle unloadTask_;
  std::optional<std::string> modelKey_;
  std::optional<std::string> purgedFor_;  // the key whose other models' vectors were removed
  std::shared_ptr<BatchEmbeddingProvider> model_;
  bool reportedMissingModel_ = false;
  Counters counters_;
};

}  // namespace pallix
