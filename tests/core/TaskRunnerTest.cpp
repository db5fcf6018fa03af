#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/RunLoop.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

// Tasks run at their due time; tasks due at the same time run in posting
// order, across runners too.
TEST(VirtualTimeTest, DelayedTasksRunAtTheirDueTimeInPostingOrderAcrossRunners) {
  VirtualTimeEnvironment env;
  auto other = env.makeRunner("other");
  std::vector<std::string> log;
  auto start = env.clock().now();
  auto stamp = [&](const std::string& name) {
    log.push_back(
        name + "@" +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(env.clock().now() - start).count()));
  };
  env.mainRunner()->postDelayed(seconds(120), [&] { stamp("deep"); });
  env.mainRunner()->postDelayed(seconds(30), [&] { stamp("idle"); });
  env.mainRunner()->postDelayed(seconds(5), [&] { stamp("unload"); });
  env.mainRunner()->post([&] { stamp("now"); });
  for (int i = 0; i < 4; ++i) {
    (i % 2 ? other : env.mainRunner())->postDelayed(seconds(5), [&, i] { stamp(std::to_string(i)); });
  }

  env.advanceBy(seconds(29));
  const std::vector<std::string> first = {"now@0", "unload@5000", "0@5000", "1@5000", "2@5000", "3@5000"};
  EXPECT_EQ(log, first);
  env.advanceBy(seconds(91));
  std::vector<std::string> all = first;
  all.insert(all.end(), {"idle@30000", "deep@120000"});
  EXPECT_EQ(log, all);
  EXPECT_EQ(env.clock().now() - start, seconds(120));
}

// Cancelled tasks never run, nor count for the next task's delay.
TEST(VirtualTimeTest, CancelledTasksNeverRunAndDebounceKeepsTheLast) {
  VirtualTimeEnvironment env;
  EXPECT_EQ(env.nextTaskDelay(), Duration::max());
  int runs = 0;
  TaskHandle pending;
  // A 1.5 s debounce: each event cancels the pending run and schedules a new one.
  for (int i = 0; i < 5; ++i) {
    pending.cancel();
    pending = env.mainRunner()->postDelayed(milliseconds(1500), [&] { ++runs; });
    env.advanceBy(milliseconds(1000));
  }
  EXPECT_EQ(runs, 0);
  env.advanceBy(milliseconds(499));
  EXPECT_EQ(runs, 0);
  env.advanceBy(milliseconds(1));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(env.pendingTaskCount(), 0u);

  auto cancelled = env.mainRunner()->postDelayed(seconds(1), [&] { ++runs; });
  env.mainRunner()->postDelayed(seconds(3), [] {});
  cancelled.cancel();
  EXPECT_EQ(env.nextTaskDelay(), seconds(3));
  env.fastForwardUntilNoTasksRemain();
  EXPECT_EQ(env.pendingTaskCount(), 0u);
  EXPECT_EQ(runs, 1);
}

TEST(VirtualTimeTest, TasksPostedByTasksForNowRunInTheSameRunUntilIdle) {
  VirtualTimeEnvironment env;
  auto worker = env.makeRunner("worker");
  std::vector<std::string> log;
  postTaskAndReply<int>(
      worker,
      [&] {
        log.push_back(worker->isCurrent() ? "work on worker" : "work elsewhere");
        return 42;
      },
      env.mainRunner(),
      [&](int v) { log.push_back(env.mainRunner()->isCurrent() ? "reply " + std::to_string(v) : "bad"); });
  env.runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"work on worker", "reply 42"}));
}

TEST(WeakGuardTest, CallbacksBecomeNoOpsAfterTheOwnerIsGone) {
  int calls = 0;
  std::function<void(int)> callback;
  {
    WeakGuard guard;
    callback = guard.wrap([&calls](int n) { calls += n; });
    callback(2);
  }
  callback(5);
  EXPECT_EQ(calls, 2);
}

// The real-time runners: no timing assertions, only ordering and completion.
TEST(SerialExecutorTest, RunsTasksSeriallyInFifoOrderOffTheCallingThread) {
  auto executor = SerialExecutor::create("test");
  const auto caller = std::this_thread::get_id();
  std::vector<int> order, expected;  // `order` is touched by one task at a time
  std::atomic<int> concurrent{0};
  std::atomic<bool> overlapOrOnCaller{false};
  std::promise<void> done;
  for (int i = 0; i < 100; ++i) {
    expected.push_back(i);
    executor->post([&, i] {
      if (concurrent.fetch_add(1) != 0 || std::this_thread::get_id() == caller) overlapOrOnCaller = true;
      order.push_back(i);
      concurrent.fetch_sub(1);
      if (i == 99) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(overlapOrOnCaller);
  EXPECT_EQ(order, expected);
}

// A task still waiting at shutdown is destroyed, so what it holds (here a
// stand-in for a service's state that owns the executor) is released.
TEST(SerialExecutorTest, ShutdownDestroysPendingTasksWithoutRunningThem) {
  auto executor = SerialExecutor::create("dropper");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  executor->postDelayed(std::chrono::hours(1), [held, executor] { ++*held; });
  held.reset();
  executor->shutdown();
  EXPECT_TRUE(watch.expired());
}

// A task posted from another thread wakes run() and runs on the loop; quit
// from a task ends run() and tasks due later stay queued.
TEST(RunLoopTest, PostFromAnotherThreadWakesRunAndQuitFromATaskLeavesLaterTasksQueued) {
  auto loop = RunLoop::create();
  auto executor = SerialExecutor::create("poster");
  std::vector<int> ran;
  loop->post([&] { ran.push_back(1); });
  loop->postDelayed(std::chrono::hours(1), [&] { ran.push_back(3); });
  executor->post([&] {
    loop->post([&] {
      ran.push_back(loop->isCurrent() ? 2 : -2);
      loop->quit();
    });
  });
  loop->run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_EQ(loop->pendingTaskCount(), 1u);
  executor->shutdown();
}

// A loop driven from outside sleeps until its next task: the wake hook says
// when a post moves that time earlier, and only then.
TEST(RunLoopTest, TheWakeHookFiresWhenAPostMakesTheNextTaskDueEarlier) {
  ManualClock clock;
  auto loop = RunLoop::create(clock);
  std::atomic<int> wakes{0};
  EXPECT_EQ(loop->timeUntilNextTask(), std::nullopt);
  loop->setWakeHook([&] { ++wakes; });
  loop->postDelayed(seconds(10), [] {});
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(loop->timeUntilNextTask(), std::optional<Duration>(seconds(10)));
  loop->postDelayed(seconds(20), [] {});  // later than the next one: no wake
  EXPECT_EQ(wakes, 1);
  auto executor = SerialExecutor::create("poster");
  std::promise<void> posted;
  executor->post([&] {
    loop->postDelayed(seconds(5), [] {});
    posted.set_value();
  });
  posted.get_future().wait();
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(loop->timeUntilNextTask(), std::optional<Duration>(seconds(5)));
  clock.advance(seconds(7));
  EXPECT_EQ(loop->timeUntilNextTask(), std::optional<Duration>(Duration::zero()));
  loop->runUntilIdle();
  EXPECT_EQ(loop->timeUntilNextTask(), std::optional<Duration>(seconds(3)));
  loop->setWakeHook(nullptr);
  loop->post([] {});
  EXPECT_EQ(wakes, 2);
  executor->shutdown();
}

TEST(RunLoopTest, RunUntilWakesForAnswersFromOtherThreadsAndGivesUpAtItsLimit) {
  auto loop = RunLoop::create();
  auto executor = SerialExecutor::create("answerer");
  int answers = 0;
  // Each answer is posted from the executor; the third one satisfies the wait.
  for (int i = 0; i < 3; ++i) {
    executor->post([&] { loop->post([&] { ++answers; }); });
  }
  EXPECT_TRUE(loop->runUntil([&] { return answers == 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(answers, 3);
  // Nothing will come: the limit ends the wait (a task due later stays queued).
  loop->postDelayed(std::chrono::hours(1), [&] { ++answers; });
  EXPECT_FALSE(loop->runUntil([&] { return answers == 4; }, std::chrono::milliseconds(20)));
  EXPECT_EQ(loop->pendingTaskCount(), 1u);
  executor->shutdown();
}

}  // namespace
}  // namespace pallix
