// The defaults file watcher between two stores over one file (standing in for
// two processes): what another process writes reaches the preference objects
// once per burst, after the reload delay, as a setter's change would; the
// process's own writes announce nothing; a damaged file and a stopped watcher
// change nothing.
#include <gtest/gtest.h>

#include "app/preferences/ClipboardPreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/shell/DefaultsFileWatcher.h"
#include "testing/FakeFileChangeMonitor.h"
#include "testing/VirtualTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using Keys = std::vector<std::string>;

class DefaultsFileWatcherTest : public ::testing::Test {
 protected:
  DefaultsFileWatcherTest() {
    observation_ = ScopedObservation(center_, ClipboardPreferences::kDidChangeNotification,
                                     [this](const Notification&) { ++clipboardPosts_; });
    watcher_.reloadOnChange(clipboard_, messages_);
    watcher_.addHandler([this](const Keys& keys) { handled_.push_back(keys); });
    EXPECT_TRUE(watcher_.start().ok());
  }

  testing::TempDir dir_;
  // The history is on when both processes start.
  std::string path_ = [this] {
    std::string path = dir_ / "Pallix/UserDefaults.json";
    EXPECT_TRUE(UserDefaults(path).set(ClipboardPreferences::kHistoryEnabledKey, true).ok());
    return path;
  }();
  VirtualTimeEnvironment time_;
  NotificationCenter center_;
  UserDefaults mine_{path_};
  UserDefaults otherProcess_{path_};
  ClipboardPreferences clipboard_{mine_, center_};
  MessagesPreferences messages_{mine_, center_};
  FakeFileChangeMonitor monitor_;
  DefaultsFileWatcher watcher_{mine_, monitor_, time_.mainRunner(), "Pallix.Test"};
  ScopedObservation observation_;
  int clipboardPosts_ = 0;
  std::vector<Keys> handled_;
};

TEST_F(DefaultsFileWatcherTest, AnotherProcessTurningTheHistoryOffIsAnnouncedOncePerBurstAfterTheDelay) {
  testing::ScopedLogCapture log(LogLevel::info);
  ASSERT_TRUE(monitor_.running());
  EXPECT_EQ(monitor_.path(), path_);
  ASSERT_TRUE(clipboard_.historyEnabled());
  ASSERT_TRUE(otherProcess_.set(ClipboardPreferences::kHistoryEnabledKey, false).ok());
  for (int i = 0; i < 3; ++i) monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay - std::chrono::milliseconds(1));
  EXPECT_TRUE(clipboard_.historyEnabled());
  time_.advanceBy(std::chrono::milliseconds(1));
  EXPECT_FALSE(clipboard_.historyEnabled());
  EXPECT_EQ(clipboardPosts_, 1);
  EXPECT_EQ(handled_, (std::vector<Keys>{{ClipboardPreferences::kHistoryEnabledKey}}));
  EXPECT_TRUE(log.contains("Pallix.Test: settings changed by another process: ClipboardPreferences.historyEnabled"));
  // A later burst is read again.
  ASSERT_TRUE(otherProcess_.set(ClipboardPreferences::kHistoryEnabledKey, true).ok());
  monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay);
  EXPECT_TRUE(clipboard_.historyEnabled());
  EXPECT_EQ(clipboardPosts_, 2);
}

TEST_F(DefaultsFileWatcherTest, TheProcessesOwnWritesAnnounceNothing) {
  ASSERT_TRUE(clipboard_.setHistoryEnabled(false).ok());
  ASSERT_TRUE(mine_.set("MessageChunkIndexer.lastIndexedRowID", int64_t{42}).ok());
  EXPECT_EQ(clipboardPosts_, 1);  // the setter's own
  monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay);
  EXPECT_EQ(clipboardPosts_, 1);
  EXPECT_TRUE(handled_.empty());
}

// The process wrote a key of its own between the other process's write and
// the event: its write took the other key in, which is still announced.
TEST_F(DefaultsFileWatcherTest, AChangeTheProcessesOwnWriteTookInIsStillAnnounced) {
  ASSERT_TRUE(otherProcess_.set(ClipboardPreferences::kRetentionDaysKey, int64_t{30}).ok());
  ASSERT_TRUE(otherProcess_.set(MessagesPreferences::kIndexingIntensityKey, "maximum").ok());
  ASSERT_TRUE(mine_.set("MessageChunkIndexer.lastIndexedRowID", int64_t{42}).ok());
  EXPECT_EQ(clipboard_.retentionDays(), ClipboardPreferences::defaultRetentionDays);
  monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay);
  EXPECT_EQ(clipboard_.retentionDays(), 30);
  EXPECT_EQ(messages_.indexingIntensity(), IndexingIntensity::maximum);
  EXPECT_EQ(clipboardPosts_, 1);
  EXPECT_EQ(handled_,
            (std::vector<Keys>{{ClipboardPreferences::kRetentionDaysKey, MessagesPreferences::kIndexingIntensityKey}}));
}

TEST_F(DefaultsFileWatcherTest, ADamagedFileKeepsTheSettingsInUse) {
  testing::ScopedLogCapture log;
  dir_.write("Pallix/UserDefaults.json", "{ \"ClipboardPreferences.historyEnabled\": fal");
  monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay);
  EXPECT_TRUE(clipboard_.historyEnabled());
  EXPECT_TRUE(handled_.empty());
  EXPECT_TRUE(log.contains("keeping the current ones"));
}

TEST_F(DefaultsFileWatcherTest, NothingIsAppliedAfterStopEvenARereadAlreadyScheduled) {
  ASSERT_TRUE(otherProcess_.set(ClipboardPreferences::kHistoryEnabledKey, false).ok());
  monitor_.fileChanged();
  watcher_.stop();
  EXPECT_FALSE(monitor_.running());
  EXPECT_FALSE(watcher_.isWatching());
  time_.fastForwardUntilNoTasksRemain();
  EXPECT_TRUE(clipboard_.historyEnabled());
  EXPECT_EQ(clipboardPosts_, 0);
  // Started again, it reads what changed meanwhile at the next event.
  ASSERT_TRUE(watcher_.start().ok());
  monitor_.fileChanged();
  time_.advanceBy(DefaultsFileWatcher::kReloadDelay);
  EXPECT_FALSE(clipboard_.historyEnabled());
}

TEST(DefaultsFileWatcherStartTest, AStoreWithoutAFileCannotBeWatched) {
  VirtualTimeEnvironment time;
  UserDefaults inMemory;
  FakeFileChangeMonitor monitor;
  DefaultsFileWatcher watcher(inMemory, monitor, time.mainRunner(), "Pallix.Test");
  EXPECT_FALSE(watcher.start().ok());
  EXPECT_FALSE(monitor.running());
}

}  // namespace
}  // namespace pallix
