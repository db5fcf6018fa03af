// The file chunk indexer in virtual time: passes, pacing, polling with
// coalescing, retries, pauses, thermal holds and the stall watchdog.
#include <gtest/gtest.h>

#include "tests/semantic/IndexerTestSupport.h"

namespace pallix {
namespace {

using testing::IndexerFixture;
using Outcome = FileChunkIndexer::PassSummary::Outcome;

TEST(FileChunkIndexerTest, PausePerFileIsTheIntensityTimesTheThermalMultiplier) {
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

  // Observed: with `low` and a fair machine the next file starts 2000 ms after the last batch.
  IndexerFixture f;
  f.indexer->setIndexingIntensity(IndexingIntensity::low);
  f.conditions.setThermalState(ThermalState::fair);
  f.writeFile("a.txt", "first file");
  f.writeFile("b.txt", "second file");
  f.fullPass();
  ASSERT_EQ(f.store->adds.size(), 2u);
  EXPECT_EQ(f.store->adds[1].first - f.store->adds[0].first, std::chrono::milliseconds(2000));
}

TEST(FileChunkIndexerTest, FullPassIndexesWhatChangedAndSkipsUnchangedContent) {
  IndexerFixture f;
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

TEST(FileChunkIndexerTest, WatcherWaitsUntilAChangedFileHasBeenQuietFor45Seconds) {
  IndexerFixture f;
  f.indexer->startContinuousIndexing({f.folder});
  f.env.advanceBy(std::chrono::seconds(290));
  const std::string young = f.writeFile("young.txt", "being edited", 20);  // 30 s old at the poll
  f.env.advanceBy(std::chrono::seconds(60));
  EXPECT_EQ(f.store->addsFor(young), 0u);
  f.env.advanceBy(std::chrono::seconds(300));
  EXPECT_EQ(f.store->addsFor(young), 1u);
}

TEST(FileChunkIndexerTest, WatcherTakesAtMost96SettledChangesPerPass) {
  IndexerFixture f;
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

TEST(FileChunkIndexerTest, RefusedStartsAndLeaseTimeoutsRetryAfterTheirDelays) {
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

TEST(FileChunkIndexerTest, UserSearchPausesAtTheNextBatchUntilResumed) {
  IndexerFixture f;
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

TEST(FileChunkIndexerTest, CriticalHeatHoldsTheRunUntilItImproves) {
  IndexerFixture f;
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

TEST(FileChunkIndexerTest, DeepIdleSlowsPollingToHalfAnHour) {
  IndexerFixture f;
  f.indexer->startContinuousIndexing({f.folder});
  f.env.advanceBy(std::chrono::seconds(1));
  f.indexer->setWorkMode(WorkMode::deepIdle);
  f.writeFile("late.txt", "added while the machine rests");
  f.env.advanceBy(std::chrono::seconds(1700));
  EXPECT_TRUE(f.store->adds.empty());
  f.env.advanceBy(std::chrono::seconds(200));
  EXPECT_EQ(f.store->adds.size(), 1u);
}

TEST(FileChunkIndexerTest, StallsRestartThenEscalateToARefusedRebuildThenRetry) {
  IndexerFixture f;
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

TEST(FileChunkIndexerTest, UserRebuildStartsOverAndMarksTheRunAsRebuilding) {
  IndexerFixture f;
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
