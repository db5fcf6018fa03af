#include "app/intelligence/PanelIntelligenceStore.h"

#include "app/intelligence/IntelligenceText.h"

namespace pallix {

namespace {

using Id = VCRDataSourceIdentifier;

}  // namespace

const char* pendingPermissionName(PendingPermission permission) {
  switch (permission) {
    case PendingPermission::contacts:
      return "contacts";
    case PendingPermission::calendar:
      return "calendar";
    case PendingPermission::location:
      return "location";
  }
  return "contacts";
}

const std::set<Id>& PanelIntelligenceStore::widgetIdentifiers() {
  static const std::set<Id> ids = {Id::calculator, Id::contacts,   Id::calendar, Id::maps,
                                   Id::weather,    Id::dictionary, Id::wikipedia};
  return ids;
}

const std::set<Id>& PanelIntelligenceStore::deferredWidgetIdentifiers() {
  static const std::set<Id> ids = {Id::maps, Id::weather, Id::wikipedia};
  return ids;
}

PanelIntelligenceStore::PanelIntelligenceStore(TaskRunnerPtr mainRunner, std::shared_ptr<CalculatorSource> calculator)
    : main_(std::move(mainRunner)), calculator_(std::move(calculator)) {
  for (Id id : widgetIdentifiers()) widgetStates_[id] = WidgetContentState::idle;
}

PanelIntelligenceStore::~PanelIntelligenceStore() {
  previewIntelligenceTask_.cancel();
  intelligenceTask_.cancel();
  if (client_ && ambientHighlightsToken_) client_->removeAmbientHighlightsObserver(*ambientHighlightsToken_);
}

void PanelIntelligenceStore::configure(std::shared_ptr<IntelligenceClient> client,
                                       std::shared_ptr<const DataSourceSwitches> switches) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (client_ && ambientHighlightsToken_) client_->removeAmbientHighlightsObserver(*ambientHighlightsToken_);
  ambientHighlightsToken_.reset();
  client_ = std::move(client);
  switches_ = std::move(switches);
  hasConfiguredDependencies_ = client_ != nullptr;
  if (!client_) return;
  ambientHighlightsToken_ = client_->ambientHighlightsStream(
      weak_.wrap([this](const Highlights& highlights) { applyHighlights(highlights); }));
  client_->setLocationAuthorizationDidChange(
      weak_.wrap([this](LocationAuthorizationStatus) { refreshPendingPermissions(); }));
  refreshPendingPermissions();
}

bool PanelIntelligenceStore::isEnabled(Id identifier) const {
  return !switches_ || switches_->isEnabled(identifier);
}

void PanelIntelligenceStore::notifyChanged() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (changeHandler_) changeHandler_();
}

void PanelIntelligenceStore::setHasActiveQuery(bool active) {
  if (hasActiveQuery_ == active) return;
  hasActiveQuery_ = active;
  notifyChanged();
}

WidgetContentState PanelIntelligenceStore::widgetState(Id identifier) const {
  auto it = widgetStates_.find(identifier);
  return it == widgetStates_.end() ? WidgetContentState::idle : it->second;
}

void PanelIntelligenceStore::setWidgetState(WidgetContentState state, Id identifier) {
  if (!widgetIdentifiers().count(identifier)) return;
  widgetStates_[identifier] = state;
  notifyChanged();
}

bool PanelIntelligenceStore::isQueryRunning(QueryKind kind) const {
  const TaskHandle& task = kind == QueryKind::preview ? previewIntelligenceTask_ : intelligenceTask_;
  return task.valid() && !task.isCancelled();
}

void PanelIntelligenceStore::clearWidget(Id identifier) {
  state_.notices.erase(identifier);
  switch (identifier) {
    case Id::calculator:
      state_.calculatorResult.reset();
      break;
    case Id::contacts:
      state_.contactResults.clear();
      break;
    case Id::calendar:
      state_.calendarResults.clear();
      break;
    case Id::maps:
      state_.mapResults.clear();
      break;
    case Id::weather:
      state_.weatherSnapshot.reset();
      state_.weatherAvailabilityIssue.reset();
      break;
    case Id::dictionary:
      state_.dictionaryResult.reset();
      break;
    case Id::wikipedia:
      state_.wikipediaArticle.reset();
      break;
    default:
      break;
  }
  state_.selectedIdentifiers.erase(identifier);
  state_.activeIdentifiers.erase(identifier);
  if (widgetIdentifiers().count(identifier)) widgetStates_[identifier] = WidgetContentState::idle;
}

void PanelIntelligenceStore::prepareForPendingQuery(const std::string& query, const std::set<std::string>& preserving) {
  latestTrimmedQuery_ = intelligence::trimmed(query);
  for (Id id : widgetIdentifiers()) {
    if (!preserving.count(dataSourceIdentifierRawValue(id))) clearWidget(id);
  }
  // Messages and files selections belong to the previous query as well.
  state_.selectedIdentifiers.erase(Id::messages);
  state_.selectedIdentifiers.erase(Id::files);
  state_.weatherAvailabilityIssue.reset();
  pendingDeferredWidgetIdentifiers_.clear();
  pendingFullSnapshot_.reset();
  previewWidgetHasContent_.clear();
  hasPresentedInitialSnapshot_ = false;
  notifyChanged();
}

void PanelIntelligenceStore::handleClearedQueryState() {
  cancelQueries(true);
  hasActiveQuery_ = false;
  latestTrimmedQuery_.clear();
  if (client_) client_->refreshAmbientHighlights(false);
  notifyChanged();
}

void PanelIntelligenceStore::refreshCalculatorResult(const std::string& query) {
  const std::string text = intelligence::trimmed(query);
  std::optional<CalculatorAnswer> answer;
  if (calculator_ && isEnabled(Id::calculator) && !text.empty() && calculator_->shouldHandle(text)) {
    answer = calculator_->calculate(text);
  }
  if (answer) {
    state_.calculatorResult = std::move(answer);
    state_.selectedIdentifiers.insert(Id::calculator);
    state_.activeIdentifiers.erase(Id::calculator);
    widgetStates_[Id::calculator] = WidgetContentState::ready;
  } else {
    clearWidget(Id::calculator);
  }
  notifyChanged();
}

void PanelIntelligenceStore::cancelQueries(bool resetResults) {
  previewIntelligenceTask_.cancel();
  intelligenceTask_.cancel();
  previewIntelligenceSessionID_ = UUID::random();
  intelligenceSessionID_ = UUID::random();
  if (client_) client_->cancelActiveQuery(resetResults);
  if (resetResults) resetIntelligenceState();
}

void PanelIntelligenceStore::resetIntelligenceState() {
  state_ = IntelligencePresentationState{};
  for (Id id : widgetIdentifiers()) widgetStates_[id] = WidgetContentState::idle;
  previewWidgetHasContent_.clear();
  pendingDeferredWidgetIdentifiers_.clear();
  pendingFullSnapshot_.reset();
  hasPresentedInitialSnapshot_ = false;
  notifyChanged();
}

void PanelIntelligenceStore::cancelPreviewAndRenewSession() {
  previewIntelligenceTask_.cancel();
  previewIntelligenceSessionID_ = UUID::random();
}

bool PanelIntelligenceStore::shouldPreserveCalculator(const std::string& effectiveQuery) const {
  if (!calculator_ || !state_.calculatorResult || widgetState(Id::calculator) != WidgetContentState::ready) {
    return false;
  }
  const std::string text = intelligence::trimmed(effectiveQuery);
  return !text.empty() && isEnabled(Id::calculator) && calculator_->shouldHandle(text);
}

std::set<std::string> PanelIntelligenceStore::selectedSourceIdentifiers() const {
  std::set<std::string> raw;
  for (Id id : state_.selectedIdentifiers) raw.insert(dataSourceIdentifierRawValue(id));
  return raw;
}

std::optional<std::string> PanelIntelligenceStore::calculatorResultText() const {
  if (!state_.calculatorResult) return std::nullopt;
  return state_.calculatorResult->formattedValue;
}

void PanelIntelligenceStore::refreshPendingPermissions() {
  std::vector<PendingPermission> pending;
  if (client_) {
    if (isEnabled(Id::contacts) && client_->currentContactAuthorizationStatus() == PermissionStatus::notDetermined) {
      pending.push_back(PendingPermission::contacts);
    }
    if (isEnabled(Id::calendar) && client_->currentCalendarAuthorizationStatus() == PermissionStatus::notDetermined) {
      pending.push_back(PendingPermission::calendar);
    }
    if (client_->needsLocationAuthorization()) pending.push_back(PendingPermission::location);
  }
  if (pending != pendingPermissions_) {
    pendingPermissions_ = std::move(pending);
    notifyChanged();
  }
}

void PanelIntelligenceStore::requestPendingPermissions(std::function<void()> completion) {
  if (!client_) {
    if (completion) completion();
    return;
  }
  auto client = client_;
  auto finish = weak_.wrap([this, completion] {
    refreshPendingPermissions();
    if (completion) completion();
  });
  auto location = [client, finish](bool) { client->requestLocationAccessIfNeeded(finish); };
  auto calendar = [client, location](bool) { client->requestCalendarAuthorizationIfNeeded(location); };
  client->requestContactAuthorizationIfNeeded(calendar);
}

void PanelIntelligenceStore::handleDataSourcePreferencesChange() {
  if (client_) client_->handleDataSourcePreferencesChange();
  for (Id id : widgetIdentifiers()) {
    if (!isEnabled(id)) clearWidget(id);
  }
  refreshPendingPermissions();
  notifyChanged();
}

void PanelIntelligenceStore::performIntelligenceQuery(const std::string& query, QueryKind kind) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (!client_) return;
  const std::string text = intelligence::trimmed(query);
  latestTrimmedQuery_ = text;
  if (kind == QueryKind::preview) {
    previewIntelligenceTask_.cancel();
    const UUID session = UUID::random();
    previewIntelligenceSessionID_ = session;
    previewIntelligenceTask_ =
        client_->snapshots(text, session, ActivationMode::nonRouter,
                           SnapshotStreamHandlers{weak_.wrap([this, session](const Snapshot& snapshot) {
                                                    if (session == previewIntelligenceSessionID_)
                                                      applySnapshot(snapshot, QueryKind::preview);
                                                  }),
                                                  weak_.wrap([this, session] {
                                                    if (session == previewIntelligenceSessionID_)
                                                      previewIntelligenceTask_ = TaskHandle();
                                                  })});
    return;
  }
  // A settled query replaces any preview in flight.
  cancelPreviewAndRenewSession();
  intelligenceTask_.cancel();
  const UUID session = UUID::random();
  intelligenceSessionID_ = session;
  intelligenceTask_ = client_->snapshots(text, session, ActivationMode::full,
                                         SnapshotStreamHandlers{weak_.wrap([this, session](const Snapshot& snapshot) {
                                                                  if (session == intelligenceSessionID_)
                                                                    applySnapshot(snapshot, QueryKind::full);
                                                                }),
                                                                weak_.wrap([this, session] {
                                                                  if (session == intelligenceSessionID_)
                                                                    intelligenceTask_ = TaskHandle();
                                                                })});
}

void PanelIntelligenceStore::applySnapshot(const Snapshot& snapshot, QueryKind kind) {
  if (kind == QueryKind::preview) {
    std::set<Id> hidden;
    for (Id id : deferredWidgetIdentifiers()) {
      if (snapshot.selectedIdentifiers.count(id)) pendingDeferredWidgetIdentifiers_.insert(id);
      hidden.insert(id);
    }
    for (Id id : widgetIdentifiers()) {
      if (isRemoteDataSource(id) && !snapshot.selectedIdentifiers.count(id)) hidden.insert(id);
    }
    for (Id id : widgetIdentifiers()) previewWidgetHasContent_[id] = snapshot.hasContent(id);
    present(snapshot, hidden);
    return;
  }
  // Deferred widgets appear with the full snapshot; the latest one is kept for inspection.
  pendingFullSnapshot_ = snapshot;
  pendingDeferredWidgetIdentifiers_.clear();
  hasPresentedInitialSnapshot_ = true;
  present(snapshot, {});
  if (snapshot.activeIdentifiers.empty()) pendingFullSnapshot_.reset();
}

void PanelIntelligenceStore::present(const Snapshot& snapshot, const std::set<Id>& hidden) {
  IntelligencePresentationState next;
  for (Id id : snapshot.selectedIdentifiers) {
    if (!hidden.count(id)) next.selectedIdentifiers.insert(id);
  }
  for (Id id : snapshot.activeIdentifiers) {
    if (!hidden.count(id)) next.activeIdentifiers.insert(id);
  }
  next.calculatorResult = snapshot.calculatorResult;
  next.contactResults = snapshot.contactResults;
  next.calendarResults = snapshot.calendarResults;
  next.dictionaryResult = hidden.count(Id::dictionary) ? state_.dictionaryResult : snapshot.dictionaryResult;
  next.weatherAvailabilityIssue = snapshot.weatherAvailabilityIssue;
  if (hidden.count(Id::maps)) {
    next.mapResults = state_.mapResults;
  } else {
    next.mapResults = snapshot.mapResults;
  }
  next.weatherSnapshot = hidden.count(Id::weather) ? state_.weatherSnapshot : snapshot.weatherSnapshot;
  next.wikipediaArticle = hidden.count(Id::wikipedia) ? state_.wikipediaArticle : snapshot.wikipediaArticle;
  for (const auto& [id, text] : state_.notices) {
    if (hidden.count(id)) next.notices[id] = text;
  }
  for (const auto& [id, text] : snapshot.notices) {
    if (!hidden.count(id)) next.notices[id] = text;
  }
  // A calculator answer refreshed locally outlives snapshots that do not select the calculator, as long as the
  // calculator still handles the text: an answer for "2+2" must not stay up for "2+2 apples".
  if (!snapshot.selectedIdentifiers.count(Id::calculator) && state_.calculatorResult &&
      widgetState(Id::calculator) == WidgetContentState::ready && snapshot.query == latestTrimmedQuery_ &&
      calculator_ && calculator_->shouldHandle(snapshot.query)) {
    next.calculatorResult = state_.calculatorResult;
    next.selectedIdentifiers.insert(Id::calculator);
  }

  for (Id id : widgetIdentifiers()) {
    if (hidden.count(id)) {
      // A deferred widget keeps what it showed; the full query decides it.
      if (state_.selectedIdentifiers.count(id)) next.selectedIdentifiers.insert(id);
      if (state_.activeIdentifiers.count(id)) next.activeIdentifiers.insert(id);
      continue;
    }
    Snapshot view;
    view.calculatorResult = next.calculatorResult;
    view.contactResults = next.contactResults;
    view.calendarResults = next.calendarResults;
    view.mapResults = next.mapResults;
    view.weatherSnapshot = next.weatherSnapshot;
    view.dictionaryResult = next.dictionaryResult;
    view.wikipediaArticle = next.wikipediaArticle;
    view.notices = next.notices;
    if (!next.selectedIdentifiers.count(id)) {
      widgetStates_[id] = WidgetContentState::idle;
    } else if (next.activeIdentifiers.count(id)) {
      widgetStates_[id] = WidgetContentState::loading;
    } else {
      widgetStates_[id] = view.hasContent(id) ? WidgetContentState::ready : WidgetContentState::noResults;
    }
  }
  state_ = std::move(next);
  notifyChanged();
}

void PanelIntelligenceStore::applyHighlights(const Highlights& highlights) {
  upcomingCalendarEvents_ = highlights.upcomingEvents;
  ambientWeatherSnapshot_ = highlights.weatherSnapshot;
  ambientEventWeatherSnapshot_ = highlights.eventWeatherSnapshot;
  ambientEventMapResults_ = highlights.eventMapResults;
  notifyChanged();
}

}  // namespace pallix
