// How the catalog stays current and keeps what it has: incremental runs in
// deepIdle, folders that cannot be enumerated, directory-list edits made
// here or by another process.
#include "IndexingServiceFixture.h"

namespace pallix {
namespace {

using testing::FaultyDirectoryOpener;
using testing::IndexingServiceTest;

TEST_F(IndexingServiceTest, ChangesAfterTenMinutesHiddenReachTheCatalogWithinAMinute) {
  fullScan();
  service().startWatching();
  std::vector<MonoTime> runStarts;
  service().setIncrementalRunObserver([&](const IncrementalRunSummary& s) {
    runStarts.push_back(env_.clock().now() - std::chrono::duration_cast<Duration>(seconds(s.elapsedSeconds)));
  });
  service().setWorkMode(WorkMode::deepIdle);
  env_.advanceBy(std::chrono::minutes(10));
  // Changes at irregular moments, some right after a run started.
  std::mt19937 rng(3);
  for (int i = 0; i < 12; ++i) {
    env_.advanceBy(std::chrono::milliseconds(rng() % 70000));
    const std::string path = scratch_.file("Documents/late" + std::to_string(i) + ".txt");
    deliver(path, kDirectoryEventCreated);
    auto took = advanceUntil([&] { return item(path).has_value(); }, seconds(120));
    ASSERT_TRUE(took) << path << " never reached the catalog";
    EXPECT_LE(*took, seconds(61)) << path;
  }
  for (size_t i = 1; i < runStarts.size(); ++i) {
    EXPECT_GE(runStarts[i] - runStarts[i - 1], IndexingService::kDeepIdleIncrementalInterval);
  }
}

TEST_F(IndexingServiceTest, InDeepIdleFullScansWaitForIdleWhileChangesAreApplied) {
  struct Case {
    const char* name;
    std::function<void()> requestScan;
  };
  const std::vector<Case> cases = {
      {"lost events", [this] { deliver(documents_, kDirectoryEventMustScanSubDirs); }},
      {"three hours since the last scan", [this] { env_.advanceBy(IndexingService::kFullScanInterval + seconds(1)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    fullScan();
    service().startWatching();
    service().setWorkMode(WorkMode::deepIdle);
    const size_t scans = scansStarted_;
    c.requestScan();
    const std::string path = scratch_.file(std::string("Documents/") + c.name + ".txt");
    deliver(path, kDirectoryEventCreated);
    env_.advanceBy(seconds(62));
    EXPECT_TRUE(item(path));
    EXPECT_EQ(scansStarted_, scans);
    EXPECT_TRUE(service().hasDeferredFullScan());
    service().setWorkMode(WorkMode::idle);
    env_.runUntilIdle();
    EXPECT_EQ(scansStarted_, scans + 1);
  }
}

TEST_F(IndexingServiceTest, FoldersThatCannotBeEnumeratedKeepTheirRecords) {
  using Fault = FaultyDirectoryOpener::Fault;
  struct Case {
    const char* name;
    std::string folder;          // relative to the scratch home
    std::optional<Fault> fault;  // none: the folder is gone from disk
  };
  const std::vector<Case> cases = {
      {"unreadable file directory", "Documents", Fault::open},
      {"file directory on a vanished disk", "Documents", std::nullopt},
      {"unreadable subfolder", "Documents/sub", Fault::open},
      {"subfolder that fails mid-read", "Documents/sub", Fault::read},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    std::filesystem::remove_all(documents_);
    scratch_.file("Documents/top.txt");
    scratch_.file("Documents/sub/inner.txt");
    scratch_.file("Documents/sub/deeper/leaf.txt");
    fullScan();
    const size_t before = catalog().size();
    const std::string folder = scratch_.path() + "/" + c.folder;
    const std::string backup = scratch_.path() + "/backup";
    if (c.fault) {
      opener_.faults[folder] = *c.fault;
    } else {
      std::filesystem::rename(folder, backup);
    }
    FullScanSummary failed = fullScan();
    EXPECT_FALSE(failed.error);
    EXPECT_EQ(failed.failedDirectories, std::vector<std::string>{folder});
    EXPECT_EQ(catalog().size(), before);

    // Enumerated again: what changed meanwhile is caught up.
    opener_.faults.clear();
    if (!c.fault) std::filesystem::rename(backup, folder);
    std::filesystem::remove(documents_ + "/sub/deeper/leaf.txt");
    FullScanSummary recovered = fullScan();
    EXPECT_TRUE(recovered.failedDirectories.empty());
    EXPECT_EQ(recovered.deleted, 1u);
    EXPECT_FALSE(item(documents_ + "/sub/deeper/leaf.txt"));
  }
}

// Incremental runs list exactly what a full scan lists: folders only the name
// rules reject are entered, links add nothing new.
TEST_F(IndexingServiceTest, DirectoryListsEditedElsewhereAreReloadedEvenInDeepIdle) {
  std::string projects = scratch_.dir("Projects");
  scratch_.file("Projects/plan.txt");
  scratch_.file("Documents/notes.txt");
  fullScan();
  service().startWatching();
  service().setWorkMode(WorkMode::deepIdle);
  EXPECT_FALSE(service().reloadDirectoryLists());

  // Another process lists Projects, through a link.
  std::filesystem::create_directory_symlink(projects, scratch_.path() + "/ProjectsLink");
  ASSERT_TRUE(defaults_
                  .set(IndexingService::kFileDirectoriesKey,
                       std::vector<std::string>{documents_, scratch_.path() + "/ProjectsLink"})
                  .ok());
  const UUID version = service().directoryVersion();
  EXPECT_TRUE(service().reloadDirectoryLists());
  EXPECT_FALSE(service().reloadDirectoryLists());
  EXPECT_NE(service().directoryVersion(), version);
  EXPECT_EQ(watchers_.made, 2);
  EXPECT_EQ(watchers_.last->directories().size(), 2u + entries_.dirs.size());
  env_.advanceBy(seconds(62));
  EXPECT_TRUE(item(projects + "/plan.txt"));
  EXPECT_FALSE(item(scratch_.path() + "/ProjectsLink/plan.txt"));

  // ... and drops Documents.
  ASSERT_TRUE(defaults_.set(IndexingService::kFileDirectoriesKey, std::vector<std::string>{projects}).ok());
  EXPECT_TRUE(service().reloadDirectoryLists());
  env_.advanceBy(seconds(62));
  EXPECT_FALSE(item(documents_ + "/notes.txt"));
  EXPECT_TRUE(item(projects + "/plan.txt"));
  EXPECT_EQ(scansStarted_, 1u);
}

TEST_F(IndexingServiceTest, EditingTheFileDirectoryList) {
  UserDefaults defaults;  // nothing listed: the home folders are the defaults
  std::string downloads = scratch_.dir("Downloads");
  std::string elsewhere = scratch_.dir("Elsewhere");
  std::filesystem::create_directory_symlink(elsewhere, scratch_.path() + "/link");
  auto add = [&](const std::string& path) { return DirectoryLists::editFileDirectories(defaults, dirs_, path, true); };
  auto listed = [&] { return defaults.stringArrayValue(DirectoryLists::kFileDirectoriesKey); };

  auto made = add(downloads);  // a default folder becomes explicit
  ASSERT_TRUE(made.ok()) << made.error().description();
  EXPECT_TRUE(made->wasDefault);
  EXPECT_EQ(listed(), (std::vector<std::string>{documents_, downloads}));
  EXPECT_TRUE(testing::failsWith(add(downloads + "/"), "is already indexed"));
  EXPECT_TRUE(testing::failsWith(add(scratch_.path() + "/missing"), "does not exist"));

  auto linked = add(scratch_.path() + "/link");
  ASSERT_TRUE(linked.ok());
  EXPECT_EQ(linked->path, elsewhere);
  EXPECT_TRUE(testing::failsWith(add(elsewhere), "is already indexed"));
  EXPECT_TRUE(testing::failsWith(add(scratch_.path() + "/link"), "already indexed as \"" + elsewhere + "\""));

  auto nested = add(scratch_.dir("Documents/inner"));
  ASSERT_TRUE(nested.ok());
  EXPECT_EQ(nested->coveringDirectory, std::optional<std::string>(documents_));

  auto removed = DirectoryLists::editFileDirectories(defaults, dirs_, scratch_.path() + "/link", false);
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(removed->path, elsewhere);
  EXPECT_EQ(listed(), (std::vector<std::string>{documents_, downloads, documents_ + "/inner"}));
}

}  // namespace
}  // namespace pallix
