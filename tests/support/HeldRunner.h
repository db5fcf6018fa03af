// A task runner for tests that holds its tasks until the test releases them.
#pragma once

#include <deque>
#include <utility>

#include "core/TaskRunner.h"

namespace pallix::testing {

// Runs its tasks only when runAll() is called (on the test's thread): a
// background runner whose work the test releases at a moment of its choice.
class HeldRunner final : public TaskRunner {
 public:
  explicit HeldRunner(const Clock& clock) : clock_(clock) {}
  TaskHandle postDelayed(Duration, Task task) override {
    TaskHandle handle = TaskHandle::make();
    tasks_.push_back({handle, std::move(task)});
    return handle;
  }
  void postDelayedWithHandle(Duration, TaskHandle handle, Task task) override {
    tasks_.push_back({std::move(handle), std::move(task)});
  }
  bool isCurrent() const override { return running_; }
  const Clock& clock() const override { return clock_; }
  std::size_t pending() const { return tasks_.size(); }
  void runAll() {
    while (!tasks_.empty()) {
      auto [handle, task] = std::move(tasks_.front());
      tasks_.pop_front();
      running_ = true;
      if (!handle.isCancelled()) task();
      running_ = false;
    }
  }

 private:
  const Clock& clock_;
  std::deque<std::pair<TaskHandle, Task>> tasks_;
  bool running_ = false;
};

}  // namespace pallix::testing
