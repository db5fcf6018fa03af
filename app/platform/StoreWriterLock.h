// StoreWriterLock: makes one process at a time the writer of the catalog
// store.
//
// An exclusive flock() on "Pallix.sqlite.lock" in the data folder, taken
// before the store is opened for writing and held while the process writes:
// for its whole life by the agent (`pallix daemon`) and `pallix watch`, for
// one scan by `pallix index`. The lock file records the holder ("<pid>
// <role>"), so a process that finds it taken can say whom it waits for, and
// `pallix index` can ask a running agent to scan instead. The lock goes away
// with the process, so a crashed writer never blocks the next one.
//
// Threading: one owner; not thread-safe.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "app/platform/DataDirectories.h"
#include "core/Error.h"
#include "core/FileUtil.h"

namespace pallix {

class StoreWriterLock {
 public:
  static constexpr const char* kAgentRole = "agent";
  static constexpr const char* kIndexRole = "index";
  static constexpr const char* kWatchRole = "watch";

  struct Holder {
    pid_t pid = 0;
    std::string role;
    // "the Pallix agent (pid 12)", "'pallix index' (pid 12)".
    std::string description() const;
  };

  explicit StoreWriterLock(std::string lockPath) : lockPath_(std::move(lockPath)) {}
  static std::string lockPathFor(const DataDirectories& dirs) { return dirs.storePath() + ".lock"; }

  // Becomes the writer without waiting; false when another process writes.
  Result<bool> tryAcquire(const std::string& role);
  // Becomes the writer, waiting as long as another process writes;
  // `onWait` runs once, with the holder, when waiting starts.
  Status acquire(const std::string& role, const std::function<void(const Holder&)>& onWait = {});
  void release() { lock_.unlock(); }
  bool held() const { return lock_.held(); }

  // Who writes now, from the lock file (nullopt when it names nobody).
  std::optional<Holder> holder() const;

 private:
  Status record(const std::string& role);

  std::string lockPath_;
  ExclusiveFileLock lock_;
};

}  // namespace pallix
