// Task runners: the serial executors on which all of Pallix's work runs.
//
// A TaskRunner runs posted tasks one at a time. Guarantees, for every
// implementation:
//   * tasks never run concurrently with each other on the same runner;
//   * tasks with the same due time run one by one in the order they were posted;
//   * a delayed task runs no sooner than its delay after posting, measured on
//     the runner's Clock;
//   * a task whose handle was cancelled before it started never runs.
// Runners are shared through std::shared_ptr; posting is thread-safe.
//
// Implementations: RunLoop (runs on the thread that calls run(): the main
// thread of a process), SerialExecutor (owns a thread: an actor-like executor
// for one service) and the runners of VirtualTimeEnvironment (tests).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/Clock.h"

namespace pallix {

// A read-only view of a cancellation flag, handed to long-running work so it
// can stop early.
class CancellationToken {
 public:
  CancellationToken() = default;
  explicit CancellationToken(std::shared_ptr<const std::atomic<bool>> flag) : flag_(std::move(flag)) {}
  bool isCancelled() const { return flag_ && flag_->load(std::memory_order_acquire); }

 private:
  std::shared_ptr<const std::atomic<bool>> flag_;
};

// The owner's side of a cancellable task. Copies share one flag. A default
// constructed handle refers to no task; cancelling it does nothing.
class TaskHandle {
 public:
  TaskHandle() = default;
  static TaskHandle make() { return TaskHandle(std::make_shared<std::atomic<bool>>(false)); }

  void cancel() const {
    if (flag_) flag_->store(true, std::memory_order_release);
  }
  bool isCancelled() const { return flag_ && flag_->load(std::memory_order_acquire); }
  bool valid() const { return flag_ != nullptr; }
  CancellationToken token() const { return CancellationToken(flag_); }

 private:
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> flag) : flag_(std::move(flag)) {}
  std::shared_ptr<std::atomic<bool>> flag_;
};

class TaskRunner {
 public:
  using Task = std::function<void()>;
  virtual ~TaskRunner() = default;

  // Posts `task` to run as soon as the runner is free. The returned handle
  // cancels it while it has not started.
  TaskHandle post(Task task) { return postDelayed(Duration::zero(), std::move(task)); }
  // Posts `task` to run `delay` from now on this runner's clock.
  virtual TaskHandle postDelayed(Duration delay, Task task) = 0;
  // Posts `task` under an existing handle, so one handle can cancel a chain.
  virtual void postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) = 0;
  // True when called from a task running on this runner.
  virtual bool isCurrent() const = 0;
  virtual const Clock& clock() const = 0;
};

using TaskRunnerPtr = std::shared_ptr<TaskRunner>;

// Runs `work` on `worker` and hands its result to `reply` on `replyRunner`.
template <typename T>
void postTaskAndReply(const TaskRunnerPtr& worker, std::function<T()> work, TaskRunnerPtr replyRunner,
                      std::function<void(T)> reply) {
  worker->post([work = std::move(work), replyRunner = std::move(replyRunner), reply = std::move(reply)]() mutable {
    auto shared = std::make_shared<T>(work());
    replyRunner->post([reply = std::move(reply), shared]() mutable { reply(std::move(*shared)); });
  });
}

// Lets an object hand out callbacks that become no-ops once the object is
// gone. Keep it as the last member so callbacks die before the members they
// touch. The object must be destroyed on the runner that runs the callbacks.
class WeakGuard {
 public:
  WeakGuard() : alive_(std::make_shared<char>(0)) {}
  WeakGuard(const WeakGuard&) = delete;
  WeakGuard& operator=(const WeakGuard&) = delete;

  template <typename F>
  auto wrap(F f) const {
    return [weak = std::weak_ptr<char>(alive_), f = std::move(f)](auto&&... args) mutable {
      if (auto lock = weak.lock()) f(std::forward<decltype(args)>(args)...);
    };
  }
  void invalidate() { alive_ = std::make_shared<char>(0); }

 private:
  std::shared_ptr<char> alive_;
};

}  // namespace pallix
