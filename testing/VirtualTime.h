// VirtualTimeEnvironment: deterministic time for tests.
//
// Every runner it makes shares one queue and one ManualClock, and all tasks
// run on the test's thread, only when the test says so. advanceBy(d) moves the
// clock forward task by task, running each delayed task at its own due time,
// so a 120-second timer is tested in microseconds without sleeping.
#pragma once

#include <memory>
#include <string>

#include "core/RunLoop.h"

namespace pallix {

class VirtualTimeEnvironment {
 public:
  VirtualTimeEnvironment();
  ~VirtualTimeEnvironment();
  VirtualTimeEnvironment(const VirtualTimeEnvironment&) = delete;
  VirtualTimeEnvironment& operator=(const VirtualTimeEnvironment&) = delete;

  ManualClock& clock() { return *clock_; }
  // The runner standing in for the main thread.
  const TaskRunnerPtr& mainRunner() const { return main_; }
  // A further serial runner (a service's executor) on the same virtual queue.
  TaskRunnerPtr makeRunner(const std::string& name);

  // Runs every task due now, including tasks that those post for now.
  void runUntilIdle();
  // Advances the clock by `d`, running every task that falls due on the way
  // at its due time, in due-time order.
  void advanceBy(Duration d);
  // Advances until no task is pending (bounded, to catch runaway timers).
  void fastForwardUntilNoTasksRemain(Duration limit = std::chrono::hours(24 * 7));
  size_t pendingTaskCount() const;
  // Time until the next pending task; Duration::max() when there is none.
  Duration nextTaskDelay() const;

  struct Shared;

 private:
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<Shared> shared_;
  TaskRunnerPtr main_;
};

}  // namespace pallix
