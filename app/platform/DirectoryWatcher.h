// DirectoryWatcher: recursive file-system change events for a set of
// directories.
//
// Events are delivered in batches on the watcher's own thread (never on the
// caller's). A batch whose flags include mustScanSubDirs means events were
// lost (queue overflow, watch limit reached) and the caller must rescan.
// InotifyDirectoryWatcher is the Linux implementation; FakeDirectoryWatcher
// lets tests inject batches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

enum DirectoryEventFlag : uint32_t {
  kDirectoryEventCreated = 1u << 0,
  kDirectoryEventRemoved = 1u << 1,
  kDirectoryEventRenamed = 1u << 2,
  kDirectoryEventModified = 1u << 3,  // content changed
  kDirectoryEventInodeMetaModified = 1u << 4,
  kDirectoryEventIsDirectory = 1u << 5,
  kDirectoryEventMustScanSubDirs = 1u << 6,
  kDirectoryEventRootChanged = 1u << 7,
  kDirectoryEventMount = 1u << 8,
  kDirectoryEventUnmount = 1u << 9,
  kDirectoryEventIsFile = 1u << 10,
};

struct DirectoryEvent {
  std::string path;
  uint32_t flags = 0;
};

class DirectoryWatcher {
 public:
  using Handler = std::function<void(std::vector<DirectoryEvent>)>;
  virtual ~DirectoryWatcher() = default;

  // Starts watching `directories` and everything below them. Events that
  // arrive within `latency` of each other are delivered as one batch.
  // Directories that cannot be watched are skipped; fails only when none can.
  virtual Status start(const std::vector<std::string>& directories, Duration latency, Handler handler) = 0;
  // Stops delivery; no handler call starts after stop() returns.
  virtual void stop() = 0;
  // The number of directories being watched (for "Watching %ld directories").
  virtual size_t watchedDirectoryCount() const = 0;
};

class DirectoryWatcherFactory {
 public:
  virtual ~DirectoryWatcherFactory() = default;
  virtual std::unique_ptr<DirectoryWatcher> makeWatcher() = 0;
};

}  // namespace pallix
