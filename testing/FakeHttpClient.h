#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/platform/HttpClient.h"

namespace pallix {

// Answers requests from a script, after `delay` of virtual time on `runner`.
// A script that returns nullopt never answers, which stands in for a server
// that accepts and stays silent; such a request completes (as cancelled) only
// when it was cancelled and the test calls deliverCancellations().
class FakeHttpClient final : public HttpClient {
 public:
  using Script = std::function<std::optional<Result<HttpResponse>>(const HttpRequest&)>;
  explicit FakeHttpClient(TaskRunnerPtr runner) : runner_(std::move(runner)) {}

  TaskHandle get(HttpRequest request, HttpCompletion completion, HttpProgress progress = {}) override;

  void setScript(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
  }
  // Answers every request with `status` and `body`.
  void respondWith(int status, std::string body);
  void setDelay(Duration delay) { delay_ = delay; }
  std::vector<HttpRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<std::string> urls() const;
  // Requests whose answer has not been delivered yet and that were not cancelled.
  size_t pendingCount() const;
  void deliverCancellations();

 private:
  TaskRunnerPtr runner_;
  Duration delay_ = std::chrono::milliseconds(50);
  mutable std::mutex mutex_;
  Script script_;
  std::vector<HttpRequest> requests_;
  struct Hung {
    TaskHandle handle;
    CancellationToken cancellation;
    std::function<void(Result<HttpResponse>)> deliver;
    bool cancelled() const { return handle.isCancelled() || cancellation.isCancelled(); }
  };
  std::vector<Hung> hung_;
  std::shared_ptr<size_t> pending_ = std::make_shared<size_t>(0);
};

}  // namespace pallix
