// LocationBroker: the intelligence coordinator's side of the location
// provider. It configures the provider, follows its authorisation, keeps the
// latest location and answers location requests: at once from what is known,
// otherwise by one provider request shared by every waiting caller, each
// given up after kLocationRequestTimeout. Losing the authorisation forgets
// the location and answers every waiting request with none (forgetLocation,
// called by the access-change handler when it has stopped what used it).
//
// Threading: main runner only; the provider's delegate calls arrive there.
// Owned by IntelligenceCoordinator; must be destroyed on the main runner.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/LocationProvider.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"
#include "core/WorkMode.h"

namespace pallix {

class LocationBroker {
 public:
  static constexpr Duration kLocationRequestTimeout = std::chrono::seconds(30);

  // An authorisation change that turned access on or off (main runner).
  using AccessChangeHandler = std::function<void(bool nowAuthorized)>;
  // Every authorisation report of the provider, changed or not.
  using AuthorizationHandler = std::function<void(LocationAuthorizationStatus)>;

  // `provider` null: DeniedLocationProvider.
  LocationBroker(TaskRunnerPtr mainRunner, std::shared_ptr<LocationProvider> provider);
  ~LocationBroker();
  LocationBroker(const LocationBroker&) = delete;
  LocationBroker& operator=(const LocationBroker&) = delete;

  void setAccessChangeHandler(AccessChangeHandler handler) { accessChanged_ = std::move(handler); }
  void setAuthorizationHandler(AuthorizationHandler handler) { authorizationReported_ = std::move(handler); }

  LocationProvider& provider() { return *provider_; }
  const std::shared_ptr<LocationProvider>& sharedProvider() const { return provider_; }
  // The provider's status now (also remembered as the last known one).
  LocationAuthorizationStatus refreshAuthorizationStatus();
  LocationAuthorizationStatus authorizationStatus() const { return authorizationStatus_; }

  // Answers with the known location, `lastKnown` (another source's), the
  // provider's last one, or the next update; none unless authorised.
  void resolveCurrentLocation(std::function<std::optional<Location>()> lastKnown, LocationCompletion completion);
  // Location updates run unless `mode` is deepIdle, while authorised and
  // `wanted` (a source that uses the location is on).
  void applyWorkMode(WorkMode mode, bool wanted);

  // Drops the latest location and answers every waiting request with none.
  void forgetLocation();

  size_t pendingRequestCount() const { return pending_.size(); }
  const std::optional<Location>& latestResolvedLocation() const { return latest_; }

 private:
  void handleUpdates(const std::vector<Location>& locations);
  void handleFailure(const Error& error);
  void handleAuthorizationChange(LocationAuthorizationStatus status);
  void resumeAll(const std::optional<Location>& location);

  struct PendingRequest {
    LocationCompletion completion;
    TaskHandle timer;
  };

  TaskRunnerPtr mainRunner_;
  std::shared_ptr<LocationProvider> provider_;
  Logger logger_{"IntelligenceCoordinator"};
  LocationAuthorizationStatus authorizationStatus_ = LocationAuthorizationStatus::notDetermined;
  std::map<UUID, PendingRequest> pending_;
  std::optional<Location> latest_;
  AccessChangeHandler accessChanged_;
  AuthorizationHandler authorizationReported_;
  WeakGuard weak_;
};

}  // namespace pallix
