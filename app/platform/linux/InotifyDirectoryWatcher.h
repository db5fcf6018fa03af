// InotifyDirectoryWatcher: the Linux DirectoryWatcher, built on inotify.
//
// Watches every directory below the given roots (one inotify watch per
// directory, added as subdirectories appear). Events are collected on the
// watcher's own thread and delivered there in batches: a batch is flushed
// once no event arrived for `latency`, and at the latest 4 latencies after
// its first event. A directory created or moved into the tree
// is scanned once its watch exists, and everything found inside is reported as
// created, so files written before the watch existed are not lost. A full
// inotify queue or an exhausted watch limit is reported as
// kDirectoryEventMustScanSubDirs so the caller rescans.
//
// Threads: start()/stop()/watchedDirectoryCount() may be called from any
// thread; the handler runs on the watcher thread. The watcher must not be
// destroyed from inside its own handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/platform/DirectoryWatcher.h"
#include "core/Logger.h"

namespace pallix {

// The DirectoryEventFlag set for one inotify event mask (without the
// root/overflow handling, which needs the watcher's state).
uint32_t directoryEventFlagsForInotifyMask(uint32_t mask);

class InotifyDirectoryWatcher final : public DirectoryWatcher {
 public:
  struct Options {
    // At most this many watches are added; reaching it behaves like the
    // kernel's watch limit (ENOSPC): the batch asks for a rescan. 0 = no limit.
    size_t maxWatches = 0;
  };

  InotifyDirectoryWatcher() : InotifyDirectoryWatcher(Options{}) {}
  explicit InotifyDirectoryWatcher(Options options);
  ~InotifyDirectoryWatcher() override;

  InotifyDirectoryWatcher(const InotifyDirectoryWatcher&) = delete;
  InotifyDirectoryWatcher& operator=(const InotifyDirectoryWatcher&) = delete;

  Status start(const std::vector<std::string>& directories, Duration latency, Handler handler) override;
  void stop() override;
  size_t watchedDirectoryCount() const override;

 private:
  // Adds watches for `directory` and its subdirectories. When `reportContents`
  // is set, every entry found below `directory` is appended to `out` as
  // created. Returns false when nothing could be watched.
  bool addTree(const std::string& directory, bool reportContents, std::vector<DirectoryEvent>* out);
  bool addWatch(const std::string& directory, std::vector<DirectoryEvent>* out);
  void removeTree(const std::string& directory);
  void run(std::vector<DirectoryEvent> pending);
  // Drains the inotify queue into `pending`; true when anything was read.
  bool readEvents(std::vector<DirectoryEvent>* pending);
  bool isRoot(const std::string& path) const;
  void closeDescriptors();

  Options options_;
  Logger logger_{"DirectoryWatcher"};
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  Duration latency_{};
  Handler handler_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  bool limitReported_ = false;  // watcher thread (or start before it runs)

  mutable std::mutex mutex_;  // guards the maps below (written on the watcher thread)
  std::unordered_map<int, std::string> pathByWatch_;
  std::map<std::string, int> watchByPath_;
  std::vector<std::string> roots_;
};

class LinuxDirectoryWatcherFactory final : public DirectoryWatcherFactory {
 public:
  std::unique_ptr<DirectoryWatcher> makeWatcher() override;
};

}  // namespace pallix
