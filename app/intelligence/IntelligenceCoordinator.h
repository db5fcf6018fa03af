// IntelligenceCoordinator: turns one search text into a stream of Snapshot
// values from the intelligence data sources.
//
// It runs the query pipeline and owns its helpers: the RouterHolder (the
// query router, built lazily off the main thread with a 30 s timeout,
// dropped in deep idle), the rule-based fallback used while the router is
// not ready, the LocationBroker (the location provider and the pending
// location requests) and the ambient-highlights service. A query runs one of two
// pipelines: `full` (calculator short-circuit, local sources, forced and
// routed remote sources) or `nonRouter` (local sources only). Only one stream
// is live: a newer query finishes the older stream without further snapshots.
//
// Threading: confined to the main runner. The router is built and consulted
// on `routerRunner`; data sources work wherever they like and their answers
// hop back to the main runner. Must be destroyed on the main runner.
//
// Wiring: AppRuntime (app/shell) builds the router and source executors, the
// sources, the data-source switches, the lazy client and the panel store, in
// that order; the client follows the panel's visibility and work modes.
// On a DataSourcePreferences change call store->handleDataSourcePreferencesChange().
// Sources that do not exist yet are simply left null: they count as switched off.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/intelligence/AmbientIntelligenceService.h"
#include "app/intelligence/DataSource.h"
#include "app/intelligence/IntelligenceClient.h"
#include "app/intelligence/LocationBroker.h"
#include "app/intelligence/LocationProvider.h"
#include "app/intelligence/QueryRouting.h"
#include "app/intelligence/RouterHolder.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "app/intelligence/WeatherQueryAnalyzer.h"
#include "core/Logger.h"
#include "core/SequenceChecker.h"
#include "core/SourceStatistics.h"

namespace pallix {

// The seven data sources; any may be null (the source does not exist yet).
struct IntelligenceSources {
  std::shared_ptr<CalculatorSource> calculator;
  std::shared_ptr<PermissionedSource> contacts;
  std::shared_ptr<CalendarSource> calendar;
  std::shared_ptr<MapSource> maps;
  std::shared_ptr<WeatherSource> weather;
  std::shared_ptr<DictionarySource> dictionary;
  std::shared_ptr<VCRDataSource> wikipedia;
};

enum class RouterFallbackReason { unavailable, routeFailure, timeout };
// "routerUnavailable", "routeFailure", "routerTimeout".
const char* routerFallbackReasonLogName(RouterFallbackReason reason);

// How one full query chose its remote sources: the fallback reason when the
// router could not be used, and whether this fallback is the one logged in
// its warm-up cycle.
struct RoutingOutcome {
  std::optional<RouterFallbackReason> fallback;
  bool fallbackLogged = false;
};

class IntelligenceCoordinator final : public IntelligenceClient {
 public:
  static constexpr Duration kRouterInitializationTimeout = RouterHolder::kRouterInitializationTimeout;
  static constexpr Duration kRouterWarmupWait = RouterHolder::kRouterWarmupWait;
  static constexpr Duration kLocationRequestTimeout = LocationBroker::kLocationRequestTimeout;

  struct Dependencies {
    TaskRunnerPtr mainRunner;
    TaskRunnerPtr routerRunner;                          // background executor for building and consulting the router
    std::shared_ptr<const DataSourceSwitches> switches;  // null: everything on
    IntelligenceSources sources;
    QueryRouterFactory routerFactory;                         // null: no router is installed
    std::shared_ptr<LocationProvider> locationProvider;       // null: DeniedLocationProvider
    std::function<bool(const std::string&)> addressDetector;  // null on Linux
    std::string timeZoneId;                                   // for the weather analyzer's dates; empty: default zone
    // The panel lifecycle coordinator; must outlive the coordinator. Null: no
    // work modes (the router then stays loaded once built).
    WorkModeRegistry* workModes = nullptr;
    // Off for one-shot commands: the ambient highlights fetch nothing by themselves.
    bool ambientHighlights = true;
    // Where each source's answer time goes, under the source's raw name (`pallix status`); null: nowhere.
    SourceStatistics* statistics = nullptr;
  };

  explicit IntelligenceCoordinator(Dependencies dependencies);
  ~IntelligenceCoordinator() override;
  IntelligenceCoordinator(const IntelligenceCoordinator&) = delete;
  IntelligenceCoordinator& operator=(const IntelligenceCoordinator&) = delete;

  // IntelligenceClient
  void setLocationAuthorizationDidChange(std::function<void(LocationAuthorizationStatus)> callback) override {
    locationAuthorizationDidChange_ = std::move(callback);
  }
  TaskHandle snapshots(const std::string& query, const UUID& sessionID, ActivationMode mode,
                       SnapshotStreamHandlers handlers) override;
  void cancelActiveQuery(bool resetResults) override;
  PermissionStatus currentContactAuthorizationStatus() override;
  void requestContactAuthorizationIfNeeded(std::function<void(bool)> completion) override;
  PermissionStatus currentCalendarAuthorizationStatus() override;
  void requestCalendarAuthorizationIfNeeded(std::function<void(bool)> completion) override;
  bool needsLocationAuthorization() override;
  void requestLocationAccessIfNeeded(std::function<void()> completion) override;
  uint64_t ambientHighlightsStream(HighlightsObserver observer) override;
  void removeAmbientHighlightsObserver(uint64_t token) override;
  void refreshAmbientHighlights(bool forceWeather) override;
  void handleDataSourcePreferencesChange() override;
  void fetchCalendarLocationHighlights(
      const CalendarSearchResult& event,
      std::function<void(std::optional<CalendarLocationHighlights>)> completion) override;
  void warmRouterIfNeeded() override;
  // The work-mode handler, registered with `workModes` at construction and
  // called with its mode at once: deep idle stops location updates, unloads
  // the router (the next full query rebuilds it, also after a failed or
  // timed-out build) and pauses the ambient service.
  void onWorkModeChange(WorkMode mode);
  // Refreshes the ambient highlights (weather only when stale).
  void onPanelShow() override;
  // Abandons the live query; results stay for the next show.
  void onPanelHide() override;

  // Drops the router (deep idle); the next full query rebuilds it.
  void unloadRouter();
  // Resolves the current location for the weather source (none unless authorized).
  void resolveCurrentLocation(LocationCompletion completion);

  // Called on the main runner once each full query has its routed sources.
  void setRoutingObserver(std::function<void(const RoutingOutcome&)> observer) {
    routingObserver_ = std::move(observer);
  }

  // Inspection (tests, diagnostics).
  const RouterState& routerState() const { return router_.state(); }
  bool routerResolved() const { return router_.resolved(); }
  bool hasRouter() const { return router_.router() != nullptr; }
  const std::optional<std::string>& currentQuery() const { return currentQuery_; }
  size_t pendingLocationRequestCount() const { return location_.pendingRequestCount(); }
  const std::optional<Location>& latestResolvedLocation() const { return location_.latestResolvedLocation(); }
  AmbientIntelligenceService& ambientService() { return *ambient_; }
  // The switch of a source, false when the source does not exist; messages, files and apps: true.
  bool isEnabled(VCRDataSourceIdentifier identifier) const;
  std::optional<WeatherAvailabilityIssue> weatherAvailabilityIssue(const std::string& query);

 private:
  struct Run;

  VCRDataSource* source(VCRDataSourceIdentifier identifier) const;
  std::vector<VCRDataSource*> dataSources() const;
  SourceSelectionContext selectionContext(const WeatherQueryAnalyzer& analyzer) const;
  WeatherQueryAnalyzer makeWeatherAnalyzer() const;

  void runFullPipeline(const std::shared_ptr<Run>& run);
  void continueFullPipeline(const std::shared_ptr<Run>& run);
  void runNonRouterPipeline(const std::shared_ptr<Run>& run);
  void computeRouterIdentifiers(
      const std::shared_ptr<Run>& run,
      std::function<void(std::set<VCRDataSourceIdentifier>, std::optional<RouterFallbackReason>)> done);
  void startRemoteTaskIfAllowed(const std::shared_ptr<Run>& run, VCRDataSourceIdentifier identifier);
  // Asks `source` and hands its answer to `onResult` on the main runner, timing it into the statistics.
  void searchSource(VCRDataSourceIdentifier identifier, VCRDataSource& source, const std::string& query,
                    std::function<void(std::optional<VCRDataSourceResult>)> onResult);
  void handleRemoteResult(const std::shared_ptr<Run>& run, VCRDataSourceIdentifier identifier,
                          std::optional<VCRDataSourceResult> result);
  void applyRemoteResult(const std::shared_ptr<Run>& run, VCRDataSourceIdentifier identifier,
                         const std::optional<VCRDataSourceResult>& result);
  // Resets and lists the enabled local sources that handle the query.
  void selectLocalSources(const std::shared_ptr<Run>& run);
  void runLocalSearches(const std::shared_ptr<Run>& run, std::function<void(VCRDataSourceIdentifier)> perResult,
                        std::function<void()> allDone);
  void deliverFirstAndAwaitRemotes(const std::shared_ptr<Run>& run);
  bool isSuperseded(const Run& run) const;
  void deliver(const std::shared_ptr<Run>& run);
  void finish(const std::shared_ptr<Run>& run);
  void cancelCurrentRun();
  void updateWeatherLocationPreference(const std::set<VCRDataSourceIdentifier>& remote);
  void logWeatherBlocked(const WeatherAvailabilityIssue& issue, const std::string& query, bool servicesEnabled);

  void handleLocationAccessChange(bool nowAuthorized);
  bool locationSourcesEnabled() const;

  Dependencies deps_;
  SequenceChecker sequence_{deps_.mainRunner.get(), "IntelligenceCoordinator"};
  Logger logger_{"IntelligenceCoordinator"};
  RouterHolder router_;
  LocationBroker location_;
  std::shared_ptr<Run> currentRun_;
  std::optional<std::string> currentQuery_;
  std::function<void(LocationAuthorizationStatus)> locationAuthorizationDidChange_;
  std::function<void(const RoutingOutcome&)> routingObserver_;
  std::unique_ptr<AmbientIntelligenceService> ambient_;
  std::optional<UUID> lifecycleRegistrationID_;
  WeakGuard weak_;
};

}  // namespace pallix
