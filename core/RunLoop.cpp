#include "core/RunLoop.h"

#include <pthread.h>

#include <algorithm>

namespace pallix {

std::shared_ptr<RunLoop> RunLoop::create(const Clock& clock) {
  return std::shared_ptr<RunLoop>(new RunLoop(clock));
}

TaskHandle RunLoop::postDelayed(Duration delay, Task task) {
  TaskHandle handle = TaskHandle::make();
  postDelayedWithHandle(delay, handle, std::move(task));
  return handle;
}

void RunLoop::postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) {
  if (delay < Duration::zero()) delay = Duration::zero();
  std::shared_ptr<const std::function<void()>> hook;
  {
    MutexLock lock(mutex_);
    const MonoTime due = clock_.now() + delay;
    if (wakeHook_ && (queue_.empty() || due < queue_.top().due)) hook = wakeHook_;
    queue_.push(internal::PendingTask{due, nextSequence_++, std::move(handle), std::move(task)});
  }
  wake_.notify_one();
  if (hook) (*hook)();
}

void RunLoop::setWakeHook(std::function<void()> hook) {
  MutexLock lock(mutex_);
  wakeHook_ = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

std::optional<Duration> RunLoop::timeUntilNextTask() const {
  MutexLock lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  return std::max(Duration::zero(), queue_.top().due - clock_.now());
}

bool RunLoop::isCurrent() const {
  return runningThread_.load() == std::this_thread::get_id();
}

bool RunLoop::runOneDueTask() {
  if (queue_.empty() || queue_.top().due > clock_.now()) return false;
  internal::PendingTask task = queue_.top();
  queue_.pop();
  mutex_.unlock();
  if (!task.handle.isCancelled()) task.task();
  task = {};  // Destroy captured state outside the lock.
  mutex_.lock();
  return true;
}

void RunLoop::run() {
  runningThread_.store(std::this_thread::get_id());
  MutexLock lock(mutex_);
  while (!quit_) {
    if (runOneDueTask()) continue;
    if (queue_.empty()) {
      wake_.wait(lock, [&]() REQUIRES(mutex_) { return quit_ || !queue_.empty(); });
    } else {
      // Wall-clock independent wait until the earliest due task.
      auto wait = queue_.top().due - clock_.now();
      wake_.wait_for(lock, wait);
    }
  }
  quit_ = false;
  runningThread_.store(std::thread::id());
}

void RunLoop::runUntilIdle() {
  auto previous = runningThread_.exchange(std::this_thread::get_id());
  MutexLock lock(mutex_);
  while (runOneDueTask()) {
  }
  runningThread_.store(previous);
}

bool RunLoop::runUntil(const std::function<bool()>& done, Duration limit) {
  const MonoTime deadline = clock_.now() + limit;
  auto previous = runningThread_.exchange(std::this_thread::get_id());
  MutexLock lock(mutex_);
  bool finished = false;
  while (true) {
    while (runOneDueTask()) {
    }
    lock.unlock();
    finished = done();
    lock.lock();
    const MonoTime now = clock_.now();
    if (finished || now >= deadline) break;
    MonoTime until = deadline;
    if (!queue_.empty()) until = std::min(until, queue_.top().due);
    // A task posted meanwhile is due at once: the wait returns immediately.
    wake_.wait_for(lock, until - now);
  }
  runningThread_.store(previous);
  return finished;
}

void RunLoop::quit() {
  {
    MutexLock lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void RunLoop::dropPendingTasks() {
  internal::PendingTaskQueue dropped;
  {
    MutexLock lock(mutex_);
    std::swap(dropped, queue_);
  }
}

size_t RunLoop::pendingTaskCount() const {
  MutexLock lock(mutex_);
  return queue_.size();
}

std::shared_ptr<SerialExecutor> SerialExecutor::create(const std::string& name, const Clock& clock) {
  return std::shared_ptr<SerialExecutor>(new SerialExecutor(name, clock));
}

SerialExecutor::SerialExecutor(const std::string& name, const Clock& clock) : loop_(RunLoop::create(clock)) {
  thread_ = std::thread([loop = loop_, name] {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    loop->run();
  });
}

SerialExecutor::~SerialExecutor() {
  shutdown();
}

void SerialExecutor::shutdown() {
  if (!thread_.joinable()) return;
  loop_->quit();
  thread_.join();
  // A dropped task may hold what owns this executor (a service's state
  // keeping its debounce runner): destroying it breaks that cycle.
  loop_->dropPendingTasks();
}

}  // namespace pallix
