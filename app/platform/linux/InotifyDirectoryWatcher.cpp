#include "app/platform/linux/InotifyDirectoryWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/Strings.h"

namespace pallix {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

constexpr int kMaxBatchLatencies = 4;

std::string normalizeDirectory(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isUnder(const std::string& path, const std::string& directory) {
  return path == directory || (path.size() > directory.size() && startsWith(path, directory) &&
                               (directory == "/" || path[directory.size()] == '/'));
}

std::string childPath(const std::string& directory, const char* name) {
  return directory == "/" ? "/" + std::string(name) : directory + "/" + name;
}

// Appends `event`, merging it into the previous one when both are for the same
// path (an editor's write produces a run of modify and close events).
void appendEvent(std::vector<DirectoryEvent>* out, DirectoryEvent event) {
  if (!out->empty() && out->back().path == event.path) {
    out->back().flags |= event.flags;
    return;
  }
  out->push_back(std::move(event));
}

}  // namespace

uint32_t directoryEventFlagsForInotifyMask(uint32_t mask) {
  uint32_t flags = 0;
  if (mask & IN_CREATE) flags |= kDirectoryEventCreated;
  if (mask & IN_MOVED_TO) flags |= kDirectoryEventCreated | kDirectoryEventRenamed;
  if (mask & IN_DELETE) flags |= kDirectoryEventRemoved;
  if (mask & IN_MOVED_FROM) flags |= kDirectoryEventRemoved | kDirectoryEventRenamed;
  if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) flags |= kDirectoryEventModified;
  if (mask & IN_ATTRIB) flags |= kDirectoryEventInodeMetaModified;
  if (mask & IN_UNMOUNT) flags |= kDirectoryEventUnmount;
  if (mask & IN_Q_OVERFLOW) flags |= kDirectoryEventMustScanSubDirs;
  if (flags &
      (kDirectoryEventCreated | kDirectoryEventRemoved | kDirectoryEventModified | kDirectoryEventInodeMetaModified)) {
    flags |= (mask & IN_ISDIR) ? kDirectoryEventIsDirectory : kDirectoryEventIsFile;
  }
  return flags;
}

InotifyDirectoryWatcher::InotifyDirectoryWatcher(Options options) : options_(options) {}

InotifyDirectoryWatcher::~InotifyDirectoryWatcher() {
  stop();
}

Status InotifyDirectoryWatcher::start(const std::vector<std::string>& directories, Duration latency, Handler handler) {
  stop();
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return Error::fromErrno("Cannot create an inotify instance", errno);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    int err = errno;
    closeDescriptors();
    return Error::fromErrno("Cannot create the watcher's wake-up descriptor", err);
  }
  latency_ = latency;
  handler_ = std::move(handler);
  limitReported_ = false;
  stopping_ = false;

  std::vector<DirectoryEvent> initial;
  std::string firstFailure;
  size_t watchedRoots = 0;
  for (const auto& raw : directories) {
    std::string root = normalizeDirectory(raw);
    if (root.empty()) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      roots_.push_back(root);
    }
    if (addTree(root, false, &initial)) {
      ++watchedRoots;
    } else {
      if (firstFailure.empty()) firstFailure = root;
      std::lock_guard<std::mutex> lock(mutex_);
      roots_.pop_back();
    }
  }
  if (watchedRoots == 0) {
    closeDescriptors();
    handler_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    roots_.clear();
    return Error("DirectoryWatcherError", 1,
                 firstFailure.empty() ? std::string("No directories to watch")
                                      : "No directory could be watched (first failure: " + firstFailure + ")");
  }
  // Initial events (a watch limit hit while adding the roots) make the first
  // batch a rescan request.
  thread_ = std::thread([this, initial = std::move(initial)]() mutable { run(std::move(initial)); });
  return okStatus();
}

void InotifyDirectoryWatcher::stop() {
  stopping_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof(one));
    (void)ignored;
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) return;  // called from the handler
    thread_.join();
  }
  closeDescriptors();
  handler_ = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  pathByWatch_.clear();
  watchByPath_.clear();
  roots_.clear();
}

size_t InotifyDirectoryWatcher::watchedDirectoryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pathByWatch_.size();
}

void InotifyDirectoryWatcher::closeDescriptors() {
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  inotifyFd_ = -1;
  wakeFd_ = -1;
}

bool InotifyDirectoryWatcher::isRoot(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& root : roots_) {
    if (root == path) return true;
  }
  return false;
}

bool InotifyDirectoryWatcher::addWatch(const std::string& directory, std::vector<DirectoryEvent>* out) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.maxWatches != 0 && pathByWatch_.size() >= options_.maxWatches && !watchByPath_.count(directory)) {
      errno = ENOSPC;
    } else {
      errno = 0;
    }
  }
  int wd = errno == ENOSPC ? -1 : inotify_add_watch(inotifyFd_, directory.c_str(), kWatchMask);
  if (wd < 0) {
    int err = errno;
    if (err == ENOSPC) {
      if (!limitReported_) {
        logger_.error("Watch limit reached at %s; remaining directories are covered by rescans", directory.c_str());
        limitReported_ = true;
      }
      appendEvent(out, {directory, kDirectoryEventMustScanSubDirs | kDirectoryEventIsDirectory});
    } else if (err != ENOENT && err != ENOTDIR) {
      logger_.debug("Skipping unwatchable directory %s: %s", directory.c_str(), std::strerror(err));
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto previous = pathByWatch_.find(wd);
  if (previous != pathByWatch_.end() && previous->second != directory) watchByPath_.erase(previous->second);
  pathByWatch_[wd] = directory;
  watchByPath_[directory] = wd;
  return true;
}

bool InotifyDirectoryWatcher::addTree(const std::string& directory, bool reportContents,
                                      std::vector<DirectoryEvent>* out) {
  if (!addWatch(directory, out)) return false;
  std::vector<std::string> stack{directory};
  while (!stack.empty()) {
    std::string current = std::move(stack.back());
    stack.pop_back();
    DIR* dir = ::opendir(current.c_str());
    if (!dir) continue;  // unreadable: its watch (if any) still reports changes to the entries
    while (dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      std::string child = childPath(current, entry->d_name);
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = ::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (reportContents) {
        appendEvent(out,
                    {child, kDirectoryEventCreated | (isDir ? kDirectoryEventIsDirectory : kDirectoryEventIsFile)});
      }
      if (isDir && addWatch(child, out)) stack.push_back(std::move(child));
    }
    ::closedir(dir);
  }
  return true;
}

void InotifyDirectoryWatcher::removeTree(const std::string& directory) {
  std::vector<int> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = watchByPath_.lower_bound(directory); it != watchByPath_.end() && isUnder(it->first, directory);) {
      doomed.push_back(it->second);
      pathByWatch_.erase(it->second);
      it = watchByPath_.erase(it);
    }
  }
  for (int wd : doomed) inotify_rm_watch(inotifyFd_, wd);
}

bool InotifyDirectoryWatcher::readEvents(std::vector<DirectoryEvent>* pending) {
  bool any = false;
  alignas(inotify_event) char buffer[64 * 1024];
  while (true) {
    ssize_t n = ::read(inotifyFd_, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) logger_.error("Failed to read file-system events: %s", std::strerror(errno));
      return any;
    }
    if (n == 0) return any;
    any = true;
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        std::vector<std::string> roots;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          roots = roots_;
        }
        for (const auto& root : roots) {
          appendEvent(pending, {root, kDirectoryEventMustScanSubDirs | kDirectoryEventIsDirectory});
        }
        continue;
      }
      std::string directory;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pathByWatch_.find(event->wd);
        if (it == pathByWatch_.end()) continue;  // a watch already removed
        directory = it->second;
        if (event->mask & IN_IGNORED) {
          watchByPath_.erase(directory);
          pathByWatch_.erase(it);
          continue;
        }
      }
      if (event->mask & IN_UNMOUNT) {
        appendEvent(pending, {directory, kDirectoryEventUnmount | kDirectoryEventIsDirectory});
        continue;
      }
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        // Other directories' removals are reported by their parent's watch.
        if (isRoot(directory)) {
          appendEvent(pending, {directory, kDirectoryEventRootChanged | kDirectoryEventIsDirectory});
        }
        continue;
      }
      if (event->len == 0) continue;
      std::string path = childPath(directory, event->name);
      uint32_t flags = directoryEventFlagsForInotifyMask(event->mask);
      if (flags == 0) continue;
      appendEvent(pending, {path, flags});
      if (event->mask & IN_ISDIR) {
        // A directory moved away keeps its watches; drop them so they do not
        // report under the old path. If it moved within the tree, the
        // matching IN_MOVED_TO adds it back under its new path.
        if (event->mask & IN_MOVED_FROM) removeTree(path);
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) addTree(path, true, pending);
      }
    }
  }
}

void InotifyDirectoryWatcher::run(std::vector<DirectoryEvent> pending) {
  using Steady = std::chrono::steady_clock;
  const auto latency = std::chrono::duration_cast<Steady::duration>(latency_);
  Steady::time_point batchStart = Steady::now();
  Steady::time_point deadline = batchStart + latency;
  while (!stopping_) {
    int timeoutMs = -1;
    if (!pending.empty()) {
      auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      timeoutMs = remaining < 0 ? 0 : static_cast<int>(remaining) + 1;
    }
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      logger_.error("Directory watcher stopped: poll failed: %s", std::strerror(errno));
      return;
    }
    if (stopping_) return;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      bool wasEmpty = pending.empty();
      if (readEvents(&pending) && !pending.empty()) {
        auto now = Steady::now();
        if (wasEmpty) batchStart = now;
        // Quiet for `latency` ends a batch; a steady stream is still
        // delivered at least every kMaxBatchLatencies latencies.
        deadline = std::min(now + latency, batchStart + kMaxBatchLatencies * latency);
      }
    }
    if (!pending.empty() && Steady::now() >= deadline) {
      std::vector<DirectoryEvent> batch;
      batch.swap(pending);
      if (stopping_) return;
      if (handler_) handler_(std::move(batch));
    }
  }
}

std::unique_ptr<DirectoryWatcher> LinuxDirectoryWatcherFactory::makeWatcher() {
  return std::make_unique<InotifyDirectoryWatcher>();
}

}  // namespace pallix
