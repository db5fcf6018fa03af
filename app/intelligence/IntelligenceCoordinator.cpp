#include "app/intelligence/IntelligenceCoordinator.h"

#include <algorithm>
#include <vector>

#include "app/intelligence/IntelligenceText.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

using Id = VCRDataSourceIdentifier;

constexpr Id kSourceOrder[] = {Id::calculator, Id::contacts,   Id::calendar, Id::maps,
                               Id::weather,    Id::dictionary, Id::wikipedia};

}  // namespace

const char* routerFallbackReasonLogName(RouterFallbackReason reason) {
  switch (reason) {
    case RouterFallbackReason::unavailable:
      return "routerUnavailable";
    case RouterFallbackReason::routeFailure:
      return "routeFailure";
    case RouterFallbackReason::timeout:
      return "routerTimeout";
  }
  return "routerUnavailable";
}

// One query's stream: its snapshot, its remote tasks and its consumer.
struct IntelligenceCoordinator::Run {
  std::string query;
  UUID sessionID;
  ActivationMode mode = ActivationMode::full;
  SnapshotStreamHandlers handlers;
  TaskHandle handle;  // cancelled by supersession or by the consumer
  Snapshot snapshot;
  bool finished = false;
  bool firstDelivered = false;
  std::vector<Id> localIdentifiers;
  std::map<Id, TaskHandle> remoteTasks;
  std::vector<std::pair<Id, std::optional<VCRDataSourceResult>>> earlyRemoteResults;
};

IntelligenceCoordinator::IntelligenceCoordinator(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      router_(deps_.mainRunner, deps_.routerRunner, deps_.routerFactory),
      location_(deps_.mainRunner, deps_.locationProvider) {
  if (!deps_.switches) deps_.switches = std::make_shared<MutableDataSourceSwitches>();
  deps_.locationProvider = location_.sharedProvider();
  location_.setAccessChangeHandler(
      weak_.wrap([this](bool nowAuthorized) { handleLocationAccessChange(nowAuthorized); }));
  location_.setAuthorizationHandler(weak_.wrap([this](LocationAuthorizationStatus status) {
    if (locationAuthorizationDidChange_) locationAuthorizationDidChange_(status);
  }));
  logger_.info("Initializing IntelligenceCoordinator with authorizationStatus=%ld",
               static_cast<long>(location_.authorizationStatus()));
  if (deps_.sources.weather) {
    deps_.sources.weather->setCurrentLocationProvider(
        [main = deps_.mainRunner, resolve = weak_.wrap([this](LocationCompletion completion) {
          resolveCurrentLocation(std::move(completion));
        })](LocationCompletion completion) mutable {
          main->post([resolve, completion = std::move(completion)]() mutable { resolve(std::move(completion)); });
        });
  }
  ambient_ = std::make_unique<AmbientIntelligenceService>(AmbientIntelligenceService::Dependencies{
      deps_.mainRunner,
      deps_.sources.calendar,
      deps_.sources.weather,
      deps_.sources.maps,
      deps_.switches,
      // The service is owned by this coordinator and dies first.
      [this] { return needsLocationAuthorization(); },
      [provider = deps_.locationProvider] { return provider->locationServicesEnabled(); },
      deps_.ambientHighlights,
  });
  ambient_->refreshUpcomingCalendarEvents();
  ambient_->refreshAmbientWeather(true);
  if (deps_.workModes) {
    lifecycleRegistrationID_ =
        deps_.workModes->registerWorkModeHandler(weak_.wrap([this](WorkMode mode) { onWorkModeChange(mode); }));
    // Created lazily, the coordinator may start in any mode; handlers only hear of changes.
    onWorkModeChange(deps_.workModes->workMode());
  }
}

IntelligenceCoordinator::~IntelligenceCoordinator() {
  if (deps_.workModes && lifecycleRegistrationID_) deps_.workModes->unregister(*lifecycleRegistrationID_);
  if (currentRun_) {
    currentRun_->handle.cancel();
    for (auto& [id, task] : currentRun_->remoteTasks) task.cancel();
  }
  ambient_.reset();
}

// ------------------------------------------------------------------ sources

VCRDataSource* IntelligenceCoordinator::source(Id identifier) const {
  const auto& s = deps_.sources;
  switch (identifier) {
    case Id::calculator:
      return s.calculator.get();
    case Id::contacts:
      return s.contacts.get();
    case Id::calendar:
      return s.calendar.get();
    case Id::maps:
      return s.maps.get();
    case Id::weather:
      return s.weather.get();
    case Id::dictionary:
      return s.dictionary.get();
    case Id::wikipedia:
      return s.wikipedia.get();
    default:
      return nullptr;
  }
}

std::vector<VCRDataSource*> IntelligenceCoordinator::dataSources() const {
  std::vector<VCRDataSource*> all;
  for (Id id : kSourceOrder) {
    if (auto* s = source(id)) all.push_back(s);
  }
  return all;
}

bool IntelligenceCoordinator::isEnabled(Id identifier) const {
  if (!isLocalDataSource(identifier) && !isRemoteDataSource(identifier)) return true;
  return source(identifier) != nullptr && deps_.switches->isEnabled(identifier);
}

WeatherQueryAnalyzer IntelligenceCoordinator::makeWeatherAnalyzer() const {
  return WeatherQueryAnalyzer(DateDetector(deps_.mainRunner->clock().wallNow(), deps_.timeZoneId));
}

SourceSelectionContext IntelligenceCoordinator::selectionContext(const WeatherQueryAnalyzer& analyzer) const {
  SourceSelectionContext context;
  context.isEnabled = [this](Id id) { return isEnabled(id); };
  context.weatherLocationPreference =
      deps_.sources.weather ? deps_.sources.weather->locationPreference() : WeatherLocationPreference::automatic;
  context.weatherAnalyzer = &analyzer;
  context.addressDetector = deps_.addressDetector;
  if (auto dictionary = deps_.sources.dictionary) {
    context.dictionaryResolvesCandidate = [dictionary](const std::string& text) {
      return dictionary->resolvesLookupCandidate(text);
    };
  }
  return context;
}

// ------------------------------------------------------------------ router

void IntelligenceCoordinator::warmRouterIfNeeded() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  router_.warmUpIfNeeded();
}

void IntelligenceCoordinator::unloadRouter() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  router_.unload();
}

// ------------------------------------------------------------------ queries

TaskHandle IntelligenceCoordinator::snapshots(const std::string& query, const UUID& sessionID, ActivationMode mode,
                                              SnapshotStreamHandlers handlers) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  logger_.debug("snapshots(query=\"%s\") invoked (sessionID=%s) mode=%s", query.c_str(), sessionID.string().c_str(),
                activationModeName(mode));
  const std::string text = intelligence::trimmed(query);
  cancelCurrentRun();
  currentQuery_ = text;

  auto run = std::make_shared<Run>();
  run->query = text;
  run->sessionID = sessionID;
  run->mode = mode;
  run->handlers = std::move(handlers);
  run->handle = TaskHandle::make();
  run->snapshot.query = text;
  currentRun_ = run;

  if (text.empty()) {
    if (mode == ActivationMode::full) {
      if (deps_.sources.weather) deps_.sources.weather->setLocationPreference(WeatherLocationPreference::automatic);
      for (auto* s : dataSources()) s->reset();
    }
    deps_.mainRunner->post(weak_.wrap([this, run] {
      if (!run->handle.isCancelled()) deliver(run);
      finish(run);
    }));
    return run->handle;
  }
  if (mode == ActivationMode::full) warmRouterIfNeeded();
  deps_.mainRunner->post(weak_.wrap([this, run] {
    if (isSuperseded(*run)) {
      finish(run);
    } else if (run->mode == ActivationMode::full) {
      runFullPipeline(run);
    } else {
      runNonRouterPipeline(run);
    }
  }));
  return run->handle;
}

bool IntelligenceCoordinator::isSuperseded(const Run& run) const {
  return run.finished || run.handle.isCancelled() || currentQuery_ != run.query;
}

void IntelligenceCoordinator::deliver(const std::shared_ptr<Run>& run) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (run->finished || run->handle.isCancelled()) return;
  if (run->handlers.onSnapshot) run->handlers.onSnapshot(run->snapshot);
}

void IntelligenceCoordinator::finish(const std::shared_ptr<Run>& run) {
  if (run->finished) return;
  run->finished = true;
  for (auto& [id, task] : run->remoteTasks) task.cancel();
  if (auto onFinish = std::move(run->handlers.onFinish)) deps_.mainRunner->post(std::move(onFinish));
  run->handlers.onSnapshot = nullptr;
}

void IntelligenceCoordinator::cancelCurrentRun() {
  if (!currentRun_) return;
  auto run = std::move(currentRun_);
  currentRun_.reset();
  run->handle.cancel();
  finish(run);
}

void IntelligenceCoordinator::cancelActiveQuery(bool resetResults) {
  cancelCurrentRun();
  for (auto* s : dataSources()) {
    if (resetResults) {
      s->reset();
    } else {
      s->cancelActiveQuery();
    }
  }
  currentQuery_.reset();
}

std::optional<WeatherAvailabilityIssue> IntelligenceCoordinator::weatherAvailabilityIssue(const std::string& query) {
  if (!isEnabled(Id::weather)) return std::nullopt;
  auto intent = makeWeatherAnalyzer().intent(query, WeatherLocationPreference::automatic);
  if (!intent || !intent->useCurrentLocation) return std::nullopt;
  const bool servicesEnabled = deps_.locationProvider->locationServicesEnabled();
  const LocationAuthorizationStatus status = location_.refreshAuthorizationStatus();
  std::optional<WeatherAvailabilityIssue> issue;
  if (!servicesEnabled) {
    issue = WeatherAvailabilityIssue{WeatherAvailabilityIssue::Kind::locationServicesDisabled, status};
  } else if (!isLocationAuthorized(status)) {
    issue = WeatherAvailabilityIssue{WeatherAvailabilityIssue::Kind::missingLocationAuthorization, status};
  }
  return issue;
}

void IntelligenceCoordinator::logWeatherBlocked(const WeatherAvailabilityIssue& issue, const std::string& query,
                                                bool servicesEnabled) {
  logger_.info("Weather query blocked reason=%s servicesEnabled=%d status=%ld queryLength=%ld",
               issue.telemetryReason().c_str(), servicesEnabled ? 1 : 0,
               static_cast<long>(deps_.locationProvider->authorizationStatus()), static_cast<long>(query.size()));
}

void IntelligenceCoordinator::updateWeatherLocationPreference(const std::set<Id>& remote) {
  auto weather = deps_.sources.weather;
  if (!weather) return;
  const bool preferMapItem = isEnabled(Id::weather) && remote.count(Id::weather) && remote.count(Id::maps);
  weather->setLocationPreference(preferMapItem ? WeatherLocationPreference::preferMapItem
                                               : WeatherLocationPreference::automatic);
}

void IntelligenceCoordinator::runFullPipeline(const std::shared_ptr<Run>& run) {
  warmRouterIfNeeded();
  router_.awaitWarmup(weak_.wrap([this, run] { continueFullPipeline(run); }));
}

void IntelligenceCoordinator::continueFullPipeline(const std::shared_ptr<Run>& run) {
  if (isSuperseded(*run)) {
    finish(run);
    return;
  }
  const std::string& query = run->query;
  const auto issue = weatherAvailabilityIssue(query);
  run->snapshot.weatherAvailabilityIssue = issue;
  for (auto* s : dataSources()) s->cancelActiveQuery();

  // Calculator short-circuit: the answer is the only result.
  if (auto calculator = deps_.sources.calculator;
      calculator && isEnabled(Id::calculator) && calculator->shouldHandle(query)) {
    if (auto answer = calculator->calculate(query)) {
      run->snapshot.selectedIdentifiers = {Id::calculator};
      run->snapshot.activeIdentifiers = {};
      run->snapshot.calculatorResult = std::move(answer);
      deliver(run);
      finish(run);
      return;
    }
  }

  selectLocalSources(run);

  const WeatherQueryAnalyzer analyzer = makeWeatherAnalyzer();
  std::set<Id> forced = SourceSelectionRules::forcedIdentifiers(query, selectionContext(analyzer));
  if (issue) {
    forced.erase(Id::weather);
    logWeatherBlocked(*issue, query, deps_.locationProvider->locationServicesEnabled());
  }
  for (Id id : forced) startRemoteTaskIfAllowed(run, id);

  computeRouterIdentifiers(
      run, weak_.wrap([this, run, forced, issue](std::set<Id> routed, std::optional<RouterFallbackReason> reason) {
        if (isSuperseded(*run)) {
          finish(run);
          return;
        }
        const bool logFallback = reason && router_.takeFallbackLog();
        if (logFallback) logger_.error("PallixRouter fallback engaged reason=%s", routerFallbackReasonLogName(*reason));
        if (routingObserver_) routingObserver_(RoutingOutcome{reason, logFallback});
        std::set<Id> remote;
        for (Id id : routed) {
          if (isEnabled(id)) remote.insert(id);
        }
        for (Id id : forced) {
          if (isEnabled(id)) remote.insert(id);
        }
        if (issue) remote.erase(Id::weather);
        updateWeatherLocationPreference(remote);
        for (Id id : remote) {
          if (!run->remoteTasks.count(id)) startRemoteTaskIfAllowed(run, id);
        }
        std::set<Id> selected = remote;
        selected.insert(run->localIdentifiers.begin(), run->localIdentifiers.end());
        run->snapshot.selectedIdentifiers = std::move(selected);
        runLocalSearches(
            run, [](Id) {}, weak_.wrap([this, run] { deliverFirstAndAwaitRemotes(run); }));
      }));
}

void IntelligenceCoordinator::computeRouterIdentifiers(
    const std::shared_ptr<Run>& run, std::function<void(std::set<Id>, std::optional<RouterFallbackReason>)> done) {
  auto fallback = [this, run] {
    const WeatherQueryAnalyzer analyzer = makeWeatherAnalyzer();
    return SourceSelectionRules::fallbackIdentifiers(run->query, selectionContext(analyzer));
  };
  if (!router_.router()) {
    RouterFallbackReason reason = RouterFallbackReason::unavailable;
    switch (router_.state().kind) {
      case RouterState::Kind::unloaded:
        logger_.debug("PallixRouter is unloaded, using fallback routing");
        break;
      case RouterState::Kind::initializing:
        logger_.debug("PallixRouter still initializing, using fallback routing");
        break;
      case RouterState::Kind::timedOut:
        logger_.debug("PallixRouter timed out, using fallback routing");
        reason = RouterFallbackReason::timeout;
        break;
      case RouterState::Kind::failed:
        logger_.debug("PallixRouter failed (%s), using fallback routing", router_.state().failureReason.c_str());
        break;
      case RouterState::Kind::ready:
        logger_.error("PallixRouter state is ready but router is nil");
        break;
    }
    auto ids = fallback();
    deps_.mainRunner->post([done = std::move(done), ids = std::move(ids), reason]() mutable { done(ids, reason); });
    return;
  }
  auto router = router_.router();
  auto main = deps_.mainRunner;
  auto runner = router_.runner();
  auto handleResult = weak_.wrap([this, run, fallback, done](Result<RouteResult> result) {
    if (result.ok()) {
      std::set<Id> ids;
      std::vector<std::string> raw;
      for (DataSource label : result.value().selected) {
        ids.insert(identifierForRouterSource(label));
        raw.emplace_back(routerDataSourceRawValue(label));
      }
      if (ids.empty()) {
        logger_.debug("PallixRouter produced no mapped tools queryLength=%ld", static_cast<long>(run->query.size()));
      } else {
        std::sort(raw.begin(), raw.end());
        std::string joined;
        for (const auto& r : raw) joined += (joined.empty() ? "" : ",") + r;
        logger_.debug("PallixRouter tools=%s", joined.c_str());
      }
      done(std::move(ids), std::nullopt);
      return;
    }
    const Error& error = result.error();
    if (router_.takeRouteFailureLog()) {
      logger_.error("PallixRouter routing failed domain=%s code=%ld description=%s", error.domain().c_str(),
                    static_cast<long>(error.code()), error.description().c_str());
      TelemetryService::errorOccurred("IntelligenceCoordinator.routerRouteFailed", "IntelligenceCoordinator",
                                      error.description(), errorTelemetryParameters(error));
    }
    done(fallback(), RouterFallbackReason::routeFailure);
  });
  runner->post([router, query = run->query, main, handleResult, handle = run->handle]() mutable {
    if (handle.isCancelled()) return;
    Result<RouteResult> result = router->route(query, RouteOptions::defaults());
    main->post([handleResult, result = std::move(result)]() mutable { handleResult(std::move(result)); });
  });
}

void IntelligenceCoordinator::startRemoteTaskIfAllowed(const std::shared_ptr<Run>& run, Id id) {
  if (!isEnabled(id)) return;
  VCRDataSource* s = source(id);
  if (!s) return;
  if (id == Id::weather && run->snapshot.weatherAvailabilityIssue) return;
  s->reset();
  TaskHandle task = TaskHandle::make();
  run->remoteTasks[id] = task;
  auto onResult = weak_.wrap([this, run, id, task](std::optional<VCRDataSourceResult> result) {
    if (!task.isCancelled()) handleRemoteResult(run, id, std::move(result));
  });
  searchSource(id, *s, run->query, std::move(onResult));
}

void IntelligenceCoordinator::searchSource(Id id, VCRDataSource& source, const std::string& query,
                                           std::function<void(std::optional<VCRDataSourceResult>)> onResult) {
  auto main = deps_.mainRunner;
  SourceStatistics* statistics = deps_.statistics;
  const MonoTime started = statistics ? statistics->clock().now() : MonoTime{};
  source.performSearch(query, [main, onResult = std::move(onResult), statistics, started,
                               name = dataSourceIdentifierRawValue(id)](std::optional<VCRDataSourceResult> result) {
    // Timed where the source answers: the hop back to the main runner is the panel's cost, not the source's.
    if (statistics) statistics->recordQuery(name, statistics->clock().now() - started);
    main->post([onResult, result = std::move(result)]() mutable { onResult(std::move(result)); });
  });
}

void IntelligenceCoordinator::handleRemoteResult(const std::shared_ptr<Run>& run, Id id,
                                                 std::optional<VCRDataSourceResult> result) {
  if (!run->firstDelivered) {
    run->earlyRemoteResults.emplace_back(id, std::move(result));
    return;
  }
  applyRemoteResult(run, id, result);
}

void IntelligenceCoordinator::applyRemoteResult(const std::shared_ptr<Run>& run, Id id,
                                                const std::optional<VCRDataSourceResult>& result) {
  if (isSuperseded(*run)) {
    finish(run);
    return;
  }
  if (result) run->snapshot.apply(*result);
  run->snapshot.activeIdentifiers.erase(id);
  deliver(run);
  if (run->snapshot.activeIdentifiers.empty()) finish(run);
}

void IntelligenceCoordinator::selectLocalSources(const std::shared_ptr<Run>& run) {
  for (Id id : {Id::calculator, Id::contacts, Id::calendar}) {
    VCRDataSource* s = source(id);
    if (!s || !isEnabled(id) || !s->shouldHandle(run->query)) continue;
    s->reset();
    run->localIdentifiers.push_back(id);
  }
}

void IntelligenceCoordinator::runLocalSearches(const std::shared_ptr<Run>& run, std::function<void(Id)> perResult,
                                               std::function<void()> allDone) {
  if (run->localIdentifiers.empty()) {
    allDone();
    return;
  }
  auto remaining = std::make_shared<size_t>(run->localIdentifiers.size());
  for (Id id : run->localIdentifiers) {
    auto onResult = weak_.wrap([run, id, remaining, perResult, allDone](std::optional<VCRDataSourceResult> result) {
      if (run->finished) return;
      if (result) run->snapshot.apply(*result);
      perResult(id);
      if (--*remaining == 0) allDone();
    });
    searchSource(id, *source(id), run->query, std::move(onResult));
  }
}

void IntelligenceCoordinator::deliverFirstAndAwaitRemotes(const std::shared_ptr<Run>& run) {
  if (isSuperseded(*run)) {
    finish(run);
    return;
  }
  run->snapshot.activeIdentifiers.clear();
  for (const auto& [id, task] : run->remoteTasks) run->snapshot.activeIdentifiers.insert(id);
  deliver(run);
  run->firstDelivered = true;
  if (run->remoteTasks.empty()) {
    finish(run);
    return;
  }
  auto early = std::move(run->earlyRemoteResults);
  for (auto& [id, result] : early) {
    if (run->finished) break;
    applyRemoteResult(run, id, result);
  }
}

void IntelligenceCoordinator::runNonRouterPipeline(const std::shared_ptr<Run>& run) {
  const std::string& query = run->query;
  run->snapshot.weatherAvailabilityIssue = weatherAvailabilityIssue(query);
  for (auto* s : dataSources()) s->cancelActiveQuery();
  selectLocalSources(run);
  if (run->localIdentifiers.empty()) {
    deliver(run);
    finish(run);
    return;
  }
  run->snapshot.selectedIdentifiers.insert(run->localIdentifiers.begin(), run->localIdentifiers.end());
  run->snapshot.activeIdentifiers = run->snapshot.selectedIdentifiers;
  deliver(run);
  runLocalSearches(run, weak_.wrap([this, run](Id id) {
    if (isSuperseded(*run)) {
      finish(run);
      return;
    }
    run->snapshot.activeIdentifiers.erase(id);
    deliver(run);
  }),
                   weak_.wrap([this, run] { finish(run); }));
}

// ------------------------------------------------------------------ work modes

void IntelligenceCoordinator::onWorkModeChange(WorkMode mode) {
  ambient_->setWorkMode(mode);
  location_.applyWorkMode(mode, locationSourcesEnabled());
  if (mode == WorkMode::deepIdle) {
    unloadRouter();
    logger_.info("IntelligenceCoordinator deep idle - location paused");
    return;
  }
  logger_.info("IntelligenceCoordinator updated work mode: %s", workModeName(mode));
}

void IntelligenceCoordinator::onPanelShow() {
  refreshAmbientHighlights(false);
}

void IntelligenceCoordinator::onPanelHide() {
  cancelActiveQuery(false);
}

}  // namespace pallix
