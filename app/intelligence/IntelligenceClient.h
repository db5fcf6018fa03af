// IntelligenceClient: how the panel intelligence store (and the search
// session through it) reaches the intelligence coordinator. Implemented by
// IntelligenceCoordinator and by LazyIntelligenceClient, which the
// application holds and which creates the coordinator on first use.
//
// Threading: every operation is called on the main runner, and every
// callback (snapshots, completions, highlights) is delivered on it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/intelligence/AmbientIntelligenceService.h"
#include "app/intelligence/IntelligenceTypes.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"
#include "core/WorkMode.h"

namespace pallix {

// The consumer's side of one query's answer stream. onSnapshot is called once
// per snapshot, in order; onFinish once at the end (after the last snapshot,
// or when a newer query or cancelActiveQuery superseded the stream).
struct SnapshotStreamHandlers {
  std::function<void(const Snapshot&)> onSnapshot;
  std::function<void()> onFinish;
};

class IntelligenceClient {
 public:
  virtual ~IntelligenceClient() = default;

  virtual void setLocationAuthorizationDidChange(std::function<void(LocationAuthorizationStatus)> callback) = 0;
  // Starts answering `query`; supersedes the previous stream. Cancelling the
  // returned handle stops deliveries to `handlers` (onFinish still follows).
  virtual TaskHandle snapshots(const std::string& query, const UUID& sessionID, ActivationMode mode,
                               SnapshotStreamHandlers handlers) = 0;
  virtual void cancelActiveQuery(bool resetResults) = 0;

  virtual PermissionStatus currentContactAuthorizationStatus() = 0;
  virtual void requestContactAuthorizationIfNeeded(std::function<void(bool granted)> completion) = 0;
  virtual PermissionStatus currentCalendarAuthorizationStatus() = 0;
  virtual void requestCalendarAuthorizationIfNeeded(std::function<void(bool granted)> completion) = 0;
  virtual bool needsLocationAuthorization() = 0;
  virtual void requestLocationAccessIfNeeded(std::function<void()> completion) = 0;

  // Ambient highlights: the observer receives the current value at once.
  virtual uint64_t ambientHighlightsStream(HighlightsObserver observer) = 0;
  virtual void removeAmbientHighlightsObserver(uint64_t token) = 0;
  virtual void refreshAmbientHighlights(bool forceWeather) = 0;
  virtual void handleDataSourcePreferencesChange() = 0;
  virtual void fetchCalendarLocationHighlights(
      const CalendarSearchResult& event, std::function<void(std::optional<CalendarLocationHighlights>)> completion) = 0;

  // Entry points the application wires to the panel (work modes reach the
  // coordinator through its own registration, see IntelligenceCoordinator.h).
  virtual void warmRouterIfNeeded() = 0;
  virtual void onPanelShow() = 0;
  virtual void onPanelHide() = 0;
};

}  // namespace pallix
