// Completion: how asynchronous operations (the semantic services, stores) hand
// back their results. A completion names the runner its callback runs on
// (the caller's); without one the callback runs on the service's own runner,
// right where the result was produced.
#pragma once

#include <functional>
#include <utility>

#include "core/TaskRunner.h"

namespace pallix {

template <typename T>
class Completion {
 public:
  Completion() = default;
  Completion(TaskRunnerPtr runner, std::function<void(T)> callback)
      : runner_(std::move(runner)), callback_(std::move(callback)) {}
  // Runs on the producer's runner.
  explicit Completion(std::function<void(T)> callback) : callback_(std::move(callback)) {}

  explicit operator bool() const { return static_cast<bool>(callback_); }

  void operator()(T value) const {
    if (!callback_) return;
    if (!runner_) {
      callback_(std::move(value));
      return;
    }
    runner_->post([callback = callback_, value = std::move(value)]() mutable { callback(std::move(value)); });
  }

 private:
  TaskRunnerPtr runner_;
  std::function<void(T)> callback_;
};

}  // namespace pallix
