#include "app/platform/linux/LockFileSingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/platform/RequestLineReader.h"
#include "app/platform/linux/SocketOwnership.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kTerminateMessage = "terminate\n";
// Connections beyond this many, none of which has sent a whole request yet,
// are refused: a client cannot make the holder run out of descriptors.
constexpr size_t kMaxWaitingClients = 32;

using SteadyClock = std::chrono::steady_clock;

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The connection of a request being served. The reply (any thread) writes
// the answer and closes it; until then the listener writes keep-alives.
struct PendingReply {
  std::mutex mutex;
  int fd;
  explicit PendingReply(int f) : fd(f) {}
  ~PendingReply() {
    if (fd >= 0) ::close(fd);
  }
  void keepAlive() {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd >= 0) {
      ssize_t ignored = ::send(fd, " ", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)ignored;
    }
  }
  bool open() {
    std::lock_guard<std::mutex> lock(mutex);
    return fd >= 0;
  }
};

// A reply that owns the client connection: sends one line, then closes it;
// closes it unanswered when dropped.
SingleInstance::Reply makeReply(int fd, std::vector<std::weak_ptr<PendingReply>>& pending) {
  // The listener's connections are non-blocking; a reply may be long.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto connection = std::make_shared<PendingReply>(fd);
  pending.push_back(connection);
  return [connection](const std::string& line) {
    std::lock_guard<std::mutex> lock(connection->mutex);
    if (connection->fd < 0) return;
    std::string text = line + "\n";
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = ::send(connection->fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::close(connection->fd);
    connection->fd = -1;
  };
}

// A short line to a client connection that is then closed; never blocks.
void sendAndClose(int fd, const std::string& line) {
  std::string text = line + "\n";
  ssize_t ignored = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
  ::close(fd);
}

int pollMilliseconds(Duration d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

// Waits until the peer closes `fd` or `timeout` passes; true when closed.
bool waitForClose(int fd, Duration timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= Duration::zero()) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, pollMilliseconds(left) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[64];
    ssize_t n = ::read(fd, buffer, sizeof(buffer));  // the "ok" reply, then end of file
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

// Waits up to `timeout` for process `pid` to exit.
void waitForExit(pid_t pid, Duration timeout) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    if (errno == ESRCH) return;
    ::poll(nullptr, 0, pollMilliseconds(timeout));  // no pidfd support: wait out the grace period
    return;
  }
  pollfd p{pidfd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, pollMilliseconds(timeout));
  } while (ready < 0 && errno == EINTR);
  ::close(pidfd);
}

// A connection to the holder on `socketPath`, once the socket, its folder
// and the process listening are known to be the user's own.
Result<int> connectToHolder(const std::string& socketPath, uid_t agentUid, pid_t* agentPid = nullptr) {
  sockaddr_un address;
  if (!fillAddress(socketPath, &address)) {
    return singleInstanceError(kSocketPathTooLong, "Socket path " + socketPath + " is too long");
  }
  PALLIX_RETURN_IF_ERROR(checkSocketLocation(socketPath));
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Error::fromErrno("Cannot create a socket", errno);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    int err = errno;
    ::close(fd);
    return singleInstanceError(kNobodyListens, "No Pallix agent answers on " + socketPath + ": " + std::strerror(err));
  }
  auto peer = peerCredentials(fd);
  if (!peer.ok() || peer->uid != agentUid) {
    ::close(fd);
    if (!peer.ok()) return peer.error();
    return singleInstanceError(kNotOwnedByUser, "The process answering on " + socketPath + " (pid " +
                                                    std::to_string(peer->pid) + ") runs as uid " +
                                                    std::to_string(peer->uid) + ", not as uid " +
                                                    std::to_string(agentUid) + "; it is not your Pallix agent");
  }
  if (agentPid) *agentPid = peer->pid;
  return fd;
}

std::string secondsText(Duration d) {
  return stringPrintf("%g s", toSeconds(d));
}

}  // namespace

LockFileSingleInstance::Options LockFileSingleInstance::optionsFor(const DataDirectories& dirs) {
  Options options;
  options.lockPath = dirs.instanceLockPath();
  options.socketPath = dirs.socketPath();
  return options;
}

void LockFileSingleInstance::setRequestHandler(RequestHandler handler) {
  requestHandler_ = std::move(handler);
}

Result<std::string> LockFileSingleInstance::request(const std::string& socketPath, const std::string& request,
                                                    const AgentRequestOptions& options) {
  pid_t agentPid = 0;
  PALLIX_ASSIGN_OR_RETURN(int fd, connectToHolder(socketPath, options.agentUid, &agentPid));
  const std::string quoted = "\"" + std::string(truncateUtf8(request, 40)) + "\"";
  std::string line = request + "\n";
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot send " + quoted + " to the Pallix agent", err);
  }
  const std::string agent = "The Pallix agent (pid " + std::to_string(agentPid) + ")";
  const auto started = SteadyClock::now();
  auto lastHeard = started;
  std::string reply;
  char buffer[4096];
  while (reply.find('\n') == std::string::npos) {
    const auto now = SteadyClock::now();
    if (now - started >= options.answerLimit) {
      ::close(fd);
      return singleInstanceError(kAgentSilent,
                                 agent + " has not answered " + quoted + " within " + secondsText(options.answerLimit));
    }
    if (now - lastHeard >= options.silenceLimit) {
      ::close(fd);
      return singleInstanceError(kAgentSilent, agent + " took " + quoted + " but has sent nothing for " +
                                                   secondsText(options.silenceLimit) + "; it is stopped or hung");
    }
    const auto until = std::min(started + options.answerLimit, lastHeard + options.silenceLimit);
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, pollMilliseconds(until - now) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    lastHeard = SteadyClock::now();
    reply.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t newline = reply.find('\n');
  if (newline == std::string::npos) {
    return singleInstanceError(kEndedWithoutAnswer, agent + " ended the connection without answering " + quoted);
  }
  // Keep-alives come before the answer.
  size_t begin = reply.find_first_not_of(' ');
  return begin >= newline ? std::string() : reply.substr(begin, newline - begin);
}

LockFileSingleInstance::LockFileSingleInstance(Options options) : options_(std::move(options)) {}

LockFileSingleInstance::~LockFileSingleInstance() {
  release();
  if (listener_.joinable() && listener_.get_id() != std::this_thread::get_id()) listener_.join();
  closeEverything();
}

bool LockFileSingleInstance::tryLock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lockFd_ < 0) {
    lockFd_ = ::open(options_.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) return false;
  }
  return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

Result<int> LockFileSingleInstance::acquire(TerminateHandler onTerminateRequest) {
  if (holding_) return 0;
  if (listener_.joinable()) {  // a previous tenure released from its own handler
    listener_.join();
    closeEverything();
  }
  sockaddr_un address;
  if (!fillAddress(options_.socketPath, &address)) {
    return singleInstanceError(kSocketPathTooLong, "Socket path " + options_.socketPath +
                                                       " is too long; set XDG_RUNTIME_DIR to a shorter folder");
  }
  PALLIX_RETURN_IF_ERROR(createDirectories(parentOf(options_.lockPath)));
  PALLIX_RETURN_IF_ERROR(createDirectories(parentOf(options_.socketPath)));
  handler_ = std::move(onTerminateRequest);
  stopping_ = false;

  if (tryLock()) {
    PALLIX_RETURN_IF_ERROR(becomeHolder());
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lockFd_ < 0) return Error::fromErrno("Cannot open the instance lock " + options_.lockPath, errno);
  }

  pid_t holder = 0;
  if (auto text = readFileToString(options_.lockPath); text.ok()) {
    holder = static_cast<pid_t>(std::atoi(std::string(trimWhitespace(text.value())).c_str()));
  }
  int connection = sendTerminateRequest();
  if (connection >= 0) {
    bool closed = waitForClose(connection, options_.gracePeriod);
    ::close(connection);
    // A holder that is quitting may close the connection just before its
    // lock goes away with the rest of the process.
    if (closed && !tryLock() && holder > 0 && holder != ::getpid()) waitForExit(holder, options_.gracePeriod);
    if (tryLock()) {
      PALLIX_RETURN_IF_ERROR(becomeHolder());
      return 1;
    }
  }
  if (holder > 0 && holder != ::getpid()) {
    for (int sig : {SIGTERM, SIGKILL}) {
      logger_.info("Instance %d did not end; sending %s", static_cast<int>(holder),
                   sig == SIGTERM ? "SIGTERM" : "SIGKILL");
      if (::kill(holder, sig) != 0 && errno != ESRCH) break;
      waitForExit(holder, options_.gracePeriod);
      if (tryLock()) {
        PALLIX_RETURN_IF_ERROR(becomeHolder());
        return 1;
      }
    }
  }
  std::string who = holder > 0 ? "(pid " + std::to_string(holder) + ")" : "(no valid pid in " + options_.lockPath + ")";
  return singleInstanceError(kHolderDidNotEnd,
                             "Another Pallix instance " + who + " holds " + options_.lockPath + " and did not end");
}

Status LockFileSingleInstance::becomeHolder() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lockFd_, 0) != 0 ||
      ::pwrite(lockFd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    int err = errno;
    ::flock(lockFd_, LOCK_UN);
    return Error::fromErrno("Cannot write the instance lock " + options_.lockPath, err);
  }
  holding_ = true;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Holding the lock is what makes this the instance; without the socket a
  // newer instance falls back to signals.
  const std::string folder = parentOf(options_.socketPath);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    logger_.error("Not listening: cannot inspect %s: %s", folder.c_str(), std::strerror(errno));
    return okStatus();
  }
  if (Status safe = checkPrivateFolder(folder, st, ::geteuid()); !safe.ok()) {
    logger_.error("Not listening on %s: %s", options_.socketPath.c_str(), safe.error().description().c_str());
    return okStatus();
  }
  // The holder owns the socket path, so a socket left by a crashed holder is stale.
  ::unlink(options_.socketPath.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address;
  fillAddress(options_.socketPath, &address);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::chmod(options_.socketPath.c_str(), kPrivateFileMode) != 0 || ::listen(listenFd_, 8) != 0) {
    logger_.error("Cannot listen on %s: %s", options_.socketPath.c_str(), std::strerror(errno));
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  if (listenFd_ >= 0 && wakeFd_ >= 0) listener_ = std::thread([this] { listen(); });
  return okStatus();
}

int LockFileSingleInstance::sendTerminateRequest() {
  auto connected = connectToHolder(options_.socketPath, ::geteuid());
  if (!connected.ok()) {
    if (connected.error().code() != kNobodyListens) logger_.error("%s", connected.error().description().c_str());
    return -1;
  }
  int fd = connected.value();
  size_t length = std::strlen(kTerminateMessage);
  if (::send(fd, kTerminateMessage, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
    ::close(fd);
    return -1;
  }
  logger_.info("Asked the running instance to terminate");
  return fd;
}

void LockFileSingleInstance::listen() {
  struct Client {
    int fd;
    RequestLineReader reader;
    SteadyClock::time_point accepted;
  };
  std::vector<Client> clients;
  std::vector<std::weak_ptr<PendingReply>> pending;
  auto nextKeepAlive = SteadyClock::now();
  auto refuse = [this](Client& c, const std::string& why) {
    logger_.info("Refused a client: %s", why.c_str());
    sendAndClose(c.fd, encodeRequestRefusal(why));
    c.fd = -1;
  };
  while (!stopping_) {
    std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    // Woken for the next client deadline and, while requests are served, the next keep-alive.
    std::optional<SteadyClock::time_point> wake;
    for (const auto& c : clients) {
      auto deadline = c.accepted + options_.requestDeadline;
      if (!wake || deadline < *wake) wake = deadline;
    }
    if (!pending.empty() && (!wake || nextKeepAlive < *wake)) wake = nextKeepAlive;
    int timeout = wake ? pollMilliseconds(*wake - SteadyClock::now()) + 1 : -1;
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || stopping_) break;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        Client c{fd, RequestLineReader(), SteadyClock::now()};
        auto peer = peerCredentials(fd);
        if (!peer.ok()) {
          refuse(c, peer.error().description());
        } else if (peer->uid != options_.clientUid) {
          logger_.error("Refused a connection from pid %d, which runs as uid %u", static_cast<int>(peer->pid),
                        static_cast<unsigned>(peer->uid));
          refuse(c, "this agent serves uid " + std::to_string(options_.clientUid) + " only");
        } else if (clients.size() >= kMaxWaitingClients) {
          refuse(c, "too many connections are waiting");
        } else {
          clients.push_back(std::move(c));
        }
      }
    }
    bool terminate = false;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[i - 2];
      char buffer[1024];
      ssize_t n = ::read(c.fd, buffer, sizeof(buffer));
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        // A client that only closed its writing end still reads the refusal.
        if (auto cut = c.reader.finish()) {
          refuse(c, cut->text);
        } else {
          ::close(c.fd);
          c.fd = -1;
        }
        continue;
      }
      for (RequestEvent& event : c.reader.feed(std::string_view(buffer, static_cast<size_t>(n)))) {
        if (event.kind == RequestEvent::Kind::refusal) {
          refuse(c, event.text);
          break;
        }
        if (event.text == "terminate") {
          ssize_t ignored = ::send(c.fd, "ok\n", 3, MSG_NOSIGNAL);
          (void)ignored;
          terminate = true;
        } else if (requestHandler_) {
          // The reply owns the connection from here on; the listener lets go.
          if (pending.empty()) nextKeepAlive = SteadyClock::now() + options_.keepAliveInterval;
          requestHandler_(event.text, makeReply(c.fd, pending));
          c.fd = -1;
          break;
        } else {
          logger_.debug("Ignoring unknown instance message \"%s\"", std::string(truncateUtf8(event.text, 40)).c_str());
        }
      }
    }
    const auto now = SteadyClock::now();
    for (Client& c : clients) {
      if (c.fd >= 0 && now - c.accepted >= options_.requestDeadline) {
        refuse(c, "no whole request within " + secondsText(options_.requestDeadline));
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    std::erase_if(pending, [](const std::weak_ptr<PendingReply>& p) {
      auto reply = p.lock();
      return !reply || !reply->open();
    });
    if (!pending.empty() && now >= nextKeepAlive) {
      for (const auto& p : pending) {
        if (auto reply = p.lock()) reply->keepAlive();
      }
      nextKeepAlive = now + options_.keepAliveInterval;
    }
    if (terminate) {
      logger_.info("Another instance asked this one to terminate");
      if (handler_) handler_();
    }
  }
  // Closing the connections tells waiting newcomers that this instance is done.
  for (const auto& c : clients) ::close(c.fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void LockFileSingleInstance::release() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (holding_) ::unlink(options_.socketPath.c_str());  // before unlocking: the next holder binds it
    if (lockFd_ >= 0) {
      ::flock(lockFd_, LOCK_UN);
      ::close(lockFd_);
      lockFd_ = -1;
    }
    holding_ = false;
    if (wakeFd_ >= 0) {
      uint64_t one = 1;
      ssize_t ignored = ::write(wakeFd_, &one, sizeof(one));
      (void)ignored;
    }
  }
  if (listener_.joinable() && listener_.get_id() != std::this_thread::get_id()) {
    listener_.join();
    closeEverything();
  }
}

void LockFileSingleInstance::closeEverything() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  listenFd_ = -1;
  wakeFd_ = -1;
}

}  // namespace pallix
