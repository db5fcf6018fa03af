// RunLoop and SerialExecutor: the real-time task runners.
//
// RunLoop runs its tasks on whichever thread calls run(); a process's main
// thread runs one RunLoop as its main-thread scheduler. SerialExecutor owns a
// thread running a RunLoop: an actor-like executor for one service. Both use
// the system clock unless given another.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "core/TaskRunner.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

namespace internal {
// A due-time ordered queue of tasks with FIFO order for equal due times.
struct PendingTask {
  MonoTime due;
  uint64_t sequence = 0;
  TaskHandle handle;
  TaskRunner::Task task;
  const void* owner = nullptr;
};
struct PendingTaskLater {
  bool operator()(const PendingTask& a, const PendingTask& b) const {
    if (a.due != b.due) return a.due > b.due;
    return a.sequence > b.sequence;
  }
};
using PendingTaskQueue = std::priority_queue<PendingTask, std::vector<PendingTask>, PendingTaskLater>;
}  // namespace internal

class RunLoop final : public TaskRunner, public std::enable_shared_from_this<RunLoop> {
 public:
  static std::shared_ptr<RunLoop> create(const Clock& clock = SystemClock::instance());

  TaskHandle postDelayed(Duration delay, Task task) override;
  void postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) override;
  bool isCurrent() const override;
  const Clock& clock() const override { return clock_; }

  // Runs tasks until quit() is called. Tasks still pending afterwards stay queued.
  void run();
  // Runs every task that is due now, including ones they post for now, then returns.
  void runUntilIdle();
  // Runs tasks as they come due (posted from any thread) until `done` holds
  // or `limit` has passed on the loop's clock, sleeping in between; returns
  // whether `done` held. `done` runs on this thread between tasks.
  bool runUntil(const std::function<bool()>& done, Duration limit);
  // Makes run() return after the current task. Thread-safe.
  void quit();
  size_t pendingTaskCount() const;

  // For a loop driven from outside (Qt's event loop calls runUntilIdle()):
  // `hook` runs on the posting thread, outside the loop's lock, whenever a
  // post makes a task due earlier than every task queued before it, so the
  // driver can wake up and look again at timeUntilNextTask(). nullptr
  // removes it. Thread-safe.
  void setWakeHook(std::function<void()> hook);
  // How long until the earliest queued task is due (zero when one is due
  // now); nullopt when nothing is queued.
  std::optional<Duration> timeUntilNextTask() const;

 private:
  friend class SerialExecutor;
  explicit RunLoop(const Clock& clock) : clock_(clock) {}
  // Runs the earliest due task, if any, with the mutex released while it runs.
  bool runOneDueTask() REQUIRES(mutex_);
  // Destroys the queued tasks (and what they hold) without running them.
  void dropPendingTasks();

  const Clock& clock_;
  mutable Mutex mutex_;
  std::condition_variable_any wake_;
  internal::PendingTaskQueue queue_ GUARDED_BY(mutex_);
  uint64_t nextSequence_ GUARDED_BY(mutex_) = 0;
  bool quit_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<const std::function<void()>> wakeHook_ GUARDED_BY(mutex_);
  std::atomic<std::thread::id> runningThread_{};
};

class SerialExecutor final : public TaskRunner {
 public:
  // Starts the executor's thread. `name` shows in debuggers (at most 15 bytes are used).
  static std::shared_ptr<SerialExecutor> create(const std::string& name, const Clock& clock = SystemClock::instance());
  ~SerialExecutor() override;

  TaskHandle postDelayed(Duration delay, Task task) override { return loop_->postDelayed(delay, std::move(task)); }
  void postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) override {
    loop_->postDelayedWithHandle(delay, std::move(handle), std::move(task));
  }
  bool isCurrent() const override { return loop_->isCurrent(); }
  const Clock& clock() const override { return loop_->clock(); }

  // Stops the thread after the running task; pending tasks are dropped. Must
  // not be called from the executor's own thread.
  void shutdown();

 private:
  SerialExecutor(const std::string& name, const Clock& clock);
  std::shared_ptr<RunLoop> loop_;
  std::thread thread_;
};

}  // namespace pallix
