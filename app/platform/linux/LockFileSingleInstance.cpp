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
#include <vector>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "SingleInstanceError";
constexpr const char* kTerminateMessage = "terminate\n";

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

// A reply that owns the client connection: sends one line, then closes it;
// closes it unanswered when dropped.
SingleInstance::Reply makeReply(int fd) {
  struct Connection {
    std::mutex mutex;
    int fd;
    explicit Connection(int f) : fd(f) {}
    ~Connection() {
      if (fd >= 0) ::close(fd);
    }
  };
  // The listener's connections are non-blocking; a reply may be long.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto connection = std::make_shared<Connection>(fd);
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

Result<std::string> LockFileSingleInstance::request(const std::string& socketPath, const std::string& request) {
  sockaddr_un address;
  if (!fillAddress(socketPath, &address)) return Error(kDomain, 1, "Socket path " + socketPath + " is too long");
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Error::fromErrno("Cannot create a socket", errno);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("No Pallix agent answers on " + socketPath, err);
  }
  std::string line = request + "\n";
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot send \"" + request + "\" to the Pallix agent", err);
  }
  std::string reply;
  char buffer[4096];
  while (reply.find('\n') == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t newline = reply.find('\n');
  if (newline == std::string::npos) {
    return Error(kDomain, 3, "The Pallix agent ended the connection without answering \"" + request + "\"");
  }
  return reply.substr(0, newline);
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
    return Error(kDomain, 1,
                 "Socket path " + options_.socketPath + " is too long; set XDG_RUNTIME_DIR to a shorter folder");
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
  return Error(kDomain, 2, "Another Pallix instance " + who + " holds " + options_.lockPath + " and did not end");
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
  // The holder owns the socket path, so a socket left by a crashed holder is stale.
  ::unlink(options_.socketPath.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address;
  fillAddress(options_.socketPath, &address);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::chmod(options_.socketPath.c_str(), kPrivateFileMode) != 0 || ::listen(listenFd_, 8) != 0) {
    // Holding the lock is what makes this the instance; without the socket a
    // newer instance falls back to signals.
    logger_.error("Cannot listen on %s: %s", options_.socketPath.c_str(), std::strerror(errno));
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  holding_ = true;
  if (listenFd_ >= 0 && wakeFd_ >= 0) listener_ = std::thread([this] { listen(); });
  return okStatus();
}

int LockFileSingleInstance::sendTerminateRequest() {
  sockaddr_un address;
  if (!fillAddress(options_.socketPath, &address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
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
    std::string buffer;
  };
  std::vector<Client> clients;
  while (!stopping_) {
    std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || stopping_) break;
    if (fds[0].revents & POLLIN) {
      int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) clients.push_back({client, {}});
    }
    bool terminate = false;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[i - 2];
      char buffer[256];
      ssize_t n = ::read(c.fd, buffer, sizeof(buffer));
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        ::close(c.fd);
        c.fd = -1;
        continue;
      }
      c.buffer.append(buffer, static_cast<size_t>(n));
      size_t newline;
      while ((newline = c.buffer.find('\n')) != std::string::npos) {
        std::string message(trimWhitespace(c.buffer.substr(0, newline)));
        c.buffer.erase(0, newline + 1);
        if (message == "terminate") {
          ssize_t ignored = ::send(c.fd, "ok\n", 3, MSG_NOSIGNAL);
          (void)ignored;
          terminate = true;
        } else if (requestHandler_ && !message.empty() && c.fd >= 0) {
          // The reply owns the connection from here on; the listener lets go.
          requestHandler_(message, makeReply(c.fd));
          c.fd = -1;
          break;
        } else {
          logger_.debug("Ignoring unknown instance message \"%s\"", message.substr(0, 40).c_str());
        }
      }
      if (c.fd >= 0 && c.buffer.size() > 1024) {  // not a client of ours
        ::close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
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
