// DirectoryEventFilter against the rules it states: which flags request a
// full scan, which events reach the accumulator and which are dropped.
#include <gtest/gtest.h>

#include "CatalogTestSupport.h"
#include "app/search/DirectoryEventFilter.h"

namespace pallix {
namespace {

TEST(DirectoryEventFilterTest, SortsEventsByFlagsAndPlace) {
  testing::TempDir scratch;
  UserDefaults defaults;
  const std::string documents = scratch.dir("Documents");
  ASSERT_TRUE(defaults.set(DirectoryLists::kFileDirectoriesKey, std::vector<std::string>{documents}).ok());
  auto lists = std::make_shared<DirectoryLists>(defaults, DataDirectories::forHome(scratch.path()),
                                                std::vector<std::string>{scratch.path() + "/Apps"},
                                                std::vector<std::string>{scratch.path() + "/entries"});
  const DirectoryEventFilter filter(lists);
  const std::string home = scratch.path();
  struct Case {
    std::string path;
    uint32_t flags;
    bool fullScan;
    bool kept;
  };
  const std::vector<Case> cases = {
      {documents + "/a.txt", kDirectoryEventCreated, false, true},
      {documents + "/a.txt", kDirectoryEventInodeMetaModified, false, true},
      {documents, kDirectoryEventModified, false, false},                // the folder itself
      {documents + "/a.txt", kDirectoryEventIsDirectory, false, false},  // no relevant flag
      {home + "/Elsewhere/a.txt", kDirectoryEventCreated, false, false},
      {home + "/Elsewhere/Tool.app", kDirectoryEventModified, false, true},
      {home + "/Elsewhere/Tool.app/Contents/Info.plist", kDirectoryEventRenamed, false, true},
      {home + "/Elsewhere/Tool.app/Contents/Info.plist", kDirectoryEventModified, false, false},
      {home + "/Apps/Tool/readme", kDirectoryEventRemoved, false, true},
      {home + "/entries/tool.desktop", kDirectoryEventModified, false, true},
      {documents, kDirectoryEventMustScanSubDirs, true, true},
      {documents, kDirectoryEventRootChanged, true, true},
      {home + "/Elsewhere", kDirectoryEventMount, true, true},
      {home + "/Elsewhere", kDirectoryEventUnmount, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " flags " + std::to_string(c.flags));
    ChangeAccumulator accumulator;
    EXPECT_EQ(filter.accumulate({DirectoryEvent{c.path, c.flags}}, accumulator, MonoTime{}), c.kept);
    ChangeAccumulator::Drained drained = accumulator.drain();
    EXPECT_EQ(drained.needsFullScan, c.fullScan);
    EXPECT_EQ(drained.changes.size(), c.kept && !c.fullScan ? 1u : 0u);
  }
}

}  // namespace
}  // namespace pallix
