#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/platform/DirectoryWatcher.h"

namespace pallix {

// A watcher whose events are injected by tests through deliver().
class FakeDirectoryWatcher final : public DirectoryWatcher {
 public:
  Status start(const std::vector<std::string>& directories, Duration, Handler handler) override {
    std::lock_guard<std::mutex> lock(mutex_);
    directories_ = directories;
    handler_ = std::move(handler);
    running_ = true;
    return okStatus();
  }
  void stop() override {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    handler_ = nullptr;
  }
  size_t watchedDirectoryCount() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ ? directories_.size() : 0;
  }
  // Calls the handler synchronously, as the watcher thread would.
  void deliver(std::vector<DirectoryEvent> events) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(std::move(events));
  }
  bool running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }
  std::vector<std::string> directories() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return directories_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> directories_;
  Handler handler_;
  bool running_ = false;
};

}  // namespace pallix
