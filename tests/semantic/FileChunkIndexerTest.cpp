// The file chunk indexer in virtual time, over an in-memory FileChunkStore
// that can hang, the fake machine conditions and a real coordinator:
// passes, pacing, polling with coalescing, retries, pauses, thermal holds
// and the stall watchdog.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/search/CatalogScanner.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/FileChunkIndexer.h"
#include "core/Telemetry.h"
#include "testing/FakeIndexingConditions.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

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
    const std::string path = batch.empty() ? "" : filePathFromMetadata(batch[0].metadata).value_or("");
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
    runner_->postDelayed(saveDelay, [=, this] {
      ++saves;
      savedFileCounts.push_back(chunks.size());
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
    runner_->post([=] { done({.readiness = ReadinessState::ready, .hasBeenInitialized = true}); });
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
  Duration addDelay{};   // how long "embedding" a batch takes
  Duration saveDelay{};  // how long a save takes
  std::map<std::string, std::vector<ChunkInput>> chunks;
  std::map<std::string, double> cache;
  std::vector<std::pair<MonoTime, std::string>> adds;
  std::vector<std::string> removed;
  std::vector<RebuildIntent> rebuilds;
  int saves = 0;
  std::vector<std::size_t> savedFileCounts;  // how many files had chunks at each save

 private:
  TaskRunnerPtr runner_;
  NotificationCenter& center_;
};

// Opens folders as the system does, except those listed, which fail as an unreadable folder does.
class RefusingDirectoryOpener final : public DirectoryOpener {
 public:
  int openDirectory(int dirFd, const char* name, const std::string& path) override {
    if (refused.count(path)) {
      errno = EACCES;
      return -1;
    }
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  std::set<std::string> refused;
};

struct IndexerFixture {
  using Summary = FileChunkIndexer::PassSummary;

  explicit IndexerFixture(FileChunkIndexer::Tuning tuning = {}) {
    // File modification times are real; let the virtual wall clock start at now.
    env.clock().setWallNow(SystemClock::instance().wallNow());
    store = std::make_shared<FakeFileChunkStore>(env.makeRunner("store"), center);
    indexer = FileChunkIndexer::create({.runner = env.makeRunner("indexer"),
                                        .store = store,
                                        .coordinator = coordinator,
                                        .conditions = &conditions,
                                        .filter = &filter,
                                        .tracker = &tracker,
                                        .notifications = &center,
                                        .directoryOpener = &opener,
                                        .tuning = tuning});
    indexer->setProgressObserver(
        Completion<FileChunkIndexer::Progress>([this](FileChunkIndexer::Progress p) { progress.push_back(p); }));
    indexer->setIndexingIntensity(IndexingIntensity::maximum);
    env.runUntilIdle();
  }

  // A text file in the folder, last modified `ageSeconds` before the virtual now.
  std::string writeFile(const std::string& name, const std::string& text, double ageSeconds = 3600) {
    const std::string path = dir.write("docs/" + name, text);
    const auto mtime = std::chrono::sys_seconds(
        std::chrono::seconds(int64_t(secondsSince1970(env.clock().wallNow()) - ageSeconds)));  // whole seconds
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(mtime));
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
  testing::TempDir dir;
  std::string folder = dir.mkdir("docs");
  ScopedTelemetryRecorder telemetry;
  NotificationCenter center;
  UserDefaults defaults;
  FakeIndexingConditions conditions;
  FileExclusionFilter filter;
  RefusingDirectoryOpener opener;
  IndexingCompletionTracker tracker{defaults, "files"};
  std::shared_ptr<EmbeddingCoordinator> coordinator = EmbeddingCoordinator::create(env.makeRunner("lease"));
  std::shared_ptr<FakeFileChunkStore> store;
  std::shared_ptr<FileChunkIndexer> indexer;
  std::vector<FileChunkIndexer::Progress> progress;
  std::optional<EmbeddingCoordinator::LeaseRef> heldLease;  // another client's lease
};

using Outcome = FileChunkIndexer::PassSummary::Outcome;

class FileChunkIndexerTest : public ::testing::Test {
 protected:
  IndexerFixture f;
};

TEST_F(FileChunkIndexerTest, TheNextFileWaitsThePauseOfTheIntensityTimesTheHeat) {
  struct Case {
    IndexingIntensity intensity;
    ThermalState thermal;
    int64_t milliseconds;
  };
  const Case cases[] = {{IndexingIntensity::minimal, ThermalState::nominal, 2000},
                        {IndexingIntensity::low, ThermalState::fair, 2000},
                        {IndexingIntensity::balanced, ThermalState::serious, 2000},
                        {IndexingIntensity::maximum, ThermalState::critical, 2000},
                        {IndexingIntensity::maximum, ThermalState::fair, 400}};
  for (const auto& c : cases) {
    EXPECT_EQ(pauseForIntensity(c.intensity) * *thermalMultiplier(c.thermal),
              std::chrono::milliseconds(c.milliseconds));
  }
  EXPECT_FALSE(thermalMultiplier(ThermalState(7)).has_value());
  // With `low` and a fair machine the next file starts 2000 ms after the last batch.
  f.indexer->setIndexingIntensity(IndexingIntensity::low);
  f.conditions.setThermalState(ThermalState::fair);
  f.writeFile("a.txt", "first file");
  f.writeFile("b.txt", "second file");
  f.fullPass();
  ASSERT_EQ(f.store->adds.size(), 2u);
  EXPECT_EQ(f.store->adds[1].first - f.store->adds[0].first, std::chrono::milliseconds(2000));
}

TEST_F(FileChunkIndexerTest, FullPassIndexesWhatChangedAndSkipsUnchangedContent) {
  const std::string kept = f.writeFile("kept.txt", "already indexed");
  f.writeFile("new.md", std::string(900, 'n'));
  f.writeFile("photo.png", std::string("\x89PNG\0\0", 6));
  f.store->cache[kept] = secondsSince1970(f.env.clock().wallNow()) - 3600;
  f.store->cache[f.folder + "/gone.txt"] = 1.0;
  auto first = f.fullPass();
  EXPECT_EQ(first.outcome, Outcome::completed);
  EXPECT_EQ(first.totalFiles, 3);
  EXPECT_EQ(first.unchangedFiles, 1);
  EXPECT_EQ(first.indexedFiles, 1);
  EXPECT_EQ(first.failedFiles, 1);  // the PNG is not text
  EXPECT_EQ(f.store->chunks[f.folder + "/new.md"].size(), 3u);
  EXPECT_EQ(std::count(f.store->removed.begin(), f.store->removed.end(), f.folder + "/gone.txt"), 1);
  EXPECT_EQ(f.store->saves, 1);
  EXPECT_EQ(f.signals("FileEmbedding.indexingCompleted"), 1u);
  EXPECT_TRUE(f.tracker.lastCompletion().has_value());

  f.store->adds.clear();
  EXPECT_EQ(f.fullPass().outcome, Outcome::unchanged);  // same content hash: nothing read
  EXPECT_TRUE(f.store->adds.empty());
}

TEST_F(FileChunkIndexerTest, FoldersThatCannotBeReadKeepTheirChunksUntilTheyCanBeReadAgain) {
  f.writeFile("top.txt", "top");
  const std::string inner = f.writeFile("sub/inner.txt", "inner");
  const std::string leaf = f.writeFile("sub/deeper/leaf.txt", "leaf");
  ASSERT_EQ(f.fullPass().indexedFiles, 3);
  for (const std::string& refused : {f.folder + "/sub", f.folder}) {
    SCOPED_TRACE(refused);
    f.opener.refused = {refused};
    f.store->removed.clear();
    ASSERT_TRUE(f.tracker.clear().ok());
    auto pass = f.fullPass();
    EXPECT_EQ(pass.outcome, Outcome::completed);
    EXPECT_TRUE(f.store->removed.empty()) << f.store->removed.front();
    EXPECT_EQ(f.store->chunks.size(), 3u);
  }
  // Readable again: a file deleted meanwhile goes, the rest stays.
  f.opener.refused.clear();
  f.store->removed.clear();
  std::filesystem::remove(leaf);
  f.fullPass();
  EXPECT_EQ(f.store->removed, std::vector<std::string>{leaf});
  EXPECT_EQ(f.store->chunks.count(inner), 1u);
}

TEST_F(FileChunkIndexerTest, ALongPassSavesEveryTenSecondsSoThatAKilledProcessKeepsMostOfIt) {
  f.indexer->setIndexingIntensity(IndexingIntensity::maximum);
  f.store->addDelay = std::chrono::seconds(1);  // 1 s of embedding per file, then 200 ms of pause
  for (int i = 0; i < 30; ++i) f.writeFile("n" + std::to_string(100 + i) + ".txt", "note " + std::to_string(i));
  auto pass = f.fullPass();
  ASSERT_EQ(pass.indexedFiles, 30);
  // Saved after the first file to end 10 s after the start (the 9th, at 10.6 s) or
  // after the last save (the 18th, 27th), and at the end.
  EXPECT_EQ(f.store->savedFileCounts, (std::vector<std::size_t>{9, 18, 27, 30}));
}

TEST_F(FileChunkIndexerTest, ASlowSaveSpacesTheNextOnesOutToTenTimesItsLength) {
  f.store->addDelay = std::chrono::seconds(1);
  f.store->saveDelay = std::chrono::seconds(2);  // a large index: the next save waits 20 s
  for (int i = 0; i < 30; ++i) f.writeFile("n" + std::to_string(100 + i) + ".txt", "note " + std::to_string(i));
  ASSERT_EQ(f.fullPass().indexedFiles, 30);
  // The 9th file ends at 10.6 s and the save at 12.6 s; the 26th file is the first to end 20 s later.
  EXPECT_EQ(f.store->savedFileCounts, (std::vector<std::size_t>{9, 26, 30}));
}

TEST_F(FileChunkIndexerTest, WatcherWaitsUntilAChangedFileHasBeenQuietFor45SecondsAndPollsHalfHourlyInDeepIdle) {
  f.indexer->startContinuousIndexing({f.folder});
  f.env.advanceBy(std::chrono::seconds(290));
  const std::string young = f.writeFile("young.txt", "being edited", 20);  // 30 s old at the poll
  f.env.advanceBy(std::chrono::seconds(60));
  EXPECT_EQ(f.store->addsFor(young), 0u);
  f.env.advanceBy(std::chrono::seconds(300));
  EXPECT_EQ(f.store->addsFor(young), 1u);

  f.indexer->setWorkMode(WorkMode::deepIdle);
  const std::string late = f.writeFile("late.txt", "added while the machine rests");
  f.env.advanceBy(std::chrono::seconds(1700));
  EXPECT_EQ(f.store->addsFor(late), 0u);
  f.env.advanceBy(std::chrono::seconds(200));
  EXPECT_EQ(f.store->addsFor(late), 1u);
}

TEST_F(FileChunkIndexerTest, WatcherTakesAtMost96SettledChangesPerPass) {
  f.indexer->startContinuousIndexing({f.folder});
  f.env.advanceBy(std::chrono::seconds(1));
  for (int i = 0; i < 200; ++i) f.writeFile("old" + std::to_string(i) + ".txt", "settled " + std::to_string(i));
  std::vector<std::size_t> perPass;
  for (int pass = 0; pass < 3; ++pass) {
    const std::size_t before = f.store->adds.size();
    f.env.advanceBy(std::chrono::seconds(350));
    perPass.push_back(f.store->adds.size() - before);
  }
  EXPECT_EQ(perPass, (std::vector<std::size_t>{96, 96, 8}));
}

TEST(FileChunkIndexerRetryTest, RefusedStartsAndLeaseTimeoutsRetryAfterTheirDelays) {
  struct Case {
    const char* reason;
    int delaySeconds;
    std::function<void(IndexerFixture&)> arrange;
  };
  const Case cases[] = {
      {"workModeDeferred", 90, [](IndexerFixture& f) { f.indexer->setWorkMode(WorkMode::deepIdle); }},
      {"safetyGate", 300, [](IndexerFixture& f) { f.conditions.setResidentMemoryBytes(2ull << 30); }},
      {"safetyGate", 300, [](IndexerFixture& f) { f.conditions.setThermalState(ThermalState::serious); }},
      {"coordinatorTimeoutFinalBatch", 120 + 90,
       [](IndexerFixture& f) {
         f.coordinator->acquire("messages", std::chrono::hours(1),
                                Completion<EmbeddingCoordinator::LeaseRef>(
                                    [&f](EmbeddingCoordinator::LeaseRef lease) { f.heldLease = lease; }));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    IndexerFixture f;
    f.writeFile("a.txt", "text");
    c.arrange(f);
    f.env.runUntilIdle();
    f.indexer->startContinuousIndexing({f.folder});
    f.env.advanceBy(std::chrono::seconds(c.delaySeconds) - std::chrono::milliseconds(500));
    EXPECT_EQ(f.signals("FileChunkIndexer.retryScheduled"), 0u);
    f.env.advanceBy(std::chrono::seconds(1));
    auto retries = f.telemetry.sink().named("FileChunkIndexer.retryScheduled");
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries[0].parameters.at("reason"), c.reason);
  }
}

TEST_F(FileChunkIndexerTest, UserSearchPausesAtTheNextBatchUntilResumed) {
  f.store->addDelay = std::chrono::seconds(1);
  f.writeFile("long.txt", std::string(40 * 320, 'x'));  // 40 chunks: five leases of 8
  f.indexer->startContinuousIndexing({f.folder});
  while (f.store->adds.empty()) f.env.advanceBy(std::chrono::milliseconds(1));
  f.indexer->requestPause();
  f.env.advanceBy(std::chrono::minutes(30));
  EXPECT_EQ(f.store->adds.size(), 1u);
  EXPECT_EQ(f.progress.back().phase, FileChunkIndexer::Phase::paused);
  EXPECT_EQ(f.signals("FileChunkIndexer.stallDetected"), 0u);  // a deliberate wait
  f.indexer->resume();
  f.env.advanceBy(std::chrono::seconds(10));
  EXPECT_EQ(f.store->adds.size(), 5u);
  EXPECT_EQ(f.store->chunks[f.folder + "/long.txt"].size(), 40u);
}

TEST_F(FileChunkIndexerTest, CriticalHeatHoldsTheRunUntilItImproves) {
  f.writeFile("a.txt", "one");
  f.writeFile("b.txt", "two");
  f.indexer->startContinuousIndexing({f.folder});
  while (f.store->adds.empty()) f.env.advanceBy(std::chrono::milliseconds(1));
  f.conditions.setThermalState(ThermalState::critical);
  f.env.advanceBy(std::chrono::hours(1));
  EXPECT_EQ(f.store->adds.size(), 1u);
  EXPECT_EQ(f.signals("FileEmbedding.thermalPause"), 1u);
  EXPECT_EQ(f.signals("FileChunkIndexer.stallDetected"), 0u);
  f.conditions.setThermalState(ThermalState::fair);
  f.env.advanceBy(std::chrono::seconds(10));
  EXPECT_EQ(f.store->adds.size(), 2u);
}

TEST_F(FileChunkIndexerTest, StallsRestartThenEscalateToARefusedRebuildThenRetry) {
  f.store->hangAdds = true;  // every batch hangs, so every pass stalls
  f.writeFile("a.txt", "text");
  f.indexer->startContinuousIndexing({f.folder});
  auto stalls = [&] { return f.signals("FileChunkIndexer.stallDetected"); };
  f.env.advanceBy(std::chrono::seconds(600));
  EXPECT_EQ(stalls(), 0u);
  f.env.advanceBy(std::chrono::seconds(61));
  EXPECT_EQ(stalls(), 1u);
  EXPECT_EQ(f.signals("FileChunkIndexer.stallRestart"), 1u);
  f.env.advanceBy(std::chrono::seconds(1400));
  EXPECT_EQ(f.signals("FileChunkIndexer.stallRestart"), 2u);
  EXPECT_EQ(f.signals("FileChunkIndexer.stallEscalated"), 1u);
  ASSERT_EQ(f.store->rebuilds.size(), 1u);
  EXPECT_EQ(f.store->rebuilds[0].kind, RebuildIntent::Kind::system);
  EXPECT_EQ(f.telemetry.sink().named("FileChunkIndexer.rebuildBlocked")[0].parameters.at("reason"),
            "rebuildBlocked_stallRecovery");
  EXPECT_TRUE(f.store->removed.size() <= 3u);        // one removal per attempt; nothing was wiped
  f.env.advanceBy(std::chrono::seconds(120 + 661));  // the retry, then a fourth stall
  EXPECT_EQ(f.signals("FileChunkIndexer.stallPersistedAfterEscalation"), 1u);
  f.env.advanceBy(std::chrono::seconds(181));
  auto retries = f.telemetry.sink().named("FileChunkIndexer.retryScheduled");
  ASSERT_EQ(retries.size(), 2u);
  EXPECT_EQ(retries[0].parameters.at("reason"), "rebuildBlocked_stallRecovery");
  EXPECT_EQ(retries[1].parameters.at("reason"), "stallPersistedAfterEscalation");
}

TEST_F(FileChunkIndexerTest, UserRebuildStartsOverAndMarksTheRunAsRebuilding) {
  f.writeFile("a.txt", "text");
  f.indexer->startContinuousIndexing({f.folder});
  f.env.advanceBy(std::chrono::seconds(5));
  ASSERT_EQ(f.store->adds.size(), 1u);
  std::optional<Status> rebuilt;
  f.indexer->rebuildIndex(FileChunkIndexer::RebuildTrigger::user, Completion<Status>([&](Status s) { rebuilt = s; }));
  f.env.advanceBy(std::chrono::milliseconds(1));
  ASSERT_TRUE(rebuilt && rebuilt->ok());
  EXPECT_TRUE(f.progress.back().isRebuilding);
  f.env.advanceBy(std::chrono::seconds(5));
  EXPECT_EQ(f.store->adds.size(), 2u);  // indexed again though unchanged
  EXPECT_EQ(f.store->rebuilds.at(0).kind, RebuildIntent::Kind::user);
  EXPECT_FALSE(f.progress.back().isRebuilding);
}

}  // namespace
}  // namespace pallix
