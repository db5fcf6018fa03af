// LazyIntelligenceClient: the IntelligenceClient the application holds. It
// creates the IntelligenceCoordinator on first use (so launch does not pay for
// the sources, the location provider and the ambient service), except that
// needsLocationAuthorization() answers without creating it and
// handleDataSourcePreferencesChange() does nothing while there is none.
//
// Threading: main runner only, like the coordinator it creates.
#pragma once

#include <memory>

#include "app/intelligence/IntelligenceCoordinator.h"

namespace pallix {

class LazyIntelligenceClient final : public IntelligenceClient {
 public:
  explicit LazyIntelligenceClient(IntelligenceCoordinator::Dependencies dependencies);
  ~LazyIntelligenceClient() override;

  bool hasCoordinator() const { return coordinator_ != nullptr; }
  // Creates the coordinator if needed.
  IntelligenceCoordinator& coordinator();

  void setLocationAuthorizationDidChange(std::function<void(LocationAuthorizationStatus)> callback) override;
  TaskHandle snapshots(const std::string& query, const UUID& sessionID, ActivationMode mode,
                       SnapshotStreamHandlers handlers) override {
    return coordinator().snapshots(query, sessionID, mode, std::move(handlers));
  }
  void cancelActiveQuery(bool resetResults) override { coordinator().cancelActiveQuery(resetResults); }
  PermissionStatus currentContactAuthorizationStatus() override {
    return coordinator().currentContactAuthorizationStatus();
  }
  void requestContactAuthorizationIfNeeded(std::function<void(bool)> completion) override {
    coordinator().requestContactAuthorizationIfNeeded(std::move(completion));
  }
  PermissionStatus currentCalendarAuthorizationStatus() override {
    return coordinator().currentCalendarAuthorizationStatus();
  }
  void requestCalendarAuthorizationIfNeeded(std::function<void(bool)> completion) override {
    coordinator().requestCalendarAuthorizationIfNeeded(std::move(completion));
  }
  bool needsLocationAuthorization() override;
  void requestLocationAccessIfNeeded(std::function<void()> completion) override {
    coordinator().requestLocationAccessIfNeeded(std::move(completion));
  }
  uint64_t ambientHighlightsStream(HighlightsObserver observer) override {
    return coordinator().ambientHighlightsStream(std::move(observer));
  }
  void removeAmbientHighlightsObserver(uint64_t token) override {
    if (coordinator_) coordinator_->removeAmbientHighlightsObserver(token);
  }
  void refreshAmbientHighlights(bool forceWeather) override { coordinator().refreshAmbientHighlights(forceWeather); }
  void handleDataSourcePreferencesChange() override {
    if (coordinator_) coordinator_->handleDataSourcePreferencesChange();
  }
  void fetchCalendarLocationHighlights(
      const CalendarSearchResult& event,
      std::function<void(std::optional<CalendarLocationHighlights>)> completion) override {
    coordinator().fetchCalendarLocationHighlights(event, std::move(completion));
  }
  void warmRouterIfNeeded() override { coordinator().warmRouterIfNeeded(); }
  void onPanelShow() override { coordinator().onPanelShow(); }
  void onPanelHide() override {
    if (coordinator_) coordinator_->onPanelHide();
  }

 private:
  IntelligenceCoordinator::Dependencies dependencies_;
  std::function<void(LocationAuthorizationStatus)> callback_;
  std::unique_ptr<IntelligenceCoordinator> coordinator_;
};

}  // namespace pallix
