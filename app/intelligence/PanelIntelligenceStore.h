// PanelIntelligenceStore: the observable state behind the panel's
// intelligence widgets. It starts intelligence queries through an
// IntelligenceClient, keeps one WidgetContentState per source, applies the
// streamed snapshots, tracks pending permission requests and holds copies of
// the ambient highlights shown while no query is active. It implements the
// search session's SessionIntelligence, so ContentViewModel drives it.
//
// Queries: `preview` (while typing; the coordinator's nonRouter pipeline) and
// `full` (the settled query; the full pipeline). Each takes a fresh session
// identifier; a snapshot whose identifier is no longer current is dropped.
// The remote widgets maps, weather and wikipedia never appear from preview
// results; they wait for the full snapshot. A remote widget that a preview
// did not select keeps what it showed until the settled query decides it,
// so that typing does not make it flicker.
//
// Threading: main runner only. Lives as long as the panel's session.
//
// Wiring (after the IntelligenceClient, see IntelligenceCoordinator.h):
//   auto store = std::make_shared<PanelIntelligenceStore>(mainRunner, calculatorSource);
//   store->configure(lazyClient, switches);          // subscribes to ambient highlights
//   contentViewModel.setIntelligence(store);          // the session drives it from here
//   store->setChangeHandler([&] { redraw(); });       // widgets read the state below
// Share one CalculatorSource (CalculatorSourceAdapter) between the coordinator
// and the store so calculatorResultText() and shouldPreserveCalculator() agree
// with the coordinator's short-circuit.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/IntelligenceClient.h"
#include "app/search/ContentViewModel.h"
#include "core/Logger.h"
#include "core/SequenceChecker.h"

namespace pallix {

enum class PendingPermission { contacts, calendar, location };
const char* pendingPermissionName(PendingPermission permission);

// Snapshot fields as the widgets present them (no query).
struct IntelligencePresentationState {
  std::set<VCRDataSourceIdentifier> selectedIdentifiers;
  std::set<VCRDataSourceIdentifier> activeIdentifiers;
  std::optional<CalculatorAnswer> calculatorResult;
  std::vector<ContactSearchResult> contactResults;
  std::vector<CalendarSearchResult> calendarResults;
  std::vector<MapSearchResult> mapResults;
  std::optional<WeatherSnapshot> weatherSnapshot;
  std::optional<WeatherAvailabilityIssue> weatherAvailabilityIssue;
  std::optional<DictionaryEntry> dictionaryResult;
  std::optional<WikipediaArticle> wikipediaArticle;
  std::map<VCRDataSourceIdentifier, std::string> notices;
  friend bool operator==(const IntelligencePresentationState&, const IntelligencePresentationState&) = default;
};

class PanelIntelligenceStore final : public SessionIntelligence {
 public:
  enum class QueryKind { preview, full };

  // The widget-relevant identifiers, and the deferred (remote) ones among them.
  static const std::set<VCRDataSourceIdentifier>& widgetIdentifiers();
  static const std::set<VCRDataSourceIdentifier>& deferredWidgetIdentifiers();

  // `calculator` may be null (no calculator widget).
  PanelIntelligenceStore(TaskRunnerPtr mainRunner, std::shared_ptr<CalculatorSource> calculator);
  ~PanelIntelligenceStore() override;
  PanelIntelligenceStore(const PanelIntelligenceStore&) = delete;
  PanelIntelligenceStore& operator=(const PanelIntelligenceStore&) = delete;

  void configure(std::shared_ptr<IntelligenceClient> client, std::shared_ptr<const DataSourceSwitches> switches);
  void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

  // SessionIntelligence
  void setLatestTrimmedQuery(const std::string& query) override { latestTrimmedQuery_ = query; }
  void setHasActiveQuery(bool active) override;
  bool hasActiveQuery() const override { return hasActiveQuery_; }
  void prepareForPendingQuery(const std::string& query, const std::set<std::string>& preserving) override;
  void runPreviewSearch(const std::string& query) override { performIntelligenceQuery(query, QueryKind::preview); }
  void runSettledSearch(const std::string& query) override { performIntelligenceQuery(query, QueryKind::full); }
  void handleClearedQueryState() override;
  void refreshCalculatorResult(const std::string& query) override;
  void cancelQueries(bool resetResults) override;
  void resetIntelligenceState() override;
  void refreshPendingPermissions() override;
  void cancelPreviewAndRenewSession() override;
  bool shouldPreserveCalculator(const std::string& effectiveQuery) const override;
  std::set<std::string> selectedSourceIdentifiers() const override;
  std::optional<std::string> calculatorResultText() const override;

  // Store operations.
  void performIntelligenceQuery(const std::string& query, QueryKind kind);
  void setWidgetState(WidgetContentState state, VCRDataSourceIdentifier identifier);
  void handleDataSourcePreferencesChange();
  // Asks for contacts, calendar and location access in that order, then refreshes.
  void requestPendingPermissions(std::function<void()> completion);

  // Observable state.
  WidgetContentState widgetState(VCRDataSourceIdentifier identifier) const;
  const std::map<VCRDataSourceIdentifier, WidgetContentState>& widgetStates() const { return widgetStates_; }
  const IntelligencePresentationState& intelligenceState() const { return state_; }
  const std::vector<PendingPermission>& pendingPermissions() const { return pendingPermissions_; }
  const std::string& latestTrimmedQuery() const { return latestTrimmedQuery_; }
  const std::vector<CalendarSearchResult>& upcomingCalendarEvents() const { return upcomingCalendarEvents_; }
  const std::optional<WeatherSnapshot>& ambientWeatherSnapshot() const { return ambientWeatherSnapshot_; }
  const std::optional<WeatherSnapshot>& ambientEventWeatherSnapshot() const { return ambientEventWeatherSnapshot_; }
  const std::vector<MapSearchResult>& ambientEventMapResults() const { return ambientEventMapResults_; }
  // Ambient highlights are shown while no query is active.
  bool showsAmbientHighlights() const { return !hasActiveQuery_; }
  const UUID& previewIntelligenceSessionID() const { return previewIntelligenceSessionID_; }
  const UUID& intelligenceSessionID() const { return intelligenceSessionID_; }
  const std::set<VCRDataSourceIdentifier>& pendingDeferredWidgetIdentifiers() const {
    return pendingDeferredWidgetIdentifiers_;
  }
  const std::optional<Snapshot>& pendingFullSnapshot() const { return pendingFullSnapshot_; }
  bool hasPresentedInitialSnapshot() const { return hasPresentedInitialSnapshot_; }
  bool hasConfiguredDependencies() const { return hasConfiguredDependencies_; }
  bool isQueryRunning(QueryKind kind) const;

 private:
  bool isEnabled(VCRDataSourceIdentifier identifier) const;
  void applySnapshot(const Snapshot& snapshot, QueryKind kind);
  void present(const Snapshot& snapshot, const std::set<VCRDataSourceIdentifier>& hidden);
  void clearWidget(VCRDataSourceIdentifier identifier);
  void applyHighlights(const Highlights& highlights);
  void notifyChanged();

  TaskRunnerPtr main_;
  SequenceChecker sequence_{main_.get(), "PanelIntelligenceStore"};
  std::shared_ptr<CalculatorSource> calculator_;
  std::shared_ptr<IntelligenceClient> client_;
  std::shared_ptr<const DataSourceSwitches> switches_;
  std::function<void()> changeHandler_;
  Logger logger_{"PanelIntelligenceStore"};

  std::vector<CalendarSearchResult> upcomingCalendarEvents_;
  std::optional<WeatherSnapshot> ambientWeatherSnapshot_;
  std::optional<WeatherSnapshot> ambientEventWeatherSnapshot_;
  std::vector<MapSearchResult> ambientEventMapResults_;
  std::map<VCRDataSourceIdentifier, WidgetContentState> widgetStates_;
  std::vector<PendingPermission> pendingPermissions_;
  bool hasActiveQuery_ = false;
  std::string latestTrimmedQuery_;
  bool hasConfiguredDependencies_ = false;
  IntelligencePresentationState state_;
  std::optional<uint64_t> ambientHighlightsToken_;
  TaskHandle previewIntelligenceTask_;
  TaskHandle intelligenceTask_;
  UUID previewIntelligenceSessionID_ = UUID::random();
  UUID intelligenceSessionID_ = UUID::random();
  std::map<VCRDataSourceIdentifier, bool> previewWidgetHasContent_;
  std::set<VCRDataSourceIdentifier> pendingDeferredWidgetIdentifiers_;
  std::optional<Snapshot> pendingFullSnapshot_;
  bool hasPresentedInitialSnapshot_ = false;
  WeakGuard weak_;
};

}  // namespace pallix
