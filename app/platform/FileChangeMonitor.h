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

class FakeFileChangeMonitor final : public FileChangeMonitor {
 public:
  Status start(const std::string& path, Handler handler) override {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    handler_ = std::move(handler);
    return okStatus();
  }
  void stop() override {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
  }
  // Calls the handler synchronously, as the monitor's thread would.
  void fileChanged() {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handler = handler_;
    }
    if (handler) handler();
  }
  bool running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handler_ != nullptr;
  }
  std::string path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
  }

 private:
  mutable std::mutex mutex_;
  std::string path_;
  Handler handler_;
};

}  // namespace pallix
