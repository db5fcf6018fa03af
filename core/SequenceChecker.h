// SequenceChecker: a debug-build check that an actor's entry points are called
// where its comment says they run.
//
// A call is in sequence when it runs in a task of the actor's runner, or,
// outside any task of that runner, on the one thread that made the first such
// call (the thread that sets the actor up before its runner runs, or a test
// driving it directly). Anything else (a completion handler calling in from a
// worker thread without hopping back, say) aborts with the actor's name and
// the entry point. Release builds compile the check away.
#pragma once

#include <atomic>
#include <thread>

#include "core/TaskRunner.h"

namespace pallix {

class SequenceChecker {
 public:
  // `runner` must outlive the checker; `owner` names the actor in the message.
  SequenceChecker(const TaskRunner* runner, const char* owner) : runner_(runner), owner_(owner) {}

  void check(const char* entryPoint) const {
#ifndef NDEBUG
    if (runner_ && runner_->isCurrent()) return;
    std::thread::id expected{};
    const std::thread::id self = std::this_thread::get_id();
    if (boundThread_.compare_exchange_strong(expected, self) || expected == self) return;
    fail(entryPoint);
#else
    (void)entryPoint;
#endif
  }

 private:
  [[noreturn]] void fail(const char* entryPoint) const;

  const TaskRunner* runner_;
  const char* owner_;
  mutable std::atomic<std::thread::id> boundThread_{};
};

}  // namespace pallix

#define PALLIX_CHECK_SEQUENCE(checker) (checker).check(__func__)
