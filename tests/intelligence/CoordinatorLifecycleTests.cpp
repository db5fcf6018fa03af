// The intelligence coordinator under the real panel lifecycle coordinator, in
// virtual time: it registers its own work-mode handler, so two minutes after
// the panel hides (deep idle) the router is unloaded, location updates stop
// and the ambient service pauses; a router whose build failed or timed out is
// rebuilt by the next full query after that.
#include <gtest/gtest.h>

#include "app/platform/SystemConditions.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "testing/FakeSystemConditions.h"
#include "tests/intelligence/CoordinatorTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Kind = RouterState::Kind;

class CoordinatorLifecycleTest : public CoordinatorFixture {
 protected:
  void SetUp() override {
    CoordinatorFixture::SetUp();
    lifecycle = std::make_unique<PanelLifecycleCoordinator>(env.mainRunner(), conditions);
    lifecycle->panelWillShow();
    env.runUntilIdle();
  }
  void TearDown() override {
    CoordinatorFixture::TearDown();
    lifecycle.reset();
  }
  void createRegistered() {
    auto deps = dependencies();
    deps.workModes = lifecycle.get();
    coordinator = std::make_unique<IntelligenceCoordinator>(deps);
    env.runUntilIdle();
  }
  void hideUntilDeepIdle() {
    lifecycle->panelDidHide();
    env.advanceBy(PanelLifecycleCoordinator::kDeepIdleDelay);
    ASSERT_EQ(lifecycle->workMode(), WorkMode::deepIdle);
  }

  FakeSystemConditions conditions;
  std::unique_ptr<PanelLifecycleCoordinator> lifecycle;
};

TEST_F(CoordinatorLifecycleTest, DeepIdleUnloadsTheRouterStopsLocationAndPausesAmbient) {
  createRegistered();
  EXPECT_EQ(lifecycle->workModeHandlerCount(), 1u);
  EXPECT_TRUE(location->updating) << "the current mode (active) applies at once";
  makeRouterReady();

  lifecycle->panelDidHide();
  env.advanceBy(PanelLifecycleCoordinator::kDeepIdleDelay - 1s);
  EXPECT_TRUE(coordinator->hasRouter()) << "idle keeps the router";
  env.advanceBy(1s);
  EXPECT_FALSE(coordinator->hasRouter());
  EXPECT_EQ(coordinator->routerState().kind, Kind::unloaded);
  EXPECT_FALSE(location->updating);
  EXPECT_TRUE(coordinator->ambientService().isPaused());

  lifecycle->panelWillShow();
  env.runUntilIdle();
  EXPECT_TRUE(location->updating);
  EXPECT_FALSE(coordinator->ambientService().isPaused());

  // Idle with neither maps nor weather wanted stops the updates, without pausing.
  switches->set(Id::maps, false);
  switches->set(Id::weather, false);
  lifecycle->panelDidHide();
  env.runUntilIdle();
  EXPECT_FALSE(location->updating);
  EXPECT_FALSE(coordinator->ambientService().isPaused());

  coordinator.reset();
  EXPECT_EQ(lifecycle->workModeHandlerCount(), 0u);
}

// A failed or timed-out build stays settled (fallback routing) until deep idle
// unloads it; the next full query then builds again and uses the new router.
TEST_F(CoordinatorLifecycleTest, AFailedOrTimedOutRouterIsRebuiltAfterDeepIdle) {
  const struct {
    const char* name;
    Kind settled;
  } cases[] = {{"build fails", Kind::failed}, {"build times out", Kind::timedOut}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    routerFactory = ManualRouterFactory{};
    router->queries.clear();
    createRegistered();
    start("directions to oslo");
    env.runUntilIdle();
    if (c.settled == Kind::failed) routerFactory.complete(Error("PallixRouter", -4, "Missing bundled resources"));
    env.advanceBy(IntelligenceCoordinator::kRouterInitializationTimeout);
    ASSERT_EQ(coordinator->routerState().kind, c.settled);
    settle("directions to rome");
    EXPECT_EQ(routerFactory.builds, 1) << "a settled attempt is not retried while the panel is in use";

    hideUntilDeepIdle();
    EXPECT_EQ(coordinator->routerState().kind, Kind::unloaded);
    lifecycle->panelWillShow();
    auto stream = start("directions to lima");
    env.runUntilIdle();
    EXPECT_EQ(routerFactory.builds, 2);
    routerFactory.complete(std::shared_ptr<QueryRouting>(router));
    env.fastForwardUntilNoTasksRemain();
    EXPECT_EQ(coordinator->routerState().kind, Kind::ready);
    EXPECT_EQ(router->queries, std::vector<std::string>{"directions to lima"});
    EXPECT_EQ(stream->finishes, 1);
    coordinator.reset();
  }
}

TEST_F(CoordinatorLifecycleTest, ACoordinatorCreatedInDeepIdleStartsPaused) {
  hideUntilDeepIdle();
  createRegistered();
  EXPECT_TRUE(coordinator->ambientService().isPaused());
  EXPECT_FALSE(location->updating);
}

}  // namespace
}  // namespace pallix
