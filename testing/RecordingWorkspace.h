#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/platform/Workspace.h"

namespace pallix {

class RecordingWorkspace final : public Workspace {
 public:
  enum class Action { launchApplication, openFile, revealInFileManager, openURL };
  struct Request {
    Action action;
    std::string target;  // path or URL
    std::string bundleIdentifier;
    friend bool operator==(const Request&, const Request&) = default;
  };

  Status launchApplication(const ApplicationReference& app) override {
    return record({Action::launchApplication, app.path, app.bundleIdentifier});
  }
  Status openFile(const std::string& path) override { return record({Action::openFile, path, {}}); }
  Status revealInFileManager(const std::string& path) override {
    return record({Action::revealInFileManager, path, {}});
  }
  Status openURL(const std::string& url) override { return record({Action::openURL, url, {}}); }

  // Every request from now on fails with `error` (until clearFailure()).
  void failWith(Error error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(error);
    failing_ = true;
  }
  void clearFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = false;
  }
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  Status record(Request request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    if (failing_) return failure_;
    return okStatus();
  }

  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  Error failure_;
  bool failing_ = false;
};

}  // namespace pallix
