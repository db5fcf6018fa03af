#include "testing/FakeHttpClient.h"

#include <fstream>

namespace pallix {

TaskHandle FakeHttpClient::get(HttpRequest request, HttpCompletion completion, HttpProgress progress) {
  std::optional<Result<HttpResponse>> answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    answer = script_ ? script_(request) : std::optional<Result<HttpResponse>>(HttpResponse{404, "", ""});
    ++*pending_;
  }
  TaskHandle handle = TaskHandle::make();
  auto pending = pending_;
  auto done = std::make_shared<bool>(false);
  auto deliver = [pending, done, completion](Result<HttpResponse> result) {
    if (*done) return;
    *done = true;
    --*pending;
    completion(std::move(result));
  };
  if (!answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    hung_.push_back(Hung{handle, request.cancellation, deliver});
    return handle;
  }
  runner_->postDelayed(delay_, [handle, deliver, progress, request, answer = std::move(*answer)]() mutable {
    if (handle.isCancelled() || request.cancellation.isCancelled()) {
      deliver(httpError(HttpErrorCode::cancelled, "The request was cancelled"));
      return;
    }
    if (answer.ok() && !request.destinationPath.empty()) {
      std::ofstream out(request.destinationPath, std::ios::binary | std::ios::trunc);
      out << answer.value().body;
      if (progress)
        progress(static_cast<int64_t>(answer.value().body.size()), static_cast<int64_t>(answer.value().body.size()));
      answer.value().body.clear();
    } else if (answer.ok() && answer.value().body.size() > request.maxBodyBytes) {
      answer = httpError(HttpErrorCode::bodyTooLarge, "The answer from " + request.url + " is larger than " +
                                                          std::to_string(request.maxBodyBytes) + " bytes");
    }
    deliver(std::move(answer));
  });
  return handle;
}

void FakeHttpClient::respondWith(int status, std::string body) {
  setScript([status, body](const HttpRequest&) -> std::optional<Result<HttpResponse>> {
    return Result<HttpResponse>(HttpResponse{status, body, "application/json"});
  });
}

std::vector<std::string> FakeHttpClient::urls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : requests_) out.push_back(r.url);
  return out;
}

size_t FakeHttpClient::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t cancelledHung = 0;
  for (const auto& h : hung_) cancelledHung += h.cancelled();
  return *pending_ - cancelledHung;
}

void FakeHttpClient::deliverCancellations() {
  std::vector<Hung> cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = hung_.begin(); it != hung_.end();) {
      if (it->cancelled()) {
        cancelled.push_back(std::move(*it));
        it = hung_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& h : cancelled) h.deliver(httpError(HttpErrorCode::cancelled, "The request was cancelled"));
}

}  // namespace pallix
