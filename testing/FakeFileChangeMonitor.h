#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "app/platform/FileChangeMonitor.h"

namespace pallix {

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
