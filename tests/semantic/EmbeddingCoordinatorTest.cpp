// The embedding lease: first come first served, time-outs, cancellation,
// and leases given back when their holder drops them.
#include <gtest/gtest.h>

#include "app/semantic/EmbeddingCoordinator.h"
#include "core/Telemetry.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

using LeaseRef = EmbeddingCoordinator::LeaseRef;

class EmbeddingCoordinatorTest : public ::testing::Test {
 protected:
  // Asks for the lease; the answer lands in `slot`.
  UUID ask(const std::string& owner, std::optional<LeaseRef>& slot, Duration timeout = std::chrono::seconds(120)) {
    return coordinator->acquire(owner, timeout, Completion<LeaseRef>([&slot](LeaseRef lease) { slot = lease; }));
  }
  EmbeddingCoordinator::State state() {
    std::optional<EmbeddingCoordinator::State> s;
    coordinator->state(Completion<EmbeddingCoordinator::State>([&](auto value) { s = value; }));
    env.runUntilIdle();
    return *s;
  }

  VirtualTimeEnvironment env;
  ScopedTelemetryRecorder telemetry;
  std::shared_ptr<EmbeddingCoordinator> coordinator = EmbeddingCoordinator::create(env.makeRunner("lease"));
};

TEST_F(EmbeddingCoordinatorTest, SecondOwnerWaitsUntilTheFirstReleasesOrDropsItsLastHandle) {
  for (bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "dropped" : "released");
    telemetry.sink().clear();
    std::optional<LeaseRef> files, messages;
    ask("files", files);
    ask("messages", messages);
    env.runUntilIdle();
    ASSERT_TRUE(files && *files);
    EXPECT_FALSE(messages.has_value());
    env.advanceBy(std::chrono::milliseconds(1500));
    if (drop) {
      files.reset();  // e.g. a holder that failed and unwound
    } else {
      (*files)->release();
    }
    env.runUntilIdle();
    ASSERT_TRUE(messages && *messages);
    EXPECT_EQ(state().activeLease->owner, "messages");
    auto granted = telemetry.sink().named("EmbeddingCoordinator.acquireGranted");
    ASSERT_EQ(granted.size(), 1u);
    EXPECT_EQ(granted[0].parameters,
              (TelemetryParameters{{"owner", "messages"}, {"waitMs", "1500"}, {"remainingQueueDepth", "0"}}));
    (*messages)->release();
    env.runUntilIdle();
  }
}

TEST_F(EmbeddingCoordinatorTest, QueueIsServedInArrivalOrder) {
  std::optional<LeaseRef> holder, a, b, c;
  ask("holder", holder);
  ask("a", a);
  ask("b", b);
  ask("c", c);
  env.runUntilIdle();
  EXPECT_EQ(state().queuedOwners, (std::vector<std::string>{"a", "b", "c"}));
  std::vector<std::string> order;
  for (auto* next : {&holder, &a, &b}) {
    (**next)->release();
    env.runUntilIdle();
    order.push_back(state().activeLease->owner);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(EmbeddingCoordinatorTest, WaiterThatTimesOutOrIsCancelledGetsNothingAndLeavesTheQueue) {
  std::optional<LeaseRef> holder, late, cancelled;
  ask("holder", holder);
  ask("files", late, std::chrono::seconds(120));
  const UUID request = ask("messages", cancelled);
  env.runUntilIdle();
  coordinator->cancel(request);
  env.runUntilIdle();
  ASSERT_TRUE(cancelled.has_value());
  EXPECT_EQ(*cancelled, nullptr);
  EXPECT_EQ(state().queuedOwners, std::vector<std::string>{"files"});
  env.advanceBy(std::chrono::seconds(119));
  EXPECT_FALSE(late.has_value());
  env.advanceBy(std::chrono::seconds(2));
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(*late, nullptr);
  EXPECT_TRUE(state().queuedOwners.empty());
  EXPECT_EQ(telemetry.sink().named("EmbeddingCoordinator.acquireTimeout")[0].parameters,
            (TelemetryParameters{{"owner", "files"}, {"pendingRequests", "0"}}));
  (*holder)->release();
  env.runUntilIdle();
  EXPECT_FALSE(state().activeLease.has_value());  // nobody left to grant
}

}  // namespace
}  // namespace pallix
