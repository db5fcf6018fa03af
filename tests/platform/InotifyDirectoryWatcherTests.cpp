#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>

#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr uint32_t kCreated = kDirectoryEventCreated, kRemoved = kDirectoryEventRemoved;
constexpr uint32_t kRenamed = kDirectoryEventRenamed, kModified = kDirectoryEventModified;
constexpr uint32_t kIsFile = kDirectoryEventIsFile, kIsDirectory = kDirectoryEventIsDirectory;
constexpr uint32_t kRescan = kDirectoryEventMustScanSubDirs;
constexpr Duration kShortLatency = std::chrono::milliseconds(5);

// Collects batches from the watcher thread; tests wait on a condition with a
// generous deadline (events normally arrive within milliseconds).
class EventCollector {
 public:
  DirectoryWatcher::Handler handler() {
    return [this](std::vector<DirectoryEvent> batch) {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(std::move(batch));
      changed_.notify_all();
    };
  }

  // The first event matching `match`, waiting for it up to 10 s when `wait` is set.
  std::optional<DirectoryEvent> find(const std::function<bool(const DirectoryEvent&)>& match, bool wait = true) {
    std::optional<DirectoryEvent> found;
    auto scan = [&] {
      for (const auto& batch : batches_) {
        for (const auto& e : batch) {
          if (match(e)) return (found = e).has_value();
        }
      }
      return false;
    };
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(wait ? 10 : 0), scan);
    return found;
  }

  // Waits until some event matches; returns its flags (0 on timeout).
  uint32_t waitFor(const std::string& path, uint32_t requiredFlags = 0) {
    auto e =
        find([&](const DirectoryEvent& e) { return e.path == path && (e.flags & requiredFlags) == requiredFlags; });
    return e ? e->flags : 0;
  }
  // Waits until some event carries `flag`; returns its path ("" on timeout).
  std::string waitForFlag(uint32_t flag) {
    auto e = find([&](const DirectoryEvent& e) { return (e.flags & flag) != 0; });
    return e ? e->path : "";
  }
  bool sawPath(const std::string& path) {
    return find([&](const DirectoryEvent& e) { return e.path == path; }, false).has_value();
  }
  std::vector<std::vector<DirectoryEvent>> batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<DirectoryEvent>> batches_;
};

TEST(InotifyMaskTranslation, MapsEachKernelBitToItsFlags) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {IN_CREATE, kCreated | kIsFile},
      {IN_CREATE | IN_ISDIR, kCreated | kIsDirectory},
      {IN_MOVED_TO, kCreated | kRenamed | kIsFile},
      {IN_DELETE, kRemoved | kIsFile},
      {IN_MOVED_FROM | IN_ISDIR, kRemoved | kRenamed | kIsDirectory},
      {IN_MODIFY, kModified | kIsFile},
      {IN_CLOSE_WRITE, kModified | kIsFile},
      {IN_ATTRIB, kDirectoryEventInodeMetaModified | kIsFile},
      {IN_UNMOUNT, kDirectoryEventUnmount},
      {IN_Q_OVERFLOW, kRescan},
      {IN_OPEN, 0},
      {IN_ACCESS | IN_CLOSE_NOWRITE, 0},
  };
  for (auto [mask, flags] : cases) EXPECT_EQ(directoryEventFlagsForInotifyMask(mask), flags) << std::hex << mask;
}

// The watcher (made last, so destroyed first) watches the temporary folder once started.
class InotifyDirectoryWatcherTest : public ::testing::Test {
 protected:
  ::testing::AssertionResult start(std::vector<std::string> roots = {}, Duration latency = kShortLatency) {
    if (roots.empty()) roots.push_back(tmp_.path());
    Status status = watcher_->start(roots, latency, events_.handler());
    if (status.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << status.error().description();
  }

  TempDir tmp_;
  EventCollector events_;
  std::unique_ptr<InotifyDirectoryWatcher> watcher_ = std::make_unique<InotifyDirectoryWatcher>();
};

TEST_F(InotifyDirectoryWatcherTest, ReportsFileCreationModificationAndRemovalThenTheRemovedRoot) {
  std::string root = tmp_.mkdir("root");
  ASSERT_TRUE(start({root + "/"}));
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 1u);
  std::string file = tmp_.write("root/notes.txt", "one");
  EXPECT_TRUE(events_.waitFor(file, kCreated | kIsFile));
  EXPECT_TRUE(events_.waitFor(file, kModified));
  ::chmod(file.c_str(), 0600);
  EXPECT_TRUE(events_.waitFor(file, kDirectoryEventInodeMetaModified));
  fs::remove(file);
  EXPECT_TRUE(events_.waitFor(file, kRemoved | kIsFile));
  fs::remove(root);
  EXPECT_TRUE(events_.waitFor(root, kDirectoryEventRootChanged));
}

TEST_F(InotifyDirectoryWatcherTest, WatchesExistingSubdirectoriesAndTreesCreatedFasterThanWatchesAreAdded) {
  tmp_.mkdir("a/b/c");
  ASSERT_TRUE(start());
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 4u);
  EXPECT_TRUE(events_.waitFor(tmp_.write("a/b/c/deep.txt", "x"), kCreated | kIsFile));
  // Whether each level is seen through its own event or through the scan of
  // its parent depends on timing; every path must be reported either way.
  for (int i = 0; i < 5; ++i) {
    std::string base = "burst" + std::to_string(i) + "/x/y/z";
    std::string file = tmp_.write(base + "/file.txt", "f");
    EXPECT_TRUE(events_.waitFor(file, kCreated | kIsFile)) << file;
    EXPECT_TRUE(events_.waitFor(tmp_ / ("burst" + std::to_string(i) + "/x/y"), kCreated | kIsDirectory));
    std::string later = tmp_.write(base + "/later.txt", "l");
    EXPECT_TRUE(events_.waitFor(later, kCreated)) << later;
  }
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 4u + 5 * 4);
}

// A directory moved in is reported with its contents and watched; one renamed
// within reports under its new path; one moved out is no longer reported.
TEST_F(InotifyDirectoryWatcherTest, FollowsDirectoriesMovedInRenamedAndMovedOut) {
  TempDir outside;
  outside.write("pkg/readme.md", "r");
  outside.write("pkg/src/main.cpp", "m");
  tmp_.mkdir("old/sub");
  tmp_.mkdir("leaving");
  ASSERT_TRUE(start());
  fs::rename(outside / "pkg", tmp_ / "pkg");
  EXPECT_EQ(events_.waitFor(tmp_ / "pkg"), kCreated | kRenamed | kIsDirectory);
  EXPECT_EQ(events_.waitFor(tmp_ / "pkg/readme.md"), kCreated | kIsFile);
  EXPECT_EQ(events_.waitFor(tmp_ / "pkg/src/main.cpp"), kCreated | kIsFile);
  EXPECT_TRUE(events_.waitFor(tmp_ / "pkg/src", kCreated | kIsDirectory));
  // The moved-in subdirectory is watched too.
  EXPECT_TRUE(events_.waitFor(tmp_.write("pkg/src/later.cpp", "l"), kCreated));

  fs::rename(tmp_ / "old", tmp_ / "new");
  EXPECT_TRUE(events_.waitFor(tmp_ / "old", kRemoved | kRenamed));
  EXPECT_TRUE(events_.waitFor(tmp_ / "new", kCreated | kRenamed));
  EXPECT_TRUE(events_.waitFor(tmp_.write("new/sub/file.txt", "f"), kCreated));
  fs::rename(tmp_ / "leaving", outside / "gone");
  EXPECT_TRUE(events_.waitFor(tmp_ / "leaving", kRemoved));
  outside.write("gone/ghost.txt", "g");
  // Events are queued in order: once the marker arrives, an event for the
  // ghost file would have arrived before it.
  EXPECT_TRUE(events_.waitFor(tmp_.write("marker", "m"), kCreated));
  EXPECT_FALSE(events_.sawPath(tmp_ / "old/sub/file.txt"));
  EXPECT_FALSE(events_.sawPath(tmp_ / "leaving/ghost.txt"));
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 5u);
}

TEST_F(InotifyDirectoryWatcherTest, WatchLimitAsksForARescan) {
  for (const char* name : {"a", "b", "c"}) tmp_.mkdir(name);
  watcher_ = std::make_unique<InotifyDirectoryWatcher>(InotifyDirectoryWatcher::Options{.maxWatches = 2});
  ASSERT_TRUE(start());
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 2u);
  // The first batch (from start) asks for a rescan of the directories left unwatched.
  std::string rescanned = events_.waitForFlag(kRescan);
  EXPECT_TRUE(rescanned == tmp_ / "a" || rescanned == tmp_ / "b" || rescanned == tmp_ / "c") << rescanned;
  // A new directory beyond the limit also asks for a rescan.
  EXPECT_TRUE(events_.waitFor(tmp_.mkdir("extra"), kCreated | kRescan));
}

TEST_F(InotifyDirectoryWatcherTest, QueueOverflowAsksForARescanOfEveryRoot) {
  int queueLimit = 0;
  if (std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit; queueLimit <= 0 || queueLimit > 65536) {
    GTEST_SKIP() << "inotify queue limit " << queueLimit << " is too large to overflow quickly";
  }
  std::string a = tmp_.write("a", "");
  std::string b = tmp_.write("b", "");
  // The handler holds the watcher thread on its first batch while the kernel
  // queue fills up with attribute changes (alternating files, so the kernel
  // cannot merge them).
  std::promise<void> entered, released;
  std::shared_future<void> release = released.get_future().share();
  auto collect = events_.handler();
  ASSERT_TRUE(watcher_
                  ->start({tmp_.path()}, kShortLatency,
                          [&, first = true](std::vector<DirectoryEvent> batch) mutable {
                            if (std::exchange(first, false)) {
                              entered.set_value();
                              release.wait_for(std::chrono::seconds(30));
                            }
                            collect(std::move(batch));
                          })
                  .ok());
  tmp_.write("trigger", "");
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  for (int i = 0; i < queueLimit + 100; ++i) ::chmod(i % 2 ? a.c_str() : b.c_str(), i % 4 < 2 ? 0600 : 0644);
  released.set_value();
  EXPECT_EQ(events_.waitForFlag(kRescan), tmp_.path());
}

TEST_F(InotifyDirectoryWatcherTest, SkipsMissingAndUnreadableDirectoriesAndFailsWhenNoneRemain) {
  ::testing::AssertionResult none = start({tmp_ / "missing", tmp_ / "also-missing"});
  ASSERT_FALSE(none);
  EXPECT_NE(std::string(none.message()).find("missing"), std::string::npos);
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 0u);
  const bool root = ::geteuid() == 0;  // root reads every directory
  tmp_.mkdir("locked/inner");
  fs::permissions(tmp_ / "locked", fs::perms::none);
  ASSERT_TRUE(start({tmp_ / "missing", tmp_.path()}));
  EXPECT_EQ(watcher_->watchedDirectoryCount(), root ? 3u : 1u);
  fs::permissions(tmp_ / "locked", fs::perms::owner_all);
}

TEST_F(InotifyDirectoryWatcherTest, EventsWithinTheLatencyArriveAsOneBatch) {
  ASSERT_TRUE(start({}, std::chrono::milliseconds(400)));
  tmp_.write("1", "");
  tmp_.write("2", "");
  EXPECT_TRUE(events_.waitFor(tmp_.write("3", ""), kCreated));
  auto batches = events_.batches();
  ASSERT_EQ(batches.size(), 1u);
  std::vector<std::string> paths;
  for (const auto& e : batches[0]) paths.push_back(e.path);
  EXPECT_EQ(paths, (std::vector<std::string>{tmp_ / "1", tmp_ / "2", tmp_ / "3"}));
}

TEST_F(InotifyDirectoryWatcherTest, StopEndsDeliveryAndCanBeCalledFromTheHandler) {
  std::atomic<int> stoppingCalls{0};
  auto collect = events_.handler();
  ASSERT_TRUE(watcher_
                  ->start({tmp_.path()}, kShortLatency,
                          [&](std::vector<DirectoryEvent> batch) {
                            watcher_->stop();  // must not deadlock
                            ++stoppingCalls;
                            collect(std::move(batch));
                          })
                  .ok());
  ASSERT_TRUE(events_.waitFor(tmp_.write("first", "")));
  watcher_->stop();
  EXPECT_EQ(watcher_->watchedDirectoryCount(), 0u);

  // Restart after stop, then stop and check nothing more arrives.
  ASSERT_TRUE(start());
  EXPECT_TRUE(events_.waitFor(tmp_.write("second", "")));
  watcher_->stop();
  size_t before = events_.batches().size();
  tmp_.write("third", "");
  EXPECT_EQ(events_.batches().size(), before);
  EXPECT_EQ(stoppingCalls.load(), 1);
}

}  // namespace
}  // namespace pallix
