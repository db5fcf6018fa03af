// IntelligenceCoordinator pipelines over fake sources and a fake router in
// virtual time: the calculator short-circuit, streaming of remote answers,
// supersession, the router warm-up race (30 s timeout, 1.2 s wait), fallback
// and forced identifiers, preferences, weather availability, location
// requests and the lazy client.
#include "tests/intelligence/CoordinatorTestSupport.h"

namespace pallix {
namespace {

// ------------------------------------------------------------ full pipeline

TEST_F(IntelligenceCoordinatorTest, CalculatorExpressionShortCircuitsWithOneSnapshot) {
  createReady();
  auto stream = start("2+2");
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->last().selectedIdentifiers, Ids{Id::calculator});
  EXPECT_TRUE(stream->last().activeIdentifiers.empty());
  ASSERT_TRUE(stream->last().calculatorResult);
  EXPECT_EQ(stream->last().calculatorResult->formattedValue, "4");
  EXPECT_EQ(stream->finishes, 1);
  EXPECT_TRUE(router->queries.empty());
  EXPECT_TRUE(maps->searches.empty());

  // Handled but without an answer ("12"): the query falls through to the local search and the router.
  calculator->answer = [](const std::string&) { return std::nullopt; };
  auto fallThrough = settle("12");
  ASSERT_EQ(fallThrough->snapshots.size(), 1u);
  EXPECT_EQ(fallThrough->last().selectedIdentifiers, Ids{Id::calculator});
  EXPECT_FALSE(fallThrough->last().calculatorResult);
  EXPECT_EQ(router->queries, std::vector<std::string>{"12"});
  EXPECT_EQ(fallThrough->finishes, 1);
}

TEST_F(IntelligenceCoordinatorTest, RemoteAnswersStreamInCompletionOrder) {
  maps->delay = 100ms;
  wikipedia->delay = 300ms;
  // Messages and files are selected without a task.
  createReady({DataSource::maps, DataSource::knowledge, DataSource::messages, DataSource::files});
  auto stream = start("  population of oslo \n");
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->last().query, "population of oslo");
  EXPECT_EQ(stream->last().selectedIdentifiers, (Ids{Id::maps, Id::wikipedia, Id::messages, Id::files}));
  EXPECT_EQ(stream->last().activeIdentifiers, (Ids{Id::maps, Id::wikipedia}));

  env.advanceBy(100ms);
  ASSERT_EQ(stream->snapshots.size(), 2u);
  EXPECT_EQ(stream->last().activeIdentifiers, Ids{Id::wikipedia});
  EXPECT_EQ(stream->last().mapResults.size(), 1u);
  EXPECT_EQ(stream->finishes, 0);

  env.advanceBy(200ms);
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 3u);
  EXPECT_TRUE(stream->last().activeIdentifiers.empty());
  ASSERT_TRUE(stream->last().wikipediaArticle);
  EXPECT_EQ(stream->last().wikipediaArticle->title, "population of oslo");
  EXPECT_EQ(stream->finishes, 1);
  EXPECT_EQ(router->queries, std::vector<std::string>{"population of oslo"});
}

TEST_F(IntelligenceCoordinatorTest, LocalSourcesAreSearchedAndReportedWithTheFirstSnapshot) {
  contacts->handles = [](const std::string& q) { return q.find("sam") != std::string::npos; };
  contacts->answer = [](const std::string&) {
    return VCRDataSourceResult(std::vector<ContactSearchResult>{{"id1", "Sam Smith", "mobile", {}}});
  };
  wikipedia->delay = 1s;
  wikipedia->answer = [](const std::string&) { return std::nullopt; };
  createReady({DataSource::knowledge});
  auto stream = start("sam smith");
  env.advanceBy(100ms);
  ASSERT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->last().selectedIdentifiers, (Ids{Id::contacts, Id::wikipedia}));
  EXPECT_EQ(stream->last().activeIdentifiers, Ids{Id::wikipedia});
  ASSERT_EQ(stream->last().contactResults.size(), 1u);
  EXPECT_EQ(contacts->resets, 1);
  // A source without a result still leaves the active set.
  env.fastForwardUntilNoTasksRemain();
  ASSERT_EQ(stream->snapshots.size(), 2u);
  EXPECT_TRUE(stream->last().activeIdentifiers.empty());
  EXPECT_EQ(stream->finishes, 1);
}

TEST_F(IntelligenceCoordinatorTest, EachSourcesAnswerTimeIsRecordedUnderItsName) {
  SourceStatistics statistics(env.clock());
  contacts->handles = [](const std::string& q) { return q.find("sam") != std::string::npos; };
  maps->delay = 100ms;
  wikipedia->delay = 300ms;
  routeTo({DataSource::maps, DataSource::knowledge});
  coordinator = std::make_unique<IntelligenceCoordinator>([&] {
    auto deps = dependencies();
    deps.statistics = &statistics;
    return deps;
  }());
  env.runUntilIdle();
  makeRouterReady();
  settle("sam in oslo");
  // Superseded before its sources answer: what they never answered is not timed.
  start("sam in bergen");
  env.advanceBy(50ms);
  settle("sam in paris");

  std::map<std::string, SourceStatistics::Source> byName;
  for (auto& source : statistics.snapshot()) byName[source.name] = source;
  ASSERT_TRUE(byName.count("maps") && byName.count("wikipedia") && byName.count("contacts"));
  EXPECT_EQ(byName["maps"].queries, 2u);
  EXPECT_EQ(byName["maps"].p50, 100ms);
  EXPECT_EQ(byName["wikipedia"].p95, 300ms);
  EXPECT_EQ(byName["contacts"].p50, 10ms) << "local sources are timed too";
  EXPECT_FALSE(byName.count("weather")) << "a source never asked has no figures";
}

TEST_F(IntelligenceCoordinatorTest, ARemoteAnswerArrivingBeforeTheFirstSnapshotFollowsIt) {
  dictionary->delay = Duration::zero();  // answers before the router does
  createReady({});
  auto stream = start("def ennui");
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 2u);
  EXPECT_EQ(stream->snapshots[0].activeIdentifiers, Ids{Id::dictionary});
  EXPECT_FALSE(stream->snapshots[0].dictionaryResult);
  EXPECT_TRUE(stream->snapshots[1].activeIdentifiers.empty());
  EXPECT_TRUE(stream->snapshots[1].dictionaryResult);
  EXPECT_EQ(stream->finishes, 1);
}

// ------------------------------------------------------------ supersession

// A query superseded before its pipeline ran delivers nothing; one superseded after its first snapshot
// delivers no more. Both finish once.
TEST_F(IntelligenceCoordinatorTest, ANewerQueryFinishesTheOlderStreamWithoutFurtherSnapshots) {
  wikipedia->delay = 5s;
  createReady({DataSource::knowledge});
  auto unrouted = start("population of alta");
  auto first = start("population of oslo");
  env.advanceBy(1s);
  EXPECT_TRUE(unrouted->snapshots.empty());
  EXPECT_EQ(unrouted->finishes, 1);
  ASSERT_EQ(first->snapshots.size(), 1u);
  auto second = start("population of bergen");
  env.runUntilIdle();
  EXPECT_EQ(first->finishes, 1);
  env.advanceBy(10s);
  EXPECT_EQ(first->snapshots.size(), 1u) << "the superseded stream delivered again";
  ASSERT_EQ(second->snapshots.size(), 2u);
  ASSERT_TRUE(second->last().wikipediaArticle);
  EXPECT_EQ(second->last().wikipediaArticle->title, "population of bergen");
  EXPECT_EQ(second->finishes, 1);
  EXPECT_EQ(coordinator->currentQuery(), "population of bergen");
  EXPECT_EQ(router->queries, (std::vector<std::string>{"population of oslo", "population of bergen"}));
}

// Cancelling through the handle or through the coordinator: no further deliveries, one finish.
TEST_F(IntelligenceCoordinatorTest, CancellingStopsDeliveriesButStillFinishes) {
  wikipedia->delay = 2s;
  createReady({DataSource::knowledge});
  for (bool throughHandle : {true, false}) {
    SCOPED_TRACE(throughHandle ? "handle" : "cancelActiveQuery");
    auto stream = start("population of oslo");
    env.advanceBy(100ms);
    ASSERT_EQ(stream->snapshots.size(), 1u);
    const int resetsBefore = wikipedia->resets;
    throughHandle ? stream->handle.cancel() : coordinator->cancelActiveQuery(true);
    env.advanceBy(5s);
    EXPECT_EQ(stream->snapshots.size(), 1u);
    EXPECT_EQ(stream->finishes, 1);
    if (throughHandle) continue;
    EXPECT_EQ(wikipedia->resets, resetsBefore + 1);
    EXPECT_FALSE(coordinator->currentQuery());
    const int cancelsBefore = maps->cancels;
    coordinator->cancelActiveQuery(false);
    EXPECT_EQ(maps->cancels, cancelsBefore + 1);
  }
}

TEST_F(IntelligenceCoordinatorTest, EmptyQueryDeliversOneEmptySnapshotAndResetsSources) {
  create();
  weather->preference = WeatherLocationPreference::preferMapItem;
  auto stream = start("   \n");
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->last(), Snapshot{});
  EXPECT_EQ(stream->finishes, 1);
  EXPECT_EQ(weather->preference, WeatherLocationPreference::automatic);
  EXPECT_EQ(maps->resets, 1);
  EXPECT_EQ(calculator->resets, 1);
  EXPECT_EQ(routerFactory.builds, 0);
}

// ------------------------------------------------------------ router warm-up

TEST_F(IntelligenceCoordinatorTest, RouterBuildThatNeverFinishesTimesOutAfterThirtySeconds) {
  create();
  auto stream = start("directions to the louvre");
  env.advanceBy(29900ms);
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::initializing);
  EXPECT_TRUE(errors("IntelligenceCoordinator.routerInitTimeout").empty());
  env.advanceBy(200ms);
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::timedOut);
  EXPECT_EQ(errors("IntelligenceCoordinator.routerInitTimeout").size(), 1u);
  EXPECT_TRUE(routerFactory.tokens.at(0).isCancelled());

  // A build that completes after the timeout lost the race.
  routerFactory.complete(std::shared_ptr<QueryRouting>(router));
  env.runUntilIdle();
  EXPECT_FALSE(coordinator->hasRouter());
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::timedOut);

  // Later queries use the fallback with reason timeout.
  routings.clear();
  settle("directions to the louvre");
  ASSERT_EQ(routings.size(), 1u);
  EXPECT_EQ(routings[0].fallback, RouterFallbackReason::timeout);
}

// The first full query of a warm-up waits for the router: a build that finishes within the wait releases it at
// once; otherwise it falls back after 1.2 s. The dictionary trigger is both a fallback rule and a forced one: it is
// searched once the wait is over.
TEST_F(IntelligenceCoordinatorTest, FirstQueryWaitsForTheRouterThenFallsBackAfterOnePointTwoSeconds) {
  routeTo({DataSource::knowledge});
  create();
  auto routed = start("population of oslo");
  env.advanceBy(500ms);
  EXPECT_TRUE(routed->snapshots.empty()) << "the pipeline must wait for the router";
  routerFactory.complete(std::shared_ptr<QueryRouting>(router));
  env.runUntilIdle();  // the finished build releases the query at once
  EXPECT_EQ(routed->firstSelected(), Ids{Id::wikipedia});
  ASSERT_EQ(routings.size(), 1u);
  EXPECT_FALSE(routings[0].fallback);

  coordinator->onWorkModeChange(WorkMode::deepIdle);  // unloads: the next full query warms up again
  router->queries.clear();
  routings.clear();
  auto stream = start("def serendipity");
  env.advanceBy(1150ms);
  EXPECT_TRUE(stream->snapshots.empty());
  EXPECT_TRUE(dictionary->searches.empty()) << "the pipeline first waits for the router";
  env.advanceBy(100ms);
  EXPECT_EQ(stream->firstSelected(), Ids{Id::dictionary}) << "fallback never selects wikipedia";
  EXPECT_EQ(dictionary->searches, std::vector<std::string>{"def serendipity"});
  EXPECT_TRUE(router->queries.empty());
  ASSERT_EQ(routings.size(), 1u);
  EXPECT_EQ(routings[0].fallback, RouterFallbackReason::unavailable);
  EXPECT_TRUE(routings[0].fallbackLogged);

  // The router arrives at 2 s; the next query uses it without waiting.
  env.advanceBy(750ms);
  ASSERT_TRUE(stream->last().dictionaryResult);
  EXPECT_EQ(stream->finishes, 1);
  routerFactory.complete(std::shared_ptr<QueryRouting>(router));
  env.runUntilIdle();
  auto next = start("population of bergen");
  env.runUntilIdle();
  EXPECT_EQ(router->queries, std::vector<std::string>{"population of bergen"});
  EXPECT_EQ(next->firstSelected(), Ids{Id::wikipedia});
}

TEST_F(IntelligenceCoordinatorTest, FallbackIsLoggedOncePerWarmUpCycle) {
  create();
  for (const char* q : {"directions to paris", "directions to rome", "directions to oslo"}) {
    start(q);
    env.advanceBy(2s);
  }
  EXPECT_EQ(routings.size(), 3u);
  EXPECT_EQ(loggedFallbacks(), 1u);
  coordinator->onWorkModeChange(WorkMode::deepIdle);
  start("directions to lima");
  env.advanceBy(2s);
  EXPECT_EQ(loggedFallbacks(), 2u);
  EXPECT_EQ(routerFactory.builds, 2);
}

TEST_F(IntelligenceCoordinatorTest, RouterBuildFailureIsReportedAndRoutingFallsBack) {
  create();
  coordinator->warmRouterIfNeeded();
  env.runUntilIdle();
  routerFactory.complete(Error("PallixRouter", -4, "Missing bundled CoreML resources for PallixRouter"));
  env.runUntilIdle();
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::failed);
  EXPECT_EQ(coordinator->routerState().failureReason, "Missing bundled CoreML resources for PallixRouter");
  auto failures = errors("IntelligenceCoordinator.routerInitFailed");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].parameters.at("errorDomain"), "PallixRouter");
  EXPECT_EQ(failures[0].parameters.at("errorCode"), "-4");

  settle("def serendipity");
  ASSERT_EQ(routings.size(), 1u);
  EXPECT_EQ(routings[0].fallback, RouterFallbackReason::unavailable);
  // The timer of the settled attempt never fires a timeout.
  EXPECT_TRUE(errors("IntelligenceCoordinator.routerInitTimeout").empty());

  // A missing factory counts as a failed build.
  auto deps = dependencies();
  deps.routerFactory = nullptr;
  coordinator = std::make_unique<IntelligenceCoordinator>(deps);
  auto stream = settle("directions to the louvre");
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::failed);
  EXPECT_TRUE(stream->firstSelected().value_or(Ids{}).count(Id::maps));
}

TEST_F(IntelligenceCoordinatorTest, RouteFailureUsesTheFallbackAndIsReportedOnce) {
  router->failure = Error("PallixRouter", -1, "Missing logits output");
  createReady();
  for (const char* q : {"directions to paris", "directions to rome"}) {
    EXPECT_TRUE(settle(q)->firstSelected().value_or(Ids{}).count(Id::maps)) << q;
  }
  EXPECT_EQ(router->queries.size(), 2u);
  EXPECT_EQ(errors("IntelligenceCoordinator.routerRouteFailed").size(), 1u);
  ASSERT_EQ(routings.size(), 2u);
  EXPECT_EQ(routings[1].fallback, RouterFallbackReason::routeFailure);
  EXPECT_EQ(loggedFallbacks(), 1u);
}

TEST_F(IntelligenceCoordinatorTest, UnloadDuringABuildDiscardsTheLateRouter) {
  create();
  coordinator->warmRouterIfNeeded();
  env.runUntilIdle();
  coordinator->unloadRouter();
  routerFactory.complete(std::shared_ptr<QueryRouting>(router));
  env.advanceBy(40s);
  EXPECT_FALSE(coordinator->hasRouter());
  EXPECT_EQ(coordinator->routerState().kind, RouterState::Kind::unloaded);
  EXPECT_TRUE(errors("IntelligenceCoordinator.routerInitTimeout").empty());
}

// ------------------------------------------------------------ forced identifiers, preferences

// A source switched off, or absent from the dependencies, is neither selected nor searched.
TEST_F(IntelligenceCoordinatorTest, SwitchedOffAndAbsentSourcesAreNeitherSelectedNorSearched) {
  for (bool absent : {false, true}) {
    SCOPED_TRACE(absent ? "absent" : "switched off");
    auto deps = dependencies();
    for (Id id : {Id::weather, Id::wikipedia, Id::calculator}) switches->set(id, absent);
    if (absent) {
      deps.sources.weather = nullptr;
      deps.sources.wikipedia = nullptr;
      deps.sources.calculator = nullptr;
    }
    routeTo({DataSource::weather, DataSource::knowledge, DataSource::maps});
    coordinator = std::make_unique<IntelligenceCoordinator>(deps);
    makeRouterReady();
    auto stream = settle("weather near the louvre");
    EXPECT_EQ(stream->firstSelected(), Ids{Id::maps});
    EXPECT_TRUE(weather->searches.empty());
    EXPECT_TRUE(wikipedia->searches.empty());
    EXPECT_FALSE(coordinator->isEnabled(Id::wikipedia));
    EXPECT_TRUE(coordinator->isEnabled(Id::files));
    auto sum = settle("2+2");
    EXPECT_EQ(calculator->calculations, 0);
    ASSERT_FALSE(sum->snapshots.empty());
    EXPECT_FALSE(sum->last().calculatorResult);
    routerFactory = ManualRouterFactory{};
  }
}

TEST_F(IntelligenceCoordinatorTest, WeatherPrefersTheMapItemWhenMapsIsAlsoSelected) {
  router->decide = [](const std::string& q) {
    std::set<DataSource> s{DataSource::weather};
    if (q.find("tower") != std::string::npos) s.insert(DataSource::maps);
    return s;
  };
  createReady();
  settle("weather at the eiffel tower");
  EXPECT_EQ(weather->preference, WeatherLocationPreference::preferMapItem);
  settle("weather in oslo");
  EXPECT_EQ(weather->preference, WeatherLocationPreference::automatic);
}

// ------------------------------------------------------------ weather availability

// The weather keyword forces the source into the router's (empty) choice; for the current location it then
// needs location access.
TEST_F(IntelligenceCoordinatorTest, WeatherForTheCurrentLocationNeedsLocationAccess) {
  location->setStatusSilently(LocationAuthorizationStatus::denied);
  createReady({});
  auto stream = settle("weather");
  ASSERT_EQ(stream->snapshots.size(), 1u);
  ASSERT_TRUE(stream->last().weatherAvailabilityIssue);
  EXPECT_EQ(stream->last().weatherAvailabilityIssue->kind,
            WeatherAvailabilityIssue::Kind::missingLocationAuthorization);
  EXPECT_EQ(stream->last().weatherAvailabilityIssue->telemetryReason(), "authorization-2");
  EXPECT_FALSE(stream->last().selectedIdentifiers.count(Id::weather));
  EXPECT_TRUE(weather->searches.empty());

  // A named place needs no location access.
  auto paris = settle("weather in paris");
  EXPECT_EQ(paris->firstSelected(), Ids{Id::weather});
  EXPECT_FALSE(paris->snapshots.front().weatherAvailabilityIssue);
  EXPECT_TRUE(paris->last().weatherSnapshot);
}

TEST_F(IntelligenceCoordinatorTest, LocationServicesOffOrNoProviderGiveTheirOwnIssue) {
  for (bool withProvider : {true, false}) {
    SCOPED_TRACE(withProvider ? "services off" : "no provider");
    auto deps = dependencies();
    if (withProvider) location->setServicesEnabled(false);
    if (!withProvider) deps.locationProvider = nullptr;
    coordinator = std::make_unique<IntelligenceCoordinator>(deps);
    auto issue = coordinator->weatherAvailabilityIssue("weather tomorrow");
    ASSERT_TRUE(issue);
    EXPECT_EQ(issue->kind, WeatherAvailabilityIssue::Kind::locationServicesDisabled);
    EXPECT_EQ(issue->telemetryReason(), "location-services-disabled");
    EXPECT_FALSE(coordinator->weatherAvailabilityIssue("population of oslo"));
    EXPECT_FALSE(coordinator->needsLocationAuthorization());
  }
  switches->set(Id::weather, false);
  EXPECT_FALSE(coordinator->weatherAvailabilityIssue("weather tomorrow"));
}

// ------------------------------------------------------------ non-router pipeline

TEST_F(IntelligenceCoordinatorTest, NonRouterPipelineRunsLocalSourcesOnly) {
  routeTo({DataSource::knowledge});
  create();
  auto stream = start("2+2", ActivationMode::nonRouter);
  env.runUntilIdle();
  ASSERT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->last().selectedIdentifiers, Ids{Id::calculator});
  EXPECT_EQ(stream->last().activeIdentifiers, Ids{Id::calculator});
  env.fastForwardUntilNoTasksRemain();
  ASSERT_EQ(stream->snapshots.size(), 2u);
  EXPECT_TRUE(stream->last().activeIdentifiers.empty());
  ASSERT_TRUE(stream->last().calculatorResult);
  EXPECT_EQ(stream->finishes, 1);
  EXPECT_EQ(routerFactory.builds, 0);

  auto nothing = settle("population of oslo", ActivationMode::nonRouter);
  ASSERT_EQ(nothing->snapshots.size(), 1u);
  EXPECT_EQ(nothing->last().query, "population of oslo");
  EXPECT_TRUE(nothing->last().selectedIdentifiers.empty());
  EXPECT_TRUE(wikipedia->searches.empty());
}

// ------------------------------------------------------------ location

TEST_F(IntelligenceCoordinatorTest, PendingLocationRequestsShareOnePlatformRequest) {
  create();
  requestLocation();
  requestLocation();
  env.runUntilIdle();
  EXPECT_EQ(coordinator->pendingLocationRequestCount(), 2u);
  EXPECT_EQ(location->locationRequests, 1);
  Location here{{59.91, 10.75}, utc(2026, 3, 11, 10), 50};
  location->deliver({here});
  EXPECT_EQ(answers, (Answers{here, here}));
  EXPECT_EQ(coordinator->latestResolvedLocation(), here);
  EXPECT_EQ(coordinator->pendingLocationRequestCount(), 0u);
  // The next request is answered from the resolved location.
  requestLocation();
  env.runUntilIdle();
  EXPECT_EQ(answers, (Answers{here, here, here}));
  EXPECT_EQ(location->locationRequests, 1);
}

// A request that times out after 30 s or whose platform request fails resumes with no location.
TEST_F(IntelligenceCoordinatorTest, LocationTimeoutOrFailureResumesRequestersWithNone) {
  create();
  for (bool timeout : {true, false}) {
    SCOPED_TRACE(timeout ? "timeout" : "failure");
    answers.clear();
    requestLocation();
    env.advanceBy(29s);
    EXPECT_TRUE(answers.empty());
    timeout ? env.advanceBy(2s) : location->fail(Error("kCLErrorDomain", 0, "location unknown"));
    EXPECT_EQ(answers, Answers{std::nullopt});
    EXPECT_EQ(coordinator->pendingLocationRequestCount(), 0u);
  }
  EXPECT_EQ(errors("IntelligenceCoordinator.locationUpdateFailed").size(), 1u);
}

TEST_F(IntelligenceCoordinatorTest, KnownLocationsAreUsedBeforeAskingThePlatform) {
  create();
  maps->lastKnown = Location{{1, 2}, utc(2026, 3, 11, 9), 10};
  requestLocation();
  env.runUntilIdle();
  location->setStatusSilently(LocationAuthorizationStatus::denied);
  requestLocation();
  env.runUntilIdle();
  EXPECT_EQ(answers, (Answers{maps->lastKnown, std::nullopt})) << "no location without authorization";
  EXPECT_EQ(location->locationRequests, 0);
}

TEST_F(IntelligenceCoordinatorTest, LosingLocationAuthorizationCancelsAndResets) {
  wikipedia->delay = 5s;
  createReady({DataSource::knowledge});
  std::vector<LocationAuthorizationStatus> callbacks;
  coordinator->setLocationAuthorizationDidChange([&](LocationAuthorizationStatus s) { callbacks.push_back(s); });
  requestLocation();
  auto stream = start("population of oslo");
  env.advanceBy(100ms);
  location->changeAuthorization(LocationAuthorizationStatus::denied);
  env.advanceBy(10s);
  EXPECT_EQ(stream->snapshots.size(), 1u);
  EXPECT_EQ(stream->finishes, 1);
  EXPECT_EQ(answers, Answers{std::nullopt});
  EXPECT_EQ(weather->reverseGeocodingCancels, 1);
  EXPECT_EQ(callbacks, std::vector<LocationAuthorizationStatus>{LocationAuthorizationStatus::denied});

  location->changeAuthorization(LocationAuthorizationStatus::authorizedAlways);
  EXPECT_EQ(location->locationRequests, 2);
  EXPECT_EQ(callbacks.size(), 2u);
}

// ------------------------------------------------------------ lazy client

TEST_F(IntelligenceCoordinatorTest, LazyClientCreatesTheCoordinatorOnFirstUse) {
  location->setStatusSilently(LocationAuthorizationStatus::notDetermined);
  LazyIntelligenceClient client(dependencies());
  EXPECT_TRUE(client.needsLocationAuthorization());
  client.handleDataSourcePreferencesChange();
  client.onPanelHide();
  switches->set(Id::maps, false);
  switches->set(Id::weather, false);
  EXPECT_FALSE(client.needsLocationAuthorization());
  switches->set(Id::maps, true);
  location->setServicesEnabled(false);
  EXPECT_FALSE(client.needsLocationAuthorization());
  EXPECT_FALSE(client.hasCoordinator());
  client.warmRouterIfNeeded();
  env.runUntilIdle();
  EXPECT_EQ(routerFactory.builds, 1);
  EXPECT_EQ(client.coordinator().routerState().kind, RouterState::Kind::initializing);

  std::vector<Snapshot> seen;
  client.snapshots("2+2", UUID::random(), ActivationMode::full,
                   SnapshotStreamHandlers{[&](const Snapshot& s) { seen.push_back(s); }, nullptr});
  env.advanceBy(1300ms);  // the first full query waits for the router warm-up
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].calculatorResult);
}

}  // namespace
}  // namespace pallix
