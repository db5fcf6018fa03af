// ClipboardRecorderLock: one clipboard recorder per user. Whoever records
// the clipboard (the agent, or `pallix clipboard watch`) holds an flock on
// "ClipboardWatch.lock" in the data directory until destroyed, so no copy is
// recorded twice.
#pragma once

#include <memory>
#include <string>

#include "app/platform/DataDirectories.h"
#include "core/Error.h"

namespace pallix {

class ClipboardRecorderLock {
 public:
  static constexpr const char* kFileName = "ClipboardWatch.lock";
  // Fails, naming the lock file, when another process records the clipboard.
  static Result<std::unique_ptr<ClipboardRecorderLock>> acquire(const DataDirectories& dirs);
  ~ClipboardRecorderLock();
  ClipboardRecorderLock(const ClipboardRecorderLock&) = delete;
  ClipboardRecorderLock& operator=(const ClipboardRecorderLock&) = delete;

 private:
  explicit ClipboardRecorderLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace pallix
