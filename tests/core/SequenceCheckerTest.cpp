#include <gtest/gtest.h>

#include <thread>

#include "core/RunLoop.h"
#include "core/SequenceChecker.h"

namespace pallix {
namespace {

// Calls from the actor's runner and from the one thread that drives it
// directly pass; a call from any other thread aborts in debug builds.
TEST(SequenceCheckerDeathTest, CallsOffTheRunnerFromASecondThreadAbort) {
#ifdef NDEBUG
  GTEST_SKIP() << "the check is compiled only into debug builds";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto executor = SerialExecutor::create("sequence");
  SequenceChecker checker(executor.get(), "Actor");
  PALLIX_CHECK_SEQUENCE(checker);  // binds this thread
  PALLIX_CHECK_SEQUENCE(checker);
  bool ranOnExecutor = false;
  auto loop = RunLoop::create();
  executor->post([&] {
    PALLIX_CHECK_SEQUENCE(checker);  // on the runner: always in sequence
    ranOnExecutor = true;
    loop->post([&] { loop->quit(); });
  });
  loop->run();
  EXPECT_TRUE(ranOnExecutor);
  executor->shutdown();
  EXPECT_DEATH(
      {
        std::thread other([&] { checker.check("enqueue"); });
        other.join();
      },
      "Actor::enqueue was called off its runner");
#endif
}

}  // namespace
}  // namespace pallix
