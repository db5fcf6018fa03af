// LockFileSingleInstance: SingleInstance with a lock file and a Unix socket.
//
// The holder keeps an exclusive flock() on the lock file (its pid written
// inside) and listens on the socket. A newcomer that finds the lock taken
// connects and sends "terminate\n", then waits (poll(), up to the grace
// period) for the holder to close the connection; when the lock is still held
// it sends SIGTERM to the recorded pid, then SIGKILL, each time waiting up to
// the grace period for the process to exit (through a pidfd). An instance never
// signals its own process. The listener runs on its own thread, which also
// runs the terminate and request handlers; release() may be called from the
// terminate handler. The socket is made 0600 as soon as it is bound.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "app/platform/DataDirectories.h"
#include "app/platform/SingleInstance.h"
#include "core/Clock.h"
#include "core/Logger.h"

namespace pallix {

class LockFileSingleInstance final : public SingleInstance {
 public:
  struct Options {
    std::string lockPath;
    std::string socketPath;
    Duration gracePeriod = seconds(3);
  };
  // The instance lock in the data directory and the socket of `dirs`.
  static Options optionsFor(const DataDirectories& dirs);
  // Sends `request` to the instance listening on `socketPath` and waits (as
  // long as the connection stays open) for its one-line reply. Fails when
  // nobody listens or the instance ended the connection without a reply.
  static Result<std::string> request(const std::string& socketPath, const std::string& request);

  explicit LockFileSingleInstance(Options options);
  ~LockFileSingleInstance() override;
  LockFileSingleInstance(const LockFileSingleInstance&) = delete;
  LockFileSingleInstance& operator=(const LockFileSingleInstance&) = delete;

  Result<int> acquire(TerminateHandler onTerminateRequest) override;
  void release() override;
  void setRequestHandler(RequestHandler handler) override;

  bool isHolder() const { return holding_; }

 private:
  bool tryLock();
  Status becomeHolder();
  // Sends "terminate"; returns the connection (or -1 when nobody listens).
  int sendTerminateRequest();
  void listen();
  void closeEverything();

  Options options_;
  Logger logger_{"SingleInstance"};
  std::mutex mutex_;  // guards the descriptors below against release() racing the listener
  int lockFd_ = -1;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> holding_{false};
  std::atomic<bool> stopping_{false};
  TerminateHandler handler_;
  RequestHandler requestHandler_;  // set before acquire(); read by the listener
  std::thread listener_;
};

}  // namespace pallix
