#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "tests/platform/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

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

  // Waits until some event matches; returns its flags (0 on timeout).
  uint32_t waitFor(const std::string& path, uint32_t requiredFlags = 0) {
    uint32_t found = 0;
    waitUntil([&] {
      for (const auto& batch : batches_) {
        for (const auto& e : batch) {
          if (e.path == path && (e.flags & requiredFlags) == requiredFlags) {
            found = e.flags;
            return true;
          }
        }
      }
      return false;
    });
    return found;
  }

  // Waits until some event carries `flag`; returns its path ("" on timeout).
  std::string waitForFlag(uint32_t flag) {
    std::string found;
    waitUntil([&] {
      for (const auto& batch : batches_) {
        for (const auto& e : batch) {
          if (e.flags & flag) {
            found = e.path;
            return true;
          }
        }
      }
      return false;
    });
    return found;
  }

  bool sawPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& batch : batches_) {
      for (const auto& e : batch) {
        if (e.path == path) return true;
      }
    }
    return false;
  }

  std::vector<std::vector<DirectoryEvent>> batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }

 private:
  void waitUntil(const std::function<bool()>& predicate) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(10), predicate);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<DirectoryEvent>> batches_;
};

constexpr Duration kShortLatency = std::chrono::milliseconds(5);

TEST(InotifyMaskTranslation, MapsEachKernelBitToItsFlags) {
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_CREATE), kDirectoryEventCreated | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_CREATE | IN_ISDIR),
            kDirectoryEventCreated | kDirectoryEventIsDirectory);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_MOVED_TO),
            kDirectoryEventCreated | kDirectoryEventRenamed | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_DELETE), kDirectoryEventRemoved | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_MOVED_FROM | IN_ISDIR),
            kDirectoryEventRemoved | kDirectoryEventRenamed | kDirectoryEventIsDirectory);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_MODIFY), kDirectoryEventModified | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_CLOSE_WRITE), kDirectoryEventModified | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_ATTRIB), kDirectoryEventInodeMetaModified | kDirectoryEventIsFile);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_UNMOUNT), kDirectoryEventUnmount);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_Q_OVERFLOW), kDirectoryEventMustScanSubDirs);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_OPEN), 0u);
  EXPECT_EQ(directoryEventFlagsForInotifyMask(IN_ACCESS | IN_CLOSE_NOWRITE), 0u);
}

TEST(InotifyDirectoryWatcher, ReportsFileCreationModificationAndRemoval) {
  TempDir tmp;
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  EXPECT_EQ(watcher.watchedDirectoryCount(), 1u);

  std::string file = tmp.write("notes.txt", "one");
  EXPECT_TRUE(events.waitFor(file, kDirectoryEventCreated | kDirectoryEventIsFile));
  EXPECT_TRUE(events.waitFor(file, kDirectoryEventModified));
  ::chmod(file.c_str(), 0600);
  EXPECT_TRUE(events.waitFor(file, kDirectoryEventInodeMetaModified));
  fs::remove(file);
  EXPECT_TRUE(events.waitFor(file, kDirectoryEventRemoved | kDirectoryEventIsFile));
  watcher.stop();
}

TEST(InotifyDirectoryWatcher, WatchesExistingAndNewSubdirectories) {
  TempDir tmp;
  tmp.mkdir("a/b/c");
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  EXPECT_EQ(watcher.watchedDirectoryCount(), 4u);

  std::string deep = tmp.write("a/b/c/deep.txt", "x");
  EXPECT_TRUE(events.waitFor(deep, kDirectoryEventCreated));

  std::string fresh = tmp / "fresh";
  fs::create_directory(fresh);
  EXPECT_TRUE(events.waitFor(fresh, kDirectoryEventCreated | kDirectoryEventIsDirectory));
  std::string inside = tmp.write("fresh/inside.txt", "y");
  EXPECT_TRUE(events.waitFor(inside, kDirectoryEventCreated));
  EXPECT_EQ(watcher.watchedDirectoryCount(), 5u);
}

TEST(InotifyDirectoryWatcher, TreeCreatedFasterThanWatchesAreAddedIsFullyReported) {
  TempDir tmp;
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  // Whether each level is seen through its own event or through the scan of
  // its parent depends on timing; every path must be reported either way.
  for (int i = 0; i < 5; ++i) {
    std::string base = "burst" + std::to_string(i) + "/x/y/z";
    std::string file = tmp.write(base + "/file.txt", "f");
    EXPECT_TRUE(events.waitFor(file, kDirectoryEventCreated | kDirectoryEventIsFile)) << file;
    EXPECT_TRUE(events.waitFor(tmp / ("burst" + std::to_string(i) + "/x/y"), kDirectoryEventCreated));
    std::string later = tmp.write(base + "/later.txt", "l");
    EXPECT_TRUE(events.waitFor(later, kDirectoryEventCreated)) << later;
  }
  EXPECT_EQ(watcher.watchedDirectoryCount(), 1u + 5 * 4);
}

TEST(InotifyDirectoryWatcher, ReportsContentsOfADirectoryMovedIn) {
  TempDir outside;
  outside.write("pkg/readme.md", "r");
  outside.write("pkg/src/main.cpp", "m");
  TempDir tmp;
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());

  fs::rename(outside / "pkg", tmp / "pkg");
  EXPECT_EQ(events.waitFor(tmp / "pkg"), kDirectoryEventCreated | kDirectoryEventRenamed | kDirectoryEventIsDirectory);
  EXPECT_EQ(events.waitFor(tmp / "pkg/readme.md"), kDirectoryEventCreated | kDirectoryEventIsFile);
  EXPECT_EQ(events.waitFor(tmp / "pkg/src/main.cpp"), kDirectoryEventCreated | kDirectoryEventIsFile);
  EXPECT_TRUE(events.waitFor(tmp / "pkg/src", kDirectoryEventCreated | kDirectoryEventIsDirectory));

  // The moved-in subdirectory is watched too.
  std::string later = tmp.write("pkg/src/later.cpp", "l");
  EXPECT_TRUE(events.waitFor(later, kDirectoryEventCreated));
}

TEST(InotifyDirectoryWatcher, RenamedDirectoryReportsUnderItsNewPath) {
  TempDir tmp;
  tmp.mkdir("old/sub");
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());

  fs::rename(tmp / "old", tmp / "new");
  EXPECT_TRUE(events.waitFor(tmp / "old", kDirectoryEventRemoved | kDirectoryEventRenamed));
  EXPECT_TRUE(events.waitFor(tmp / "new", kDirectoryEventCreated | kDirectoryEventRenamed));
  std::string file = tmp.write("new/sub/file.txt", "f");
  EXPECT_TRUE(events.waitFor(file, kDirectoryEventCreated));
  EXPECT_FALSE(events.sawPath(tmp / "old/sub/file.txt"));
  EXPECT_EQ(watcher.watchedDirectoryCount(), 3u);
}

TEST(InotifyDirectoryWatcher, DirectoryMovedOutIsNoLongerReported) {
  TempDir tmp;
  TempDir outside;
  tmp.mkdir("leaving");
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());

  fs::rename(tmp / "leaving", outside / "gone");
  EXPECT_TRUE(events.waitFor(tmp / "leaving", kDirectoryEventRemoved));
  outside.write("gone/ghost.txt", "g");
  // Events are queued in order: once the marker arrives, an event for the
  // ghost file would have arrived before it.
  std::string marker = tmp.write("marker", "m");
  EXPECT_TRUE(events.waitFor(marker, kDirectoryEventCreated));
  EXPECT_FALSE(events.sawPath(tmp / "leaving/ghost.txt"));
  EXPECT_EQ(watcher.watchedDirectoryCount(), 1u);
}

TEST(InotifyDirectoryWatcher, RemovedRootIsReportedAsRootChanged) {
  TempDir tmp;
  std::string root = tmp.mkdir("root");
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({root + "/"}, kShortLatency, events.handler()).ok());
  fs::remove(root);
  EXPECT_TRUE(events.waitFor(root, kDirectoryEventRootChanged));
}

TEST(InotifyDirectoryWatcher, WatchLimitAsksForARescan) {
  TempDir tmp;
  tmp.mkdir("a");
  tmp.mkdir("b");
  tmp.mkdir("c");
  EventCollector events;
  InotifyDirectoryWatcher watcher(InotifyDirectoryWatcher::Options{.maxWatches = 2});
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  EXPECT_EQ(watcher.watchedDirectoryCount(), 2u);
  // The first batch (from start) asks for a rescan of the directories left unwatched.
  std::string rescanned = events.waitForFlag(kDirectoryEventMustScanSubDirs);
  EXPECT_TRUE(rescanned == tmp / "a" || rescanned == tmp / "b" || rescanned == tmp / "c") << rescanned;

  // A new directory beyond the limit also asks for a rescan.
  std::string extra = tmp.mkdir("extra");
  EXPECT_TRUE(events.waitFor(extra, kDirectoryEventCreated | kDirectoryEventMustScanSubDirs));
}

TEST(InotifyDirectoryWatcher, QueueOverflowAsksForARescanOfEveryRoot) {
  int queueLimit = 0;
  if (std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit; queueLimit <= 0 || queueLimit > 65536) {
    GTEST_SKIP() << "inotify queue limit " << queueLimit << " is too large to overflow quickly";
  }
  TempDir tmp;
  std::string a = tmp.write("a", "");
  std::string b = tmp.write("b", "");
  // The handler holds the watcher thread on its first batch while the kernel
  // queue fills up with attribute changes (alternating files, so the kernel
  // cannot merge them).
  std::mutex mutex;
  std::condition_variable cv;
  bool inHandler = false, release = false;
  EventCollector events;
  auto collect = events.handler();
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher
                  .start({tmp.path()}, kShortLatency,
                         [&](std::vector<DirectoryEvent> batch) {
                           {
                             std::unique_lock<std::mutex> lock(mutex);
                             if (!inHandler) {
                               inHandler = true;
                               cv.notify_all();
                               cv.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
                             }
                           }
                           collect(std::move(batch));
                         })
                  .ok());
  tmp.write("trigger", "");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return inHandler; }));
  }
  for (int i = 0; i < queueLimit + 100; ++i) ::chmod(i % 2 ? a.c_str() : b.c_str(), i % 4 < 2 ? 0600 : 0644);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
    cv.notify_all();
  }
  EXPECT_EQ(events.waitForFlag(kDirectoryEventMustScanSubDirs), tmp.path());
}

TEST(InotifyDirectoryWatcher, SkipsMissingDirectoriesAndFailsWhenNoneRemain) {
  TempDir tmp;
  InotifyDirectoryWatcher watcher;
  EventCollector events;
  Status none = watcher.start({tmp / "missing", tmp / "also-missing"}, kShortLatency, events.handler());
  ASSERT_FALSE(none.ok());
  EXPECT_NE(none.error().description().find("missing"), std::string::npos);
  EXPECT_EQ(watcher.watchedDirectoryCount(), 0u);

  ASSERT_TRUE(watcher.start({tmp / "missing", tmp.path()}, kShortLatency, events.handler()).ok());
  EXPECT_EQ(watcher.watchedDirectoryCount(), 1u);
}

TEST(InotifyDirectoryWatcher, SkipsUnreadableDirectories) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  TempDir tmp;
  std::string locked = tmp.mkdir("locked/inner");
  fs::permissions(tmp / "locked", fs::perms::none);
  InotifyDirectoryWatcher watcher;
  EventCollector events;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  EXPECT_EQ(watcher.watchedDirectoryCount(), 1u);
  fs::permissions(tmp / "locked", fs::perms::owner_all);
}

TEST(InotifyDirectoryWatcher, EventsWithinTheLatencyArriveAsOneBatch) {
  TempDir tmp;
  EventCollector events;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher.start({tmp.path()}, std::chrono::milliseconds(400), events.handler()).ok());
  tmp.write("1", "");
  tmp.write("2", "");
  std::string last = tmp.write("3", "");
  EXPECT_TRUE(events.waitFor(last, kDirectoryEventCreated));
  auto batches = events.batches();
  ASSERT_EQ(batches.size(), 1u);
  std::vector<std::string> paths;
  for (const auto& e : batches[0]) paths.push_back(e.path);
  EXPECT_EQ(paths, (std::vector<std::string>{tmp / "1", tmp / "2", tmp / "3"}));
}

TEST(InotifyDirectoryWatcher, StopEndsDeliveryAndCanBeCalledFromTheHandler) {
  TempDir tmp;
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  InotifyDirectoryWatcher watcher;
  ASSERT_TRUE(watcher
                  .start({tmp.path()}, kShortLatency,
                         [&](std::vector<DirectoryEvent>) {
                           watcher.stop();  // must not deadlock
                           std::lock_guard<std::mutex> lock(mutex);
                           ++calls;
                           cv.notify_all();
                         })
                  .ok());
  tmp.write("first", "");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls == 1; }));
  }
  watcher.stop();
  EXPECT_EQ(watcher.watchedDirectoryCount(), 0u);

  // Restart after stop, then stop and check nothing more arrives.
  EventCollector events;
  ASSERT_TRUE(watcher.start({tmp.path()}, kShortLatency, events.handler()).ok());
  std::string second = tmp.write("second", "");
  EXPECT_TRUE(events.waitFor(second));
  watcher.stop();
  size_t before = events.batches().size();
  tmp.write("third", "");
  EXPECT_EQ(events.batches().size(), before);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace pallix
