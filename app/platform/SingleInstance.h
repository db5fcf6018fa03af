// SingleInstance: makes sure only one Pallix daemon runs per user.
//
// acquire() takes the instance lock; when another instance holds it, that
// instance is asked to end, forced when it does not, and the lock is taken
// over. LockFileSingleInstance (linux/) is the implementation: an flock()ed
// lock file recording the holder's pid and a Unix socket on which the holder
// accepts a "terminate" request.
#pragma once

#include <functional>

#include "core/Error.h"

namespace pallix {

class SingleInstance {
 public:
  // Called when a newer instance asks this one to end; it should quit the
  // process soon (releasing the instance). Runs on the instance's own thread.
  using TerminateHandler = std::function<void()>;

  virtual ~SingleInstance() = default;
  // Becomes the running instance. Returns how many other instances were
  // ended to get there (for "AppDelegate.terminatedOtherInstances" with
  // "count"); fails when the holder could not be ended.
  virtual Result<int> acquire(TerminateHandler onTerminateRequest) = 0;
  // Gives the instance up (also done by the destructor and by process exit).
  virtual void release() = 0;
};

}  // namespace pallix
