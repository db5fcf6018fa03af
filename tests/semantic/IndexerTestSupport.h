// The file chunk indexer's test rig: an in-memory FileChunkStore that can
// hang, the fake machine conditions, a real coordinator, all in virtual time.
#pragma once

#include <sys/time.h>

#include <map>
#include <string>
#include <vector>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/FileChunkIndexer.h"
#include "core/Telemetry.h"
#include "testing/FakeIndexingConditions.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

class FakeFileChunkStore final : public FileChunkStore {
 public:
  FakeFileChunkStore(TaskRunnerPtr runner, NotificationCenter& center) : runner_(std::move(runner)), center_(center) {}

  void removeChunks(std::string path, Completion<Status> done) override {
    runner_->post([=, this] {
      chunks.erase(path);
      cache.erase(path);
      removed.push_back(path);
      done(okStatus());
    });
  }
  void addChunks(std::vector<ChunkInput> batch, EmbeddingStore::ProgressCallback, Completion<Status> done) override {
    const std::string path = batch.empty() ? "" : batch[0].metadata.at("filePath");
    adds.push_back({runner_->clock().now(), path});
    if (hangAdds) return;  // never answers: a stuck model
    runner_->postDelayed(addDelay, [=, this] {
      for (const auto& chunk : batch) {
        chunks[path].push_back(chunk);
        cache[path] = std::stod(chunk.metadata.at("modifiedDate"));
      }
      done(okStatus());
    });
  }
  void save(Completion<Status> done) override {
    runner_->post([=, this] {
      ++saves;
      done(okStatus());
    });
  }
  void saveHNSW(Completion<Status> done) override {
    runner_->post([=] { done(okStatus()); });
  }
  void fileModificationTimes(Completion<std::map<std::string, double>> done) override {
    runner_->post([=, this] { done(cache); });
  }
  void rebuild(RebuildIntent intent, Completion<Status> done) override {
    runner_->post([=, this] {
      rebuilds.push_back(intent);
      if (intent.kind == RebuildIntent::Kind::system) {
        return done(RebuildError::makeAutomaticRebuildBlocked("blocked from ", intent.source));
      }
      chunks.clear();
      cache.clear();
      center_.post(resetNotificationName());
      done(okStatus());
    });
  }
  void snapshot(Completion<EmbeddingStoreSnapshot> done) override {
    runner_->post([=, this] {
      EmbeddingStoreSnapshot s;
      s.readiness = ReadinessState::ready;
      s.hasBeenInitialized = true;
      done(s);
    });
  }
  void search(std::string, int, Completion<std::vector<FileChunkSearchResult>> done) override { done({}); }
  void ensureIndexLoaded(Completion<Status> done) override { done(okStatus()); }
  const char* resetNotificationName() const override { return "FakeStore.indexWasReset"; }

  std::size_t addsFor(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& [when, p] : adds) n += p == path;
    return n;
  }

  bool hangAdds = false;
  Duration addDelay{};  // how long "embedding" a batch takes
  std::map<std::string, std::vector<ChunkInput>> chunks;
  std::map<std::string, double> cache;
  std::vector<std::pair<MonoTime, std::string>> adds;
  std::vector<std::string> removed;
  std::vector<RebuildIntent> rebuilds;
  int saves = 0;

 private:
  TaskRunnerPtr runner_;
  NotificationCenter& center_;
};

struct IndexerFixture {
  using Summary = FileChunkIndexer::PassSummary;

  explicit IndexerFixture(FileChunkIndexer::Tuning tuning = {}) {
    // File modification times are real; let the virtual wall clock start at now.
    env.clock().setWallNow(SystemClock::instance().wallNow());
    store = std::make_shared<FakeFileChunkStore>(env.makeRunner("store"), center);
    FileChunkIndexer::Dependencies deps;
    deps.runner = env.makeRunner("indexer");
    deps.store = store;
    deps.coordinator = coordinator;
    deps.conditions = &conditions;
    deps.filter = &filter;
    deps.tracker = &tracker;
    deps.notifications = &center;
    deps.tuning = tuning;
    indexer = FileChunkIndexer::create(std::move(deps));
    indexer->setProgressObserver(
        Completion<FileChunkIndexer::Progress>([this](FileChunkIndexer::Progress p) { progress.push_back(p); }));
    indexer->setIndexingIntensity(IndexingIntensity::maximum);
    env.runUntilIdle();
  }

  // A text file in the folder, last modified `ageSeconds` before the virtual now.
  std::string writeFile(const std::string& name, const std::string& text, double ageSeconds = 3600) {
    const std::string path = dir.write("docs/" + name, text);
    const double mtime = secondsSince1970(env.clock().wallNow()) - ageSeconds;
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(mtime);
    times[0].tv_usec = times[1].tv_usec = 0;
    ::utimes(path.c_str(), times);
    return path;
  }
  Summary fullPass() {
    std::optional<Summary> summary;
    indexer->runFullPass({folder}, Completion<Summary>([&](Summary s) { summary = s; }));
    for (int i = 0; i < 10000 && !summary; ++i) env.advanceBy(std::chrono::seconds(1));
    EXPECT_TRUE(summary.has_value());
    return summary.value_or(Summary{});
  }
  std::size_t signals(const std::string& name) { return telemetry.sink().count(name); }

  VirtualTimeEnvironment env;
  TempDir dir;
  std::string folder = dir.mkdir("docs");
  ScopedTelemetryRecorder telemetry;
  NotificationCenter center;
  UserDefaults defaults;
  FakeIndexingConditions conditions;
  FileExclusionFilter filter;
  IndexingCompletionTracker tracker{defaults, "files"};
  std::shared_ptr<EmbeddingCoordinator> coordinator = EmbeddingCoordinator::create(env.makeRunner("lease"));
  std::shared_ptr<FakeFileChunkStore> store;
  std::shared_ptr<FileChunkIndexer> indexer;
  std::vector<FileChunkIndexer::Progress> progress;
  std::optional<EmbeddingCoordinator::LeaseRef> heldLease;  // another client's lease
};

}  // namespace pallix::testing
