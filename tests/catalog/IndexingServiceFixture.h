// The IndexingService test fixture: a scratch home with "Documents" as the
// one file directory, fixed desktop-entry folders, a fake watcher and icon
// resolver, all on one VirtualTimeEnvironment.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "CatalogTestSupport.h"
#include "app/search/CatalogSchema.h"
#include "app/search/IndexingService.h"
#include "app/search/TextFolding.h"
#include "core/RunLoop.h"
#include "core/Telemetry.h"
#include "testing/FakeDirectoryWatcher.h"
#include "testing/VirtualTime.h"
#include "tests/support/LogCapture.h"

namespace pallix::testing {

class FakeWatcherFactory final : public DirectoryWatcherFactory {
 public:
  std::unique_ptr<DirectoryWatcher> makeWatcher() override {
    auto watcher = std::make_unique<FakeDirectoryWatcher>();
    last = watcher.get();
    ++made;
    return watcher;
  }
  FakeDirectoryWatcher* last = nullptr;
  int made = 0;
};

class FakeIconResolver final : public IconResolver {
 public:
  std::optional<std::string> resolve(const std::string& name, int size) override {
    ++calls;
    return "/icons/" + name + "-" + std::to_string(size) + ".png";
  }
  std::string iconNameForFile(const std::string&, bool isDirectory) override {
    return isDirectory ? "folder" : "text-x-generic";
  }
  int calls = 0;
};

// Opens folders as the file system does, except the chosen ones: those fail
// to open (as an unreadable folder or a vanished disk does), open as
// something that cannot be read (as a folder whose disk fails mid-read), or
// are held until release() (for at most 30 s), so that the main thread can
// act while a scan on real threads is surely in flight.
class FaultyDirectoryOpener final : public DirectoryOpener {
 public:
  enum class Fault { open, read, hold };
  int openDirectory(int dirFd, const char* name, const std::string& path) override {
    auto fault = faults.find(path);
    if (fault != faults.end() && fault->second == Fault::hold) {
      std::unique_lock<std::mutex> lock(mutex_);
      released_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
    } else if (fault != faults.end()) {
      if (fault->second == Fault::read) return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      errno = EACCES;
      return -1;
    }
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    released_.notify_all();
  }
  std::map<std::string, Fault> faults;

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool open_ = false;
};

class IndexingServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dirs_ = DataDirectories::forHome(scratch_.path());
    documents_ = scratch_.dir("Documents");
    entries_.dirs = {{scratch_.dir("user/applications"), 5}, {scratch_.dir("system/applications"), 3}};
    ASSERT_TRUE(defaults_.set(IndexingService::kFileDirectoriesKey, std::vector<std::string>{documents_}).ok());
    ASSERT_TRUE(createDirectories(dirs_.data).ok());
    auto store = PersistentStore::open(dirs_.storePath(), catalogMigrationSteps());
    ASSERT_TRUE(store.ok()) << store.error().description();
    store_ = std::move(store.value());
  }
  void TearDown() override { service_.reset(); }

  // The service's surroundings: virtual time and the fakes.
  IndexingService::Dependencies dependencies() {
    IndexingService::Dependencies deps;
    deps.mainRunner = env_.mainRunner();
    deps.backgroundRunner = env_.makeRunner("background");
    deps.directoryChangeRunner = env_.makeRunner("directory-change-handler");
    deps.clock = &env_.clock();
    deps.watcherFactory = &watchers_;
    deps.defaults = &defaults_;
    deps.store = store_.get();
    deps.filter = &filter_;
    deps.iconResolver = &icons_;
    deps.dirs = dirs_;
    deps.applicationEntries = &entries_;
    deps.baseAppDirectories = {scratch_.path() + "/Applications", scratch_.path() + "/OtherApps"};
    deps.directoryOpener = &opener_;
    return deps;
  }

  IndexingService& service() {
    if (!service_) {
      service_ = std::make_unique<IndexingService>(dependencies());
      service_->setFullScanStartObserver([this] { ++scansStarted_; });
      service_->setIncrementalRunObserver(
          [this](const IncrementalRunSummary& run) { incrementalRuns_.push_back(run); });
    }
    return *service_;
  }

  FullScanSummary fullScan() {
    FullScanSummary out;
    bool done = false;
    service().indexAll([&](const FullScanSummary& summary) {
      out = summary;
      done = true;
    });
    env_.runUntilIdle();
    EXPECT_TRUE(done);
    return out;
  }

  std::vector<IndexedItem> catalog() {
    auto items = service().catalog().fetchAll();
    EXPECT_TRUE(items.ok());
    return items.ok() ? items.value() : std::vector<IndexedItem>{};
  }

  std::optional<IndexedItem> item(const std::string& path) {
    auto found = service().catalog().fetchByPath(path);
    EXPECT_TRUE(found.ok());
    return found.ok() ? found.value() : std::nullopt;
  }

  void deliver(const std::string& path, uint32_t flags) {
    ASSERT_NE(watchers_.last, nullptr);
    watchers_.last->deliver({DirectoryEvent{path, flags}});
  }

  // Advances virtual time in small steps until `done` holds or `limit` has
  // passed; returns the time it took (nullopt: never).
  template <typename Predicate>
  std::optional<Duration> advanceUntil(Predicate done, Duration limit, Duration step = std::chrono::milliseconds(250)) {
    const MonoTime start = env_.clock().now();
    while (!done()) {
      if (env_.clock().now() - start >= limit) return std::nullopt;
      env_.advanceBy(step);
    }
    return env_.clock().now() - start;
  }

  TempDir scratch_;
  DataDirectories dirs_;
  std::string documents_;
  VirtualTimeEnvironment env_;
  UserDefaults defaults_;
  std::unique_ptr<PersistentStore> store_;
  FileExclusionFilter filter_;
  FixedEntrySource entries_;
  FakeWatcherFactory watchers_;
  FakeIconResolver icons_;
  FaultyDirectoryOpener opener_;
  // Keeps the service's log lines out of the test output.
  ScopedLogCapture logs_;
  std::unique_ptr<IndexingService> service_;
  // Full scans started and incremental runs finished, over every service
  // the test made (a test may replace the run observer with its own).
  size_t scansStarted_ = 0;
  std::vector<IncrementalRunSummary> incrementalRuns_;
};

inline void expectCatalogMatchesModel(const std::vector<IndexedItem>& items, const std::string& root) {
  std::map<std::string, RandomTree::Entry> got;
  for (const IndexedItem& item : items) {
    if (item.itemType() == IndexedItem::ItemType::app) continue;
    got[item.path] = {item.itemType() == IndexedItem::ItemType::folder, item.sizeBytes};
    EXPECT_EQ(item.searchName, foldForSearch(item.name));
  }
  EXPECT_EQ(got, RandomTree::model(root));
}

}  // namespace pallix::testing
