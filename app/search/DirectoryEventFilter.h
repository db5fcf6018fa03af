// DirectoryEventFilter: decides which directory-watcher events reach the
// change accumulator. A batch with a must-rescan, root-changed, mount or
// unmount event requests a full scan; otherwise an event is kept when it
// reports a creation, removal, inode or metadata change, rename or content
// change, and its path is an app bundle, lies inside one (creations,
// removals and renames only) or lies below a watched folder.
//
// Thread safety: runs on the watcher's thread and on the main runner; it
// reads the directory lists (own lock) and writes the accumulator (own lock).
#pragma once

#include <memory>
#include <vector>

#include "app/platform/DirectoryWatcher.h"
#include "app/search/ChangeAccumulator.h"
#include "app/search/DirectoryLists.h"
#include "core/Clock.h"

namespace pallix {

class DirectoryEventFilter {
 public:
  explicit DirectoryEventFilter(std::shared_ptr<const DirectoryLists> lists) : lists_(std::move(lists)) {}

  static bool requestsFullScan(const DirectoryEvent& event);
  bool keep(const DirectoryEvent& event) const;
  // Adds the batch to `accumulator`; returns whether anything was added (an
  // incremental update is then due).
  bool accumulate(const std::vector<DirectoryEvent>& events, ChangeAccumulator& accumulator, MonoTime now) const;

 private:
  std::shared_ptr<const DirectoryLists> lists_;
};

}  // namespace pallix
