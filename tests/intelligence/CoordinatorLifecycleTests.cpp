// IntelligenceCoordinator with real neighbours: the panel store and the search session with the real
// calculator, and work modes under the real panel lifecycle coordinator.
#include "tests/intelligence/CoordinatorTestSupport.h"

namespace pallix {
namespace {

// ------------------------------------------------------------ the panel store, with the real calculator

using State = WidgetContentState;

class StoreWithCoordinatorTest : public IntelligenceCoordinatorTest {
 protected:
  void SetUp() override {
    IntelligenceCoordinatorTest::SetUp();
    CalculatorDataSource::Options options;
    options.localeName = "en_US";
    realCalculator =
        std::make_shared<CalculatorSourceAdapter>(std::make_shared<CalculatorDataSource>(options), sourceRunner);
    auto deps = dependencies();
    deps.sources.calculator = realCalculator;
    coordinator = std::make_unique<IntelligenceCoordinator>(deps);
    makeRouterReady();
    // The store holds the client through a non-owning alias: the fixture owns the coordinator.
    client = std::shared_ptr<IntelligenceClient>(std::shared_ptr<IntelligenceClient>(), coordinator.get());
    store = std::make_shared<PanelIntelligenceStore>(env.mainRunner(), realCalculator);
    store->configure(client, switches);
  }
  void TearDown() override {
    store.reset();
    IntelligenceCoordinatorTest::TearDown();
  }
  std::shared_ptr<CalculatorSourceAdapter> realCalculator;
  std::shared_ptr<IntelligenceClient> client;
  std::shared_ptr<PanelIntelligenceStore> store;
};

TEST_F(StoreWithCoordinatorTest, SearchSessionDrivesTheStoreAndGetsTheCalculatorAnswer) {
  auto searchRunner = env.makeRunner("search");
  ContentViewModel session(env.mainRunner(), searchRunner);
  session.setIntelligence(store);
  session.handleSearchTextChange("100 usd to eur");
  env.advanceBy(50ms);
  EXPECT_EQ(store->calculatorResultText(), "€92") << "the preview answers while typing";
  EXPECT_TRUE(router->queries.empty()) << "the preview never asks the router";
  session.handleSearchTextChange("100 usd to eur apples");
  env.advanceBy(50ms);
  EXPECT_FALSE(store->calculatorResultText()) << "no stale answer for a text the calculator does not handle";
  session.handleSearchTextChange("100 usd to eur");
  env.advanceBy(50ms);
  EXPECT_EQ(store->widgetState(Id::calculator), State::ready);
  env.advanceBy(100ms);
  EXPECT_EQ(store->calculatorResultText(), "€92");
  EXPECT_EQ(store->widgetState(Id::calculator), State::ready);
  EXPECT_EQ(store->selectedSourceIdentifiers(), std::set<std::string>{"calculator"});
  EXPECT_TRUE(router->queries.empty()) << "the settled calculation short-circuits the router";
  EXPECT_FALSE(store->isQueryRunning(PanelIntelligenceStore::QueryKind::preview));
  EXPECT_TRUE(store->hasActiveQuery());
  session.handleSearchTextChange("");
  env.runUntilIdle();
  EXPECT_FALSE(store->calculatorResultText());
  EXPECT_FALSE(store->hasActiveQuery());
}

// ------------------------------------------------------------ under the panel lifecycle

// The coordinator under the real panel lifecycle coordinator registers its own work-mode handler, so two
// minutes after the panel hides (deep idle) the router is unloaded, location updates stop and the ambient
// service pauses; a router whose build failed or timed out is rebuilt by the next full query after that.

class CoordinatorLifecycleTest : public IntelligenceCoordinatorTest {
 protected:
  void SetUp() override {
    IntelligenceCoordinatorTest::SetUp();
    lifecycle = std::make_unique<PanelLifecycleCoordinator>(env.mainRunner(), conditions);
    lifecycle->panelWillShow();
    env.runUntilIdle();
  }
  void TearDown() override {
    IntelligenceCoordinatorTest::TearDown();
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
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::unloaded);
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

  // A coordinator created in deep idle starts paused.
  switches->set(Id::maps, true);
  hideUntilDeepIdle();
  createRegistered();
  EXPECT_TRUE(coordinator->ambientService().isPaused());
  EXPECT_FALSE(location->updating);
}

// A failed or timed-out build stays settled (fallback routing) until deep idle
// unloads it; the next full query then builds again and uses the new router.
TEST_F(CoordinatorLifecycleTest, AFailedOrTimedOutRouterIsRebuiltAfterDeepIdle) {
  const struct {
    const char* name;
    RouterState::Kind settled;
  } cases[] = {{"build fails", RouterState::Kind::failed}, {"build times out", RouterState::Kind::timedOut}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    routerFactory = ManualRouterFactory{};
    router->queries.clear();
    createRegistered();
    start("directions to oslo");
    env.runUntilIdle();
    if (c.settled == RouterState::Kind::failed)
      routerFactory.complete(Error("PallixRouter", -4, "Missing bundled resources"));
    env.advanceBy(IntelligenceCoordinator::kRouterInitializationTimeout);
    ASSERT_EQ(coordinator->routerState().kind, c.settled);
    settle("directions to rome");
    EXPECT_EQ(routerFactory.builds, 1) << "a settled attempt is not retried while the panel is in use";

    hideUntilDeepIdle();
    EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::unloaded);
    lifecycle->panelWillShow();
    auto stream = start("directions to lima");
    env.runUntilIdle();
    EXPECT_EQ(routerFactory.builds, 2);
    routerFactory.complete(std::shared_ptr<QueryRouting>(router));
    env.fastForwardUntilNoTasksRemain();
    EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::ready);
    EXPECT_EQ(router->queries, std::vector<std::string>{"directions to lima"});
    EXPECT_EQ(stream->finishes, 1);
    coordinator.reset();
  }
}

}  // namespace
}  // namespace pallix
