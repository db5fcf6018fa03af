// Fixture for the IntelligenceCoordinator tests: the coordinator over fake sources, a fake router and a
// fake location provider in virtual time, with the recorded snapshot streams and error telemetry.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "app/intelligence/CalculatorSourceAdapter.h"
#include "app/intelligence/IntelligenceCoordinator.h"
#include "app/intelligence/LazyIntelligenceClient.h"
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/platform/SystemConditions.h"
#include "app/search/ContentViewModel.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "core/Logger.h"
#include "core/Telemetry.h"
#include "testing/FakeLocationProvider.h"
#include "testing/FakeSystemConditions.h"
#include "testing/IntelligenceFakes.h"
#include "testing/VirtualTime.h"
#include "tests/intelligence/IntelligenceTestSupport.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Id = VCRDataSourceIdentifier;
using Ids = std::set<Id>;

// Builds an IntelligenceCoordinator over fake sources, a fake router and a fake location provider in virtual time.
struct RecordedStream {
  std::vector<Snapshot> snapshots;
  int finishes = 0;
  TaskHandle handle;
  const Snapshot& last() const { return snapshots.back(); }
  // The identifiers of the first snapshot; none before any snapshot.
  std::optional<std::set<VCRDataSourceIdentifier>> firstSelected() const {
    if (snapshots.empty()) return std::nullopt;
    return snapshots.front().selectedIdentifiers;
  }
};

class IntelligenceCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.clock().setWallNow(utc(2026, 3, 11, 10));
    location->setStatusSilently(LocationAuthorizationStatus::authorizedWhenInUse);
  }
  void TearDown() override {
    coordinator.reset();
    env.runUntilIdle();
  }

  IntelligenceCoordinator::Dependencies dependencies() {
    IntelligenceCoordinator::Dependencies deps;
    deps.mainRunner = env.mainRunner();
    deps.routerRunner = routerRunner;
    deps.switches = switches;
    deps.sources = IntelligenceSources{calculator, contacts, calendar, maps, weather, dictionary, wikipedia};
    deps.routerFactory = routerFactory.factory();
    deps.locationProvider = location;
    deps.timeZoneId = "UTC";
    return deps;
  }
  void create() {
    coordinator = std::make_unique<IntelligenceCoordinator>(dependencies());
    coordinator->setRoutingObserver([this](const RoutingOutcome& outcome) { routings.push_back(outcome); });
    env.runUntilIdle();
  }
  // Full queries whose fallback was logged (once per warm-up cycle).
  size_t loggedFallbacks() const {
    return static_cast<size_t>(
        std::count_if(routings.begin(), routings.end(), [](const RoutingOutcome& o) { return o.fallbackLogged; }));
  }
  // Warms the router and completes its build at once.
  void makeRouterReady() {
    coordinator->warmRouterIfNeeded();
    env.runUntilIdle();
    routerFactory.complete(std::shared_ptr<QueryRouting>(router));
    env.runUntilIdle();
    ASSERT_TRUE(coordinator->hasRouter());
  }
  void createReady() {
    create();
    makeRouterReady();
  }
  // The fake router selects `sources` for every query.
  void routeTo(std::set<DataSource> sources) {
    router->decide = [sources](const std::string&) { return sources; };
  }
  void createReady(std::set<DataSource> routes) {
    routeTo(std::move(routes));
    createReady();
  }
  std::shared_ptr<RecordedStream> start(const std::string& query, ActivationMode mode = ActivationMode::full) {
    auto stream = std::make_shared<RecordedStream>();
    stream->handle =
        coordinator->snapshots(query, UUID::random(), mode,
                               SnapshotStreamHandlers{[stream](const Snapshot& s) { stream->snapshots.push_back(s); },
                                                      [stream] { ++stream->finishes; }});
    return stream;
  }
  // Starts a query and runs every task, timers included.
  std::shared_ptr<RecordedStream> settle(const std::string& query, ActivationMode mode = ActivationMode::full) {
    auto stream = start(query, mode);
    env.fastForwardUntilNoTasksRemain();
    return stream;
  }

  VirtualTimeEnvironment env;
  TaskRunnerPtr sourceRunner = env.makeRunner("sources");
  TaskRunnerPtr routerRunner = env.makeRunner("router");
  std::shared_ptr<FakeCalculator> calculator = std::make_shared<FakeCalculator>(sourceRunner);
  std::shared_ptr<FakePermissionedSource> contacts =
      std::make_shared<FakePermissionedSource>(VCRDataSourceIdentifier::contacts, sourceRunner);
  std::shared_ptr<FakeCalendar> calendar = std::make_shared<FakeCalendar>(sourceRunner);
  std::shared_ptr<FakeMaps> maps = std::make_shared<FakeMaps>(sourceRunner);
  std::shared_ptr<FakeWeather> weather = std::make_shared<FakeWeather>(sourceRunner);
  std::shared_ptr<FakeDictionary> dictionary = std::make_shared<FakeDictionary>(sourceRunner);
  std::shared_ptr<FakeWikipedia> wikipedia = std::make_shared<FakeWikipedia>(sourceRunner);
  std::shared_ptr<MutableDataSourceSwitches> switches = std::make_shared<MutableDataSourceSwitches>();
  std::shared_ptr<FakeLocationProvider> location = std::make_shared<FakeLocationProvider>();
  ManualRouterFactory routerFactory;
  std::shared_ptr<FakeRouter> router = std::make_shared<FakeRouter>();
  // Keeps the coordinator's log lines out of the test output.
  testing::ScopedLogCapture logs;
  ScopedTelemetryRecorder telemetry;
  std::unique_ptr<IntelligenceCoordinator> coordinator;
  std::vector<RoutingOutcome> routings;

  // Asks for the current location as the weather source does; answers land in `answers`.
  void requestLocation() {
    weather->provider([this](std::optional<Location> l) { answers.push_back(l); });
  }
  using Answers = std::vector<std::optional<Location>>;
  Answers answers;
  std::vector<TelemetryEvent> errors(const std::string& id) {
    std::vector<TelemetryEvent> out;
    for (const auto& e : telemetry.sink().events()) {
      if (e.isError && e.errorId == id) out.push_back(e);
    }
    return out;
  }
};

}  // namespace
}  // namespace pallix
