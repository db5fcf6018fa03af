// Shared pieces of the clipboard's search-by-meaning tests: a fake model in
// which words of one topic share a dimension (so a query with none of an
// item's words can still be close to it), and the clipboard fixture with a
// semantic index on a runner of its own and its own embedding lease.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ClipboardTestSupport.h"
#include "app/clipboard/ClipboardSemanticIndex.h"

namespace pallix::testing {

// What the fake model saw: where each encode ran.
struct FakeModelLog {
  TaskRunnerPtr main, index;
  int loads = 0;
  int encodes = 0;  // texts
  int encodesOnMain = 0, encodesOffIndex = 0;
};

class TopicEmbeddings final : public BatchEmbeddingProvider {
 public:
  static constexpr int kDimension = 8;
  explicit TopicEmbeddings(std::shared_ptr<FakeModelLog> log) : log_(std::move(log)) {}
  Result<std::vector<float>> encode(const std::string& text) override {
    ++log_->encodes;
    if (log_->main && log_->main->isCurrent()) ++log_->encodesOnMain;
    if (log_->index && !log_->index->isCurrent()) ++log_->encodesOffIndex;
    static const std::map<std::string, int> topics = {
        {"meeting", 0}, {"appointment", 0}, {"call", 0},     {"pizza", 1},   {"dinner", 1},
        {"lunch", 1},   {"food", 1},        {"password", 2}, {"login", 2},   {"wifi", 2},
        {"invoice", 3}, {"bill", 3},        {"payment", 3},  {"flight", 4},  {"plane", 4},
        {"train", 4},   {"doctor", 5},      {"dentist", 5},  {"medicine", 5}};
    std::vector<float> v(kDimension, 0.0f);
    v[kDimension - 1] = 0.05f;  // words of no topic
    std::string word;
    auto flush = [&] {
      if (auto it = topics.find(word); it != topics.end()) v[it->second] += 1.0f;
      word.clear();
    };
    for (char c : text) {
      if (std::isalnum(static_cast<unsigned char>(c))) {
        word += char(std::tolower(static_cast<unsigned char>(c)));
      } else {
        flush();
      }
    }
    flush();
    return v;
  }
  int dimension() const override { return kDimension; }

 private:
  std::shared_ptr<FakeModelLog> log_;
};

class FakeModelFactory final : public EmbeddingModelFactory {
 public:
  explicit FakeModelFactory(std::shared_ptr<FakeModelLog> log) : log_(std::move(log)) {}
  bool isInstalled() const override { return installed; }
  std::string unavailableMessage() const override { return "no model"; }
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits) override {
    ++log_->loads;
    return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<TopicEmbeddings>(log_));
  }
  Result<std::optional<ModelIdentity>> identity() const override {
    return std::optional<ModelIdentity>(ModelIdentity{TopicEmbeddings::kDimension, digest});
  }
  bool installed = true;
  std::string digest = "model-a";

 private:
  std::shared_ptr<FakeModelLog> log_;
};

struct SemanticClipboardFixture : ClipboardFixture {
  std::shared_ptr<FakeModelLog> log = std::make_shared<FakeModelLog>();
  std::shared_ptr<EmbeddingModelFactory> factory = std::make_shared<FakeModelFactory>(log);
  TaskRunnerPtr indexRunner = env.makeRunner("semantic");
  std::shared_ptr<EmbeddingCoordinator> coordinator = EmbeddingCoordinator::create(env.makeRunner("lease"));
  std::shared_ptr<ClipboardSemanticIndex> index;
  float threshold = ClipboardSemanticIndex::kDefaultSimilarityThreshold;

  explicit SemanticClipboardFixture(const std::string& storePath = ":memory:") : ClipboardFixture(storePath) {
    settings.semanticSearchEnabled = true;
    log->main = env.mainRunner();
    log->index = indexRunner;
  }
  ~SemanticClipboardFixture() { index.reset(); }
  FakeModelFactory& fake() { return static_cast<FakeModelFactory&>(*factory); }
  void startWithIndex() {
    start();
    index = ClipboardSemanticIndex::create({.runner = indexRunner,
                                            .store = store,
                                            .worker = service->captureWorker(),
                                            .modelFactory = factory,
                                            .coordinator = coordinator,
                                            .similarityThreshold = threshold});
    service->setSemanticIndex(index);
    env.runUntilIdle();
  }
  // Changes the preferences as the preferences object would, and waits.
  void setSemanticSearch(bool enabled) {
    settings.semanticSearchEnabled = enabled;
    center.post(ClipboardService::kPreferencesDidChange);
    env.runUntilIdle();
  }
  int64_t vectorCount() { return store->embeddingCount().value(); }
  ClipboardSemanticIndex::Counters counters() {
    ClipboardSemanticIndex::Counters out;
    index->counters([&](ClipboardSemanticIndex::Counters c) { out = c; });
    env.runUntilIdle();
    return out;
  }
  // The vectors' items and models, by item id.
  std::map<int64_t, std::string> vectorModels() {
    std::map<int64_t, std::string> out;
    auto stmt = db->prepare("SELECT item, model FROM ClipboardItemEmbedding").value();
    while (stmt.step().value()) out[stmt.columnInt(0)] = stmt.columnText(1);
    return out;
  }
};

}  // namespace pallix::testing
