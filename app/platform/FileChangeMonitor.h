// FileChangeMonitor: tells when one file was replaced, rewritten or removed,
// by this process or another (the settings file, which every Pallix process
// writes).
//
// The handler runs on the monitor's own thread, possibly more than once per
// change and for changes of this process too: it should only schedule a
// re-read. InotifyFileChangeMonitor (linux/) watches the file's folder;
// FakeFileChangeMonitor lets tests announce changes.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "core/Error.h"

namespace pallix {

class FileChangeMonitor {
 public:
  using Handler = std::function<void()>;
  virtual ~FileChangeMonitor() = default;
  // Starts watching `path`, whose folder must exist (the file need not).
  virtual Status start(const std::string& path, Handler handler) = 0;
  // No handler call starts after stop() returns.
  virtual void stop() = 0;
};

}  // namespace pallix
