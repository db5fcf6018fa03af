// InotifyFileChangeMonitor: the Linux FileChangeMonitor.
//
// One inotify watch on the file's folder (not recursive), reporting the
// events that name the file: closed after writing, moved in (an atomic
// replacement), created, deleted or moved away. The events are read on the
// monitor's own thread, which runs the handler.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "app/platform/FileChangeMonitor.h"

namespace pallix {

class InotifyFileChangeMonitor final : public FileChangeMonitor {
 public:
  InotifyFileChangeMonitor() = default;
  ~InotifyFileChangeMonitor() override;
  InotifyFileChangeMonitor(const InotifyFileChangeMonitor&) = delete;
  InotifyFileChangeMonitor& operator=(const InotifyFileChangeMonitor&) = delete;

  Status start(const std::string& path, Handler handler) override;
  void stop() override;

 private:
  void run();

  std::string name_;
  Handler handler_;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace pallix
