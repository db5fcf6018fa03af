// The first snapshot of an empty catalog, written while its scan runs: the
// catalog it leaves holds exactly what the scan found, ids in path order as
// a diff inserts them; a load that fails leaves it empty and claiming
// nothing; later edits keep the file name index exact.
#include "IndexingServiceFixture.h"

namespace pallix {
namespace {

using testing::IndexingServiceTest;

class FirstIndexTest : public IndexingServiceTest {
 protected:
  // `folders` folders of 30 files, names whose paths sort unlike the
  // folders they are in ("a.txt" comes between "a" and "a/x.txt"), links,
  // desktop entries and a bundle on both sides of the files' paths.
  void makeTree(int folders) {
    for (int f = 0; f < folders; ++f) {
      for (int i = 0; i < 30; ++i) scratch_.file("Documents/bulk/f" + std::to_string(f) + "/doc" + std::to_string(i));
    }
    std::mt19937 rng(7);
    testing::RandomTree::generate(scratch_.dir("Documents/random"), rng, 120, 3);
    for (const char* name : {"a/x.txt", "a b.txt", "a.txt", "a-b/y.txt", "A.TXT", "\xc3\xa4/z.md", "a.d/w"}) {
      scratch_.file(std::string("Documents/") + name);
    }
    std::filesystem::create_symlink(documents_ + "/a.txt", documents_ + "/to-a.txt");
    std::filesystem::create_symlink(scratch_.path() + "/nowhere", documents_ + "/dangling");
    scratch_.file("user/applications/org.example.Editor.desktop", "Name=Editor\n");
    scratch_.file("system/applications/org.example.Viewer.desktop", "Name=Viewer\n");
    scratch_.file("Applications/Tool.app/Contents/Info.plist",
                  "<plist><dict><key>CFBundleIdentifier</key><string>com.example.Tool</string></dict></plist>");
  }

  // What the scan finds, as the records a diff inserts (in path order), in
  // the form they are read back in.
  std::vector<IndexedItem> scannedRecords() {
    CatalogScanner scanner(filter_, dirs_.home, &entries_);
    ScanResult result = scanner.scan(ScanDirectories{service().appDirectories(), service().userFileDirectories()});
    std::vector<IndexedItem> items;
    for (const auto* list : {&result.apps, &result.files}) {
      for (const IndexCandidate& c : *list) items.push_back(normalized(c.makeItem(Date{})));
    }
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return items;
  }

  static IndexedItem normalized(IndexedItem item) {
    item = testing::asStored(std::move(item));
    item.id = 0;
    item.lastIndexed = Date{};
    return item;
  }
};

TEST_F(FirstIndexTest, IsWrittenWhileItsScanRunsAndHoldsExactlyWhatTheScanFound) {
  struct Case {
    int folders;
    bool writtenWhileScanning;  // large enough to be loaded while the scan runs
  };
  for (const Case& c : {Case{0, false}, Case{40, true}}) {
    SCOPED_TRACE(c.folders);
    // A new store: an empty catalog that has never been indexed.
    service_.reset();
    store_.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(dirs_.storePath() + suffix);
    auto reopened = PersistentStore::open(dirs_.storePath(), catalogMigrationSteps());
    ASSERT_TRUE(reopened.ok());
    store_ = std::move(reopened.value());
    std::filesystem::remove_all(documents_);
    std::filesystem::remove_all(scratch_.path() + "/user");
    scratch_.dir("Documents");
    makeTree(c.folders);
    const std::vector<IndexedItem> expected = scannedRecords();

    std::vector<int64_t> storedWhileScanning;
    FullScanSummary summary;
    service().indexAll([&](const FullScanSummary& s) { summary = s; },
                       [&](const IndexingProgress& p) {
                         if (p.phase == IndexingProgress::Phase::scanning) {
                           storedWhileScanning.push_back(service().catalog().count().value());
                         }
                       });
    env_.runUntilIdle();
    ASSERT_FALSE(summary.error);
    ASSERT_FALSE(storedWhileScanning.empty());
    EXPECT_EQ(storedWhileScanning.back(), c.writtenWhileScanning ? static_cast<int64_t>(expected.size()) : 0);
    EXPECT_EQ(summary.inserted, expected.size());
    std::vector<IndexedItem> stored = catalog();
    for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i].id, static_cast<int64_t>(i + 1));
    std::transform(stored.begin(), stored.end(), stored.begin(), normalized);
    EXPECT_EQ(stored, expected);
    EXPECT_TRUE(testing::indexMatchesTable(*store_));
    EXPECT_TRUE(fullScan().unchanged);
  }
}

TEST_F(FirstIndexTest, ThatFailsHalfWayLeavesAnEmptyCatalogThatClaimsNothingAndLaterEditsKeepItsIndexExact) {
  makeTree(40);
  scratch_.file("Documents/zz-stop.txt");
  ASSERT_TRUE(store_
                  ->execute("CREATE TRIGGER refuse BEFORE INSERT ON IndexedItem WHEN new.name = 'zz-stop' BEGIN "
                            "SELECT RAISE(ABORT, 'disk says no'); END;")
                  .ok());
  ScopedTelemetryRecorder telemetry;
  FullScanSummary failed = fullScan();
  ASSERT_TRUE(failed.error);
  EXPECT_NE(failed.error->description().find("disk says no"), std::string::npos);
  EXPECT_EQ(telemetry.sink().count("IndexingService.snapshotFailed"), 1u);
  EXPECT_EQ(telemetry.sink().count("IndexingService.snapshotPersisted"), 0u);
  EXPECT_TRUE(catalog().empty());
  EXPECT_TRUE(testing::indexMatchesTable(*store_));

  ASSERT_TRUE(store_->execute("DROP TRIGGER refuse").ok());
  FullScanSummary retried = fullScan();
  EXPECT_FALSE(retried.unchanged);
  EXPECT_EQ(retried.inserted, catalog().size());
  ASSERT_GE(retried.inserted, IndexingService::kBulkLoadMinimum);
  // Later edits keep the file name index exact.
  service().startWatching();
  std::filesystem::rename(documents_ + "/a.txt", documents_ + "/renamed.md");
  deliver(documents_ + "/a.txt", kDirectoryEventRenamed);
  deliver(documents_ + "/renamed.md", kDirectoryEventRenamed);
  std::filesystem::remove_all(documents_ + "/bulk/f3");
  deliver(documents_ + "/bulk/f3", kDirectoryEventRemoved | kDirectoryEventIsDirectory);
  scratch_.file("Documents/bulk/f4/new.txt");
  deliver(documents_ + "/bulk/f4/new.txt", kDirectoryEventCreated);
  env_.advanceBy(seconds(2));
  EXPECT_TRUE(item(documents_ + "/renamed.md"));
  EXPECT_FALSE(item(documents_ + "/bulk/f3/doc0"));
  EXPECT_TRUE(item(documents_ + "/bulk/f4/new.txt"));
  EXPECT_TRUE(testing::indexMatchesTable(*store_));
}

// On real threads: the service destroyed while its first snapshot is being
// loaded (the main connection inside the load's transaction) leaves the
// catalog empty, and nothing claims that the snapshot was stored.
TEST_F(FirstIndexTest, DestroyedWhileLoadingOnRealThreadsLeavesNothingBehind) {
  for (int i = 0; i < 3000; ++i) scratch_.file("Documents/f" + std::to_string(i % 10) + "/doc" + std::to_string(i));
  opener_.faults[documents_ + "/f9"] = testing::FaultyDirectoryOpener::Fault::hold;  // the last folder walked
  const std::shared_ptr<RunLoop> main = RunLoop::create();
  IndexingService::Dependencies deps = dependencies();
  deps.mainRunner = main;
  deps.backgroundRunner = SerialExecutor::create("test-scan");
  deps.directoryChangeRunner = SerialExecutor::create("test-dirchange");
  deps.clock = nullptr;
  auto service = std::make_unique<IndexingService>(deps);
  bool completed = false;
  service->indexAll([&](const FullScanSummary&) { completed = true; });
  // Between the tasks of the main thread, until a batch has opened the load.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool sawLoad = false;
  std::function<void()> check = [&] {
    if (!sqlite3_get_autocommit(store_->handle())) {
      sawLoad = true;
      service.reset();
      opener_.release();
      main->quit();
    } else if (std::chrono::steady_clock::now() > deadline) {
      opener_.release();
      main->quit();
    } else {
      main->post(check);
    }
  };
  main->post(check);
  main->run();
  ASSERT_TRUE(sawLoad);
  EXPECT_FALSE(completed);
  EXPECT_TRUE(sqlite3_get_autocommit(store_->handle()));
  EXPECT_EQ(CatalogStore(*store_).count().value(), 0);
  // The next scan writes everything.
  service = std::make_unique<IndexingService>(deps);
  FullScanSummary next;
  service->indexAll([&](const FullScanSummary& s) {
    next = s;
    main->quit();
  });
  main->run();
  EXPECT_FALSE(next.unchanged);
  EXPECT_EQ(next.inserted, testing::RandomTree::model(documents_).size());
  service.reset();
  for (const TaskRunnerPtr& runner : {deps.backgroundRunner, deps.directoryChangeRunner}) {
    std::static_pointer_cast<SerialExecutor>(runner)->shutdown();
  }
  main->runUntilIdle();
}

}  // namespace
}  // namespace pallix
