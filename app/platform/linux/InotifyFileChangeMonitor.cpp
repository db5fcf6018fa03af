#include "app/platform/linux/InotifyFileChangeMonitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pallix {

InotifyFileChangeMonitor::~InotifyFileChangeMonitor() {
  stop();
}

Status InotifyFileChangeMonitor::start(const std::string& path, Handler handler) {
  stop();
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return Error::fromErrno("Cannot watch " + path, errno);
  constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
  if (::inotify_add_watch(inotifyFd_, folder.c_str(), kMask) < 0) {
    int err = errno;
    ::close(inotifyFd_);
    inotifyFd_ = -1;
    return Error::fromErrno("Cannot watch " + folder, err);
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  handler_ = std::move(handler);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return okStatus();
}

void InotifyFileChangeMonitor::run() {
  alignas(inotify_event) char buffer[8192];
  while (!stopping_) {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || stopping_ || (fds[1].revents & POLLIN)) break;
    bool relevant = false;
    while (true) {
      ssize_t n = ::read(inotifyFd_, buffer, sizeof(buffer));
      if (n <= 0) break;
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        // A full queue may have dropped the file's event: re-read to be sure.
        if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && name_ == event->name)) relevant = true;
        p += sizeof(inotify_event) + event->len;
      }
    }
    if (relevant && !stopping_ && handler_) handler_();
  }
}

void InotifyFileChangeMonitor::stop() {
  stopping_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof(one));
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  inotifyFd_ = -1;
  wakeFd_ = -1;
}

}  // namespace pallix
