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
//
// Both ends trust only their own user: the socket's folder must belong to the
// user and be closed to others (SocketOwnership.h), the holder refuses a
// client of another uid, and a client refuses a holder of another uid.
// Client bytes are read by a RequestLineReader: what it refuses is answered
// with a refusal line and the connection ends; a client that has not sent a
// whole request within the request deadline is cut off. While a request is
// being served, the listener sends a blank (a keep-alive, ignored by
// clients) every keep-alive interval, so a client tells a busy holder from a
// stopped one.
#pragma once

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/SingleInstance.h"
#include "core/Clock.h"
#include "core/Logger.h"

namespace pallix {

// How long a client waits for the holder's answer to a request.
struct AgentRequestOptions {
  // Without a byte from the holder (keep-alives included) for this long, the
  // holder is taken to be stopped or hung.
  Duration silenceLimit = seconds(5);
  // The whole wait, however busy the holder keeps saying it is.
  Duration answerLimit = seconds(600);
  // The uid the holder must run as.
  uid_t agentUid = ::geteuid();
};

class LockFileSingleInstance final : public SingleInstance {
 public:
  struct Options {
    std::string lockPath;
    std::string socketPath;
    Duration gracePeriod = seconds(3);
    // A client that has not sent a whole request by then is cut off.
    Duration requestDeadline = seconds(10);
    Duration keepAliveInterval = seconds(1);
    // The uid whose clients are served.
    uid_t clientUid = ::geteuid();
  };
  // The instance lock in the data directory and the socket of `dirs`.
  static Options optionsFor(const DataDirectories& dirs);
  // Sends `request` to the instance listening on `socketPath` and waits, as
  // `options` bound it, for its one-line reply. Fails (kSingleInstanceErrorDomain,
  // SingleInstanceErrorCode) when nobody listens, the socket or its folder is
  // not the user's own, the holder runs as another uid, falls silent or takes
  // too long, or ends the connection without a reply.
  static Result<std::string> request(const std::string& socketPath, const std::string& request,
                                     const AgentRequestOptions& options = AgentRequestOptions());

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
