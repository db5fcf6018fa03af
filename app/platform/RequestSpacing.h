// RequestSpacing: keeps the requests to one web service at least `interval`
// apart. A request claims the next free start time and waits for it; the slot
// is taken whether or not the request is sent in the end.
//
// InProcessRequestSpacing holds the last slot in memory (one process).
// LockFileRequestSpacing holds it in a file that every Pallix process shares
// (the runtime directory's "places.spacing"): the file is created 0600 and
// read and rewritten under an exclusive flock(), so two commands started
// together still start their requests a second apart. A file that cannot be
// used degrades to the in-process rule, with one log line.
//
// Threading: claim() may be called from any thread; it blocks only for the
// short critical section under the lock.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/Logger.h"

namespace pallix {

class RequestSpacing {
 public:
  // A slot further ahead than this is a clock that was set back (or a
  // damaged file) and is ignored rather than waited for.
  static constexpr Duration kMaximumWait = std::chrono::minutes(1);

  virtual ~RequestSpacing() = default;
  // The start time of the caller's request: `now`, or later when an earlier
  // request (of any process sharing this spacing) started less than the
  // interval ago or is waiting for its own slot.
  virtual Date claim(Date now) = 0;
};

class InProcessRequestSpacing final : public RequestSpacing {
 public:
  explicit InProcessRequestSpacing(Duration interval) : interval_(interval) {}
  Date claim(Date now) override;

 private:
  Duration interval_;
  std::mutex mutex_;
  std::optional<Date> last_;
};

class LockFileRequestSpacing final : public RequestSpacing {
 public:
  LockFileRequestSpacing(std::string path, Duration interval);
  Date claim(Date now) override;
  const std::string& path() const { return path_; }

 private:
  // The slot claimed under the file's lock, or an error naming the cause.
  Result<Date> claimInFile(Date now);

  std::string path_;
  Duration interval_;
  InProcessRequestSpacing fallback_;
  std::once_flag loggedFailure_;
  Logger logger_{"RequestSpacing"};
};

}  // namespace pallix
