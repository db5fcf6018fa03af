#include "testing/VirtualTime.h"

#include <mutex>

namespace pallix {

struct VirtualTimeEnvironment::Shared {
  std::shared_ptr<ManualClock> clock;
  std::mutex mutex;
  internal::PendingTaskQueue queue;
  uint64_t nextSequence = 0;
  const void* current = nullptr;

  // Pops the earliest task due at or before `limit`, if any.
  bool popDue(MonoTime limit, internal::PendingTask& out) {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.empty() || queue.top().due > limit) return false;
    out = queue.top();
    queue.pop();
    return true;
  }

  void run(internal::PendingTask& task) {
    if (task.handle.isCancelled()) return;
    const void* previous = current;
    current = task.owner;
    task.task();
    current = previous;
  }
};

namespace {

class VirtualRunner final : public TaskRunner {
 public:
  explicit VirtualRunner(std::shared_ptr<VirtualTimeEnvironment::Shared> shared) : shared_(std::move(shared)) {}

  TaskHandle postDelayed(Duration delay, Task task) override {
    TaskHandle handle = TaskHandle::make();
    postDelayedWithHandle(delay, handle, std::move(task));
    return handle;
  }
  void postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) override {
    if (delay < Duration::zero()) delay = Duration::zero();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.push(internal::PendingTask{shared_->clock->now() + delay, shared_->nextSequence++, std::move(handle),
                                              std::move(task), this});
  }
  bool isCurrent() const override { return shared_->current == this; }
  const Clock& clock() const override { return *shared_->clock; }

 private:
  std::shared_ptr<VirtualTimeEnvironment::Shared> shared_;
};

}  // namespace

VirtualTimeEnvironment::VirtualTimeEnvironment()
    : clock_(std::make_shared<ManualClock>()), shared_(std::make_shared<Shared>()) {
  shared_->clock = clock_;
  main_ = std::make_shared<VirtualRunner>(shared_);
}

VirtualTimeEnvironment::~VirtualTimeEnvironment() {
  // Drop pending tasks (and what they capture) before the runners go away.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->queue = {};
}

TaskRunnerPtr VirtualTimeEnvironment::makeRunner(const std::string&) {
  return std::make_shared<VirtualRunner>(shared_);
}

void VirtualTimeEnvironment::runUntilIdle() {
  internal::PendingTask task;
  while (shared_->popDue(clock_->now(), task)) {
    shared_->run(task);
    task = {};
  }
}

void VirtualTimeEnvironment::advanceBy(Duration d) {
  const MonoTime target = clock_->now() + d;
  internal::PendingTask task;
  while (shared_->popDue(target, task)) {
    clock_->advanceTo(task.due);
    shared_->run(task);
    task = {};
  }
  clock_->advanceTo(target);
}

void VirtualTimeEnvironment::fastForwardUntilNoTasksRemain(Duration limit) {
  const MonoTime deadline = clock_->now() + limit;
  internal::PendingTask task;
  while (shared_->popDue(deadline, task)) {
    clock_->advanceTo(task.due);
    shared_->run(task);
    task = {};
  }
}

size_t VirtualTimeEnvironment::pendingTaskCount() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  size_t count = 0;
  auto copy = shared_->queue;
  while (!copy.empty()) {
    if (!copy.top().handle.isCancelled()) ++count;
    copy.pop();
  }
  return count;
}

Duration VirtualTimeEnvironment::nextTaskDelay() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto copy = shared_->queue;
  while (!copy.empty() && copy.top().handle.isCancelled()) copy.pop();
  if (copy.empty()) return Duration::max();
  return copy.top().due - clock_->now();
}

}  // namespace pallix
