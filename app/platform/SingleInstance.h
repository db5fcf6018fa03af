// SingleInstance: makes sure only one Pallix daemon runs per user.
//
// acquire() takes the instance lock; when another instance holds it, that
// instance is asked to end, forced when it does not, and the lock is taken
// over. The running instance also answers requests from short-lived
// commands ("index": scan now and reply with the summary), so they never
// write the catalog beside it. LockFileSingleInstance (linux/) is the
// implementation: an flock()ed lock file recording the holder's pid and a
// Unix socket on which the holder accepts "terminate" and other requests.
#pragma once

#include <functional>
#include <string>

#include "core/Error.h"

namespace pallix {

class SingleInstance {
 public:
  // Called when a newer instance asks this one to end; it should quit the
  // process soon (releasing the instance). Runs on the instance's own thread.
  using TerminateHandler = std::function<void()>;
  // Sends the one-line reply to a request and ends its connection. Callable
  // once, from any thread; dropping it unanswered ends the connection too.
  using Reply = std::function<void(const std::string& line)>;
  // Called with a request line other than "terminate" (without its newline).
  // Runs on the instance's own thread.
  using RequestHandler = std::function<void(const std::string& request, Reply reply)>;

  virtual ~SingleInstance() = default;
  // Becomes the running instance. Returns how many other instances were
  // ended to get there (for "AppDelegate.terminatedOtherInstances" with
  // "count"); fails when the holder could not be ended.
  virtual Result<int> acquire(TerminateHandler onTerminateRequest) = 0;
  // Gives the instance up (also done by the destructor and by process exit).
  virtual void release() = 0;
  // Set before acquire(); requests are refused (the connection ends) without one.
  virtual void setRequestHandler(RequestHandler handler) = 0;
};

}  // namespace pallix
