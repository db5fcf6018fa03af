#include "IndexingServiceFixture.h"

namespace pallix {
namespace {

using testing::expectCatalogMatchesModel;
using testing::IndexingServiceTest;

// The catalog follows random edits; a rescan with nothing changed writes
// nothing, even from a new service over the same store.
TEST_F(IndexingServiceTest, CatalogMatchesModelAcrossRandomEditsAndUnchangedRescansWriteNothing) {
  std::mt19937 rng(21);
  testing::RandomTree::generate(documents_, rng, 200, 4);
  using Phase = IndexingProgress::Phase;
  std::vector<IndexingProgress> progress;
  FullScanSummary summary;
  auto scan = [&] {
    progress.clear();
    service().indexAll([&](const FullScanSummary& s) { summary = s; },
                       [&](const IndexingProgress& p) { progress.push_back(p); });
    env_.runUntilIdle();
  };
  scan();
  EXPECT_TRUE(summary.mutated);
  EXPECT_FALSE(summary.error);
  expectCatalogMatchesModel(catalog(), documents_);
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], (IndexingProgress{Phase::scanning, catalog().size(), 0}));
  EXPECT_EQ(progress.back(), (IndexingProgress{Phase::saving, 0, catalog().size()}));
  for (int round = 0; round < 4; ++round) {
    // Remove some files, grow others, add new ones.
    std::vector<std::string> files;
    for (auto& entry : std::filesystem::recursive_directory_iterator(documents_)) {
      if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    for (const std::string& path : files) {
      int action = static_cast<int>(rng() % 6);
      if (action == 0) std::filesystem::remove(path);
      if (action == 1) std::ofstream(path, std::ios::binary) << std::string(400 + rng() % 100, 'y');
    }
    testing::RandomTree::generate(documents_, rng, 30, 4);
    const UUID before = service().snapshotVersion();
    EXPECT_TRUE(fullScan().mutated);
    EXPECT_NE(service().snapshotVersion(), before);
    expectCatalogMatchesModel(catalog(), documents_);
  }
  const UUID version = service().snapshotVersion();
  const int64_t changes = store_->totalChanges();
  scan();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), (IndexingProgress{Phase::scanning, catalog().size(), 0}));
  EXPECT_TRUE(summary.unchanged);
  EXPECT_FALSE(summary.mutated);
  EXPECT_EQ(store_->totalChanges(), changes);
  EXPECT_EQ(service().snapshotVersion(), version);
  service_.reset();
  EXPECT_TRUE(fullScan().unchanged);
  EXPECT_EQ(store_->totalChanges(), changes);
}

TEST_F(IndexingServiceTest, PersistedSnapshotReportsCountsAndDesktopEntriesGetTheGenericIcon) {
  scratch_.file("Documents/a.txt");
  scratch_.file("user/applications/org.example.App.desktop", "Name=App\n");
  ScopedTelemetryRecorder telemetry;
  fullScan();
  auto persisted = telemetry.sink().named("IndexingService.snapshotPersisted");
  ASSERT_EQ(persisted.size(), 1u);
  EXPECT_EQ(persisted[0].parameters.at("appCount"), "1");
  EXPECT_EQ(persisted[0].parameters.at("fileCount"), "1");
  EXPECT_EQ(persisted[0].parameters.at("mutated"), "1");
  // The fixed entry source reads no Icon key: the generic application icon.
  auto app = service().catalog().fetchByBundleIdentifier("org.example.App.desktop").value();
  ASSERT_EQ(app.size(), 1u);
  std::optional<std::string> file;
  service().icon(app[0], 48, [&](std::optional<std::string> f) { file = f; });
  env_.runUntilIdle();
  EXPECT_EQ(file, std::optional<std::string>("/icons/application-x-executable-48.png"));
}

TEST_F(IndexingServiceTest, TwoCopiesOfAnAppKeepTheHigherPriorityOne) {
  auto plist =
      std::string("<plist><dict><key>CFBundleIdentifier</key><string>com.example.Tool</string></dict></plist>");
  scratch_.file("OtherApps/Tool.app/Contents/Info.plist", plist);
  scratch_.file("Applications/Tool.app/Contents/Info.plist", plist);  // the home "Applications": priority 2
  fullScan();
  EXPECT_EQ(service().catalog().count(IndexedItem::ItemType::app).value(), 1);
  auto tool = service().catalog().fetchByBundleIdentifier("com.example.tool").value();
  ASSERT_EQ(tool.size(), 1u);
  EXPECT_EQ(tool[0].path, scratch_.path() + "/Applications/Tool.app");
  EXPECT_EQ(tool[0].domainPriority, 2);

  // The preferred copy disappears: the record moves to the other copy.
  std::filesystem::remove_all(scratch_.path() + "/Applications/Tool.app");
  fullScan();
  tool = service().catalog().fetchByBundleIdentifier("com.example.tool").value();
  ASSERT_EQ(tool.size(), 1u);
  EXPECT_EQ(tool[0].path, scratch_.path() + "/OtherApps/Tool.app");
}

TEST_F(IndexingServiceTest, BurstOfEventsIsDebouncedIntoOneRunAndFlashFilesWriteNothing) {
  fullScan();
  service().startWatching();
  EXPECT_TRUE(service().isWatching());
  scratch_.file("Documents/one.txt");
  deliver(documents_ + "/one.txt", kDirectoryEventCreated);
  env_.advanceBy(seconds(1.4));
  EXPECT_TRUE(incrementalRuns_.empty());
  scratch_.file("Documents/two.txt");
  deliver(documents_ + "/two.txt", kDirectoryEventCreated);
  env_.advanceBy(seconds(1.4));
  EXPECT_TRUE(incrementalRuns_.empty());  // the second event restarted the 1.5 s wait
  const UUID before = service().snapshotVersion();
  env_.advanceBy(seconds(0.2));
  ASSERT_EQ(incrementalRuns_.size(), 1u);
  EXPECT_EQ(incrementalRuns_[0].changeCount, 2u);
  EXPECT_EQ(incrementalRuns_[0].created, 2u);
  EXPECT_TRUE(item(documents_ + "/one.txt"));
  EXPECT_TRUE(item(documents_ + "/two.txt"));
  EXPECT_NE(service().snapshotVersion(), before);
  // A file created and removed within one window writes nothing.
  const int64_t changes = store_->totalChanges();
  deliver(documents_ + "/flash.txt", kDirectoryEventCreated);
  deliver(documents_ + "/flash.txt", kDirectoryEventRemoved);
  env_.advanceBy(seconds(2));
  ASSERT_EQ(incrementalRuns_.size(), 2u);
  EXPECT_EQ(incrementalRuns_[1].changeCount, 1u);
  EXPECT_EQ(incrementalRuns_[1].created + incrementalRuns_[1].modified + incrementalRuns_[1].removed, 0u);
  EXPECT_EQ(store_->totalChanges(), changes);
  EXPECT_EQ(catalog().size(), 2u);
}

TEST_F(IndexingServiceTest, IncrementalRunsModifyRemoveAddAndFollowTheWalkRules) {
  scratch_.file("Documents/doc.txt", "1");
  scratch_.file("Documents/old/inner.txt", "1");
  fullScan();
  service().startWatching();
  scratch_.file("Documents/doc.txt", "1234");
  deliver(documents_ + "/doc.txt", kDirectoryEventModified);
  std::filesystem::remove_all(documents_ + "/old");
  deliver(documents_ + "/old", kDirectoryEventRemoved | kDirectoryEventIsDirectory);
  scratch_.file("Documents/new/deep/x.md", "#");
  scratch_.file("Documents/new/Node_Modules/skip.js", "");
  deliver(documents_ + "/new", kDirectoryEventCreated | kDirectoryEventIsDirectory);
  deliver(documents_ + "/.hidden", kDirectoryEventCreated);
  deliver(scratch_.path() + "/elsewhere/file.txt", kDirectoryEventCreated);  // not watched: dropped
  env_.advanceBy(seconds(2));
  EXPECT_EQ(item(documents_ + "/doc.txt")->sizeBytes, 4);
  EXPECT_FALSE(item(documents_ + "/old"));
  EXPECT_FALSE(item(documents_ + "/old/inner.txt"));
  EXPECT_TRUE(item(documents_ + "/new/deep/x.md"));
  EXPECT_FALSE(item(documents_ + "/new/Node_Modules/skip.js"));
  ASSERT_EQ(incrementalRuns_.size(), 1u);
  EXPECT_EQ(incrementalRuns_[0].changeCount, 4u);
  EXPECT_EQ(incrementalRuns_[0].modified, 1u);
  EXPECT_EQ(incrementalRuns_[0].removed, 2u);
  // The catalog equals what a full scan finds, and that scan writes no records.
  FullScanSummary check = fullScan();
  EXPECT_EQ(check.inserted + check.updated + check.deleted, 0u);
  expectCatalogMatchesModel(catalog(), documents_);
  // Files created later follow the same walk rules as a full scan.
  scratch_.file("Documents/auth/login.c");
  scratch_.file("Documents/src/data.db/rows.csv");
  scratch_.file("Documents/.ssh/config");
  scratch_.file("Outside/big.iso", std::string(4096, 'x'));
  std::filesystem::create_symlink(scratch_.path() + "/Outside/big.iso", documents_ + "/big.iso");
  std::filesystem::create_symlink(documents_ + "/auth/login.c", documents_ + "/login.c");
  for (const char* created : {"auth", "src", ".ssh", "big.iso", "login.c"}) {
    deliver(documents_ + "/" + created, kDirectoryEventCreated);
  }
  env_.advanceBy(seconds(2));
  EXPECT_TRUE(item(documents_ + "/auth/login.c"));
  EXPECT_TRUE(item(documents_ + "/src/data.db/rows.csv"));
  EXPECT_FALSE(item(documents_ + "/auth"));
  EXPECT_FALSE(item(documents_ + "/login.c"));
  EXPECT_FALSE(item(documents_ + "/big.iso"));
  EXPECT_FALSE(item(documents_ + "/.ssh/config"));
  check = fullScan();
  EXPECT_EQ(check.inserted + check.updated + check.deleted, 0u);
}

// Lost events, a rescan flag or a full scan more than three hours old turn the
// next run into a full scan; its changes are taken with it.
TEST_F(IndexingServiceTest, NextRunBecomesAFullScan) {
  enum class Why { overflow, rescanFlag, staleFullScan };
  for (Why why : {Why::overflow, Why::rescanFlag, Why::staleFullScan}) {
    SCOPED_TRACE(static_cast<int>(why));
    service_.reset();
    scansStarted_ = 0;
    incrementalRuns_.clear();
    if (why == Why::staleFullScan) {
      ASSERT_TRUE(
          defaults_.setDate(IndexingService::kLastFullScanTimeKey, env_.clock().wallNow() - std::chrono::hours(4))
              .ok());
    } else {
      fullScan();
    }
    const size_t scansBefore = scansStarted_;
    service().startWatching();
    scratch_.file("Documents/new.txt");
    if (why == Why::overflow) {
      std::vector<DirectoryEvent> events;
      for (int i = 0; i <= 10000; ++i)
        events.push_back({documents_ + "/f" + std::to_string(i), kDirectoryEventCreated});
      watchers_.last->deliver(events);
      EXPECT_TRUE(service().changeAccumulator().overflowDetected());
    } else {
      deliver(why == Why::rescanFlag ? documents_ : documents_ + "/new.txt",
              why == Why::rescanFlag ? kDirectoryEventMustScanSubDirs : kDirectoryEventCreated);
    }
    EXPECT_EQ(scansStarted_, scansBefore);
    env_.advanceBy(seconds(2));
    EXPECT_EQ(scansStarted_, scansBefore + 1);
    EXPECT_TRUE(incrementalRuns_.empty());
    EXPECT_EQ(service().changeAccumulator().size(), 0u);
    EXPECT_TRUE(item(documents_ + "/new.txt"));
  }
}

TEST_F(IndexingServiceTest, FullScanRequestedWhileActiveRunsWhenIdle) {
  fullScan();
  service().startWatching();
  ScopedTelemetryRecorder telemetry;
  service().setWorkMode(WorkMode::active);
  service().setWorkMode(WorkMode::active);
  EXPECT_EQ(telemetry.sink().count("IndexingService.workModeChanged"), 1u);
  deliver(documents_, kDirectoryEventRootChanged);
  env_.advanceBy(seconds(5));
  EXPECT_EQ(scansStarted_, 1u);
  EXPECT_TRUE(service().hasDeferredIncrementalRun());
  service().setWorkMode(WorkMode::idle);
  env_.runUntilIdle();
  EXPECT_EQ(scansStarted_, 2u);
  EXPECT_FALSE(service().hasDeferredIncrementalRun());
  EXPECT_EQ(telemetry.sink().named("IndexingService.workModeChanged").back().parameters.at("mode"), "idle");
}

TEST_F(IndexingServiceTest, FullScansWaitForIdleAndRepeatEveryThreeHours) {
  scratch_.file("Documents/a.txt");
  service().setWorkMode(WorkMode::active);
  service().startInitialIndexingIfNeeded();
  env_.runUntilIdle();
  EXPECT_TRUE(catalog().empty());
  EXPECT_TRUE(service().hasDeferredFullScan());
  service().setWorkMode(WorkMode::deepIdle);
  env_.runUntilIdle();
  EXPECT_TRUE(catalog().empty());
  service().setWorkMode(WorkMode::idle);
  env_.runUntilIdle();
  EXPECT_EQ(catalog().size(), 1u);
  EXPECT_FALSE(service().hasDeferredFullScan());
  // Then a full scan every three hours, again waiting for idle.
  EXPECT_EQ(scansStarted_, 1u);
  env_.advanceBy(std::chrono::hours(3) - std::chrono::seconds(1));
  EXPECT_EQ(scansStarted_, 1u);
  env_.advanceBy(std::chrono::seconds(2));
  EXPECT_EQ(scansStarted_, 2u);
  service().setWorkMode(WorkMode::active);
  env_.advanceBy(std::chrono::hours(3) + std::chrono::seconds(1));
  EXPECT_EQ(scansStarted_, 2u);
  EXPECT_TRUE(service().hasDeferredFullScan());
  service().setWorkMode(WorkMode::idle);
  env_.runUntilIdle();
  EXPECT_EQ(scansStarted_, 3u);
}

TEST_F(IndexingServiceTest, ScanRequestedDuringScanRunsOnceMore) {
  int completions = 0;
  service().indexAll([&](const FullScanSummary&) { ++completions; });
  EXPECT_TRUE(service().isFullScanRunning());
  service().indexAll([&](const FullScanSummary&) { ++completions; });
  service().indexAll([&](const FullScanSummary&) { ++completions; });
  env_.runUntilIdle();
  EXPECT_EQ(completions, 3);
  EXPECT_EQ(scansStarted_, 2u);
  EXPECT_FALSE(service().isFullScanRunning());
}

TEST_F(IndexingServiceTest, DirectoryEditsPersistRebuildWatcherAndRescan) {
  fullScan();
  service().startWatching();
  EXPECT_EQ(watchers_.made, 1);
  std::string projects = scratch_.dir("Projects");
  scratch_.file("Projects/plan.txt");
  scratch_.file("Projects/sub/kept.txt");
  const UUID version = service().directoryVersion();
  ASSERT_TRUE(service().addFileDirectory(projects + "/").ok());
  EXPECT_NE(service().directoryVersion(), version);
  EXPECT_EQ(watchers_.made, 2);
  EXPECT_EQ(defaults_.stringArrayValue(IndexingService::kFileDirectoriesKey),
            (std::vector<std::string>{documents_, projects}));
  env_.advanceBy(seconds(2));
  EXPECT_TRUE(item(projects + "/plan.txt"));
  // Removing a folder keeps a listed folder inside it, records and all.
  ASSERT_TRUE(service().addFileDirectory(projects + "/sub").ok());
  env_.advanceBy(seconds(2));
  ASSERT_TRUE(item(projects + "/sub/kept.txt"));
  const int64_t keptId = item(projects + "/sub/kept.txt")->id;
  ASSERT_TRUE(service().removeFileDirectory(projects).ok());
  env_.advanceBy(seconds(2));
  EXPECT_FALSE(item(projects + "/plan.txt"));
  EXPECT_FALSE(item(projects + "/sub"));
  ASSERT_TRUE(item(projects + "/sub/kept.txt"));
  EXPECT_EQ(item(projects + "/sub/kept.txt")->id, keptId);
}

// While the watches are rebuilt for a folder edit, the events of the folders
// already watched can be lost (none is delivered here): those folders are
// walked again, so what was created or deleted meanwhile is caught up with
// all the same.
TEST_F(IndexingServiceTest, ChangesMadeWhileTheWatchesAreRebuiltAreCaughtUpWith) {
  scratch_.file("Documents/old/deleted during the edit.txt");
  scratch_.file("Documents/kept.txt");
  fullScan();
  ASSERT_TRUE(item(documents_ + "/old/deleted during the edit.txt"));
  service().startWatching();
  std::string projects = scratch_.dir("Projects");
  scratch_.file("Documents/created during the edit.txt");
  scratch_.file("Documents/deeper/and below.txt");
  std::filesystem::remove_all(documents_ + "/old");
  ASSERT_TRUE(service().addFileDirectory(projects).ok());
  EXPECT_EQ(watchers_.made, 2);
  EXPECT_TRUE(watchers_.last->running());
  env_.advanceBy(seconds(2));
  EXPECT_TRUE(item(documents_ + "/created during the edit.txt"));
  EXPECT_TRUE(item(documents_ + "/deeper/and below.txt"));
  EXPECT_FALSE(item(documents_ + "/old/deleted during the edit.txt"));
  EXPECT_FALSE(item(documents_ + "/old"));
  EXPECT_TRUE(item(documents_ + "/kept.txt"));
  // An edit while nothing is watched has no events to lose.
  service().stopWatching();
  scratch_.file("Documents/while unwatched.txt");
  ASSERT_TRUE(service().removeFileDirectory(projects).ok());
  env_.advanceBy(seconds(2));
  EXPECT_FALSE(item(documents_ + "/while unwatched.txt"));
}

TEST_F(IndexingServiceTest, IconCacheIsBoundedAndClearedOnAppearanceOrDeepIdle) {
  std::vector<IndexedItem> items;
  for (int i = 0; i < 330; ++i) {
    IndexedItem item;
    item.path = "/f/" + std::to_string(i);
    items.push_back(item);
  }
  std::optional<std::string> first;
  service().icon(items[0], 64, [&](std::optional<std::string> file) { first = file; });
  env_.runUntilIdle();
  EXPECT_EQ(first, std::optional<std::string>("/icons/text-x-generic-64.png"));
  EXPECT_EQ(service().cachedIcon(items[0], 64), first);
  for (const IndexedItem& item : items) service().icon(item, 64, nullptr);
  env_.runUntilIdle();
  EXPECT_EQ(service().iconCacheCount(), IndexingService::kIconCacheCountLimit);
  EXPECT_LE(service().iconCacheCost(), IndexingService::kIconCacheCostLimit);
  EXPECT_FALSE(service().cachedIcon(items[1], 64));  // least recently used went first
  // Large icons hit the cost limit before the count limit.
  for (int i = 0; i < 60; ++i) {
    IndexedItem big;
    big.path = "/big/" + std::to_string(i);
    service().icon(big, 1024, nullptr);
  }
  env_.runUntilIdle();
  EXPECT_LE(service().iconCacheCost(), IndexingService::kIconCacheCostLimit);

  const UUID token = service().iconRefreshToken();
  service().handleAppearanceChange("dark");
  EXPECT_EQ(service().iconCacheCount(), 0u);
  EXPECT_NE(service().iconRefreshToken(), token);

  icons_.calls = 0;
  service().prefetchIcons(items, 32);
  env_.runUntilIdle();
  EXPECT_EQ(icons_.calls, static_cast<int>(IndexingService::kIconPrefetchLimit));
  ScopedTelemetryRecorder telemetry;
  service().setWorkMode(WorkMode::deepIdle);
  EXPECT_EQ(service().iconCacheCount(), 0u);
  ASSERT_EQ(telemetry.sink().count("IndexingService.memoryTrimmed"), 1u);
  EXPECT_EQ(telemetry.sink().named("IndexingService.memoryTrimmed")[0].parameters.at("reason"), "deepIdle");
}

// A rescan keeps pins and last use; a failed save is reported and keeps the
// catalog; an empty snapshot clears it.
TEST_F(IndexingServiceTest, RescansKeepPinsAFailedSaveKeepsTheCatalogAndAnEmptyOneClearsIt) {
  scratch_.file("Documents/a.txt", "1");
  fullScan();
  IndexedItem kept = *item(documents_ + "/a.txt");
  kept.isPinned = true;
  kept.lastUsed = dateFromSecondsSince1970(1.6e9);
  ASSERT_TRUE(service().catalog().save(kept).ok());
  scratch_.file("Documents/a.txt", "12345");
  fullScan();
  IndexedItem after = *item(documents_ + "/a.txt");
  EXPECT_EQ(after.id, kept.id);
  EXPECT_EQ(after.sizeBytes, 5);
  EXPECT_TRUE(after.isPinned);
  EXPECT_TRUE(after.lastUsed);
  scratch_.file("Documents/b.txt");
  ASSERT_TRUE(store_
                  ->execute("CREATE TRIGGER refuse BEFORE INSERT ON IndexedItem BEGIN SELECT RAISE(ABORT, "
                            "'disk says no'); END;")
                  .ok());
  ScopedTelemetryRecorder telemetry;
  FullScanSummary summary = fullScan();
  ASSERT_TRUE(summary.error);
  EXPECT_EQ(telemetry.sink().count("IndexingService.snapshotFailed"), 1u);
  EXPECT_EQ(catalog().size(), 1u);
  ASSERT_TRUE(store_->execute("DROP TRIGGER refuse").ok());
  FullScanSummary retry = fullScan();
  EXPECT_FALSE(retry.error);
  EXPECT_EQ(catalog().size(), 2u);
  std::filesystem::remove(documents_ + "/a.txt");
  std::filesystem::remove(documents_ + "/b.txt");
  FullScanSummary cleared = fullScan();
  EXPECT_TRUE(catalog().empty());
  EXPECT_TRUE(cleared.mutated);
  EXPECT_EQ(telemetry.sink().count("IndexingService.snapshotEmpty"), 1u);
  auto clearedEvents = telemetry.sink().named("IndexingService.snapshotCleared");
  ASSERT_EQ(clearedEvents.size(), 1u);
  EXPECT_EQ(clearedEvents[0].parameters.at("removed"), "2");
}

}  // namespace
}  // namespace pallix
