#include "app/intelligence/LocationBroker.h"

#include <utility>

#include "core/Telemetry.h"

namespace pallix {

LocationBroker::LocationBroker(TaskRunnerPtr mainRunner, std::shared_ptr<LocationProvider> provider)
    : mainRunner_(std::move(mainRunner)),
      provider_(provider ? std::move(provider) : std::make_shared<DeniedLocationProvider>()) {
  provider_->configure(LocationProvider::Configuration{});
  provider_->setDelegate(LocationProvider::Delegate{
      weak_.wrap([this](const std::vector<Location>& locations) { handleUpdates(locations); }),
      weak_.wrap([this](const Error& error) { handleFailure(error); }),
      weak_.wrap([this](LocationAuthorizationStatus status) { handleAuthorizationChange(status); }),
  });
  authorizationStatus_ = provider_->authorizationStatus();
}

LocationBroker::~LocationBroker() {
  for (auto& [id, request] : pending_) request.timer.cancel();
}

LocationAuthorizationStatus LocationBroker::refreshAuthorizationStatus() {
  authorizationStatus_ = provider_->authorizationStatus();
  return authorizationStatus_;
}

void LocationBroker::resolveCurrentLocation(std::function<std::optional<Location>()> lastKnown,
                                            LocationCompletion completion) {
  if (!isLocationAuthorized(provider_->authorizationStatus()) || !provider_->locationServicesEnabled()) {
    completion(std::nullopt);
    return;
  }
  if (latest_) return completion(latest_);
  if (lastKnown) {
    if (auto known = lastKnown()) return completion(known);
  }
  if (auto last = provider_->lastLocation()) return completion(last);
  const UUID id = UUID::random();
  TaskHandle timer = mainRunner_->postDelayed(kLocationRequestTimeout, weak_.wrap([this, id] {
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    auto waiting = std::move(it->second.completion);
    pending_.erase(it);
    waiting(std::nullopt);
  }));
  pending_[id] = PendingRequest{std::move(completion), timer};
  if (pending_.size() == 1) provider_->requestLocation();
}

void LocationBroker::forgetLocation() {
  latest_.reset();
  resumeAll(std::nullopt);
}

void LocationBroker::resumeAll(const std::optional<Location>& location) {
  auto pending = std::exchange(pending_, {});
  for (auto& [id, request] : pending) {
    request.timer.cancel();
    request.completion(location);
  }
}

void LocationBroker::handleUpdates(const std::vector<Location>& locations) {
  if (locations.empty()) return;
  latest_ = locations.back();
  logger_.info("Received %ld location update(s); fulfilling %ld pending requests", static_cast<long>(locations.size()),
               static_cast<long>(pending_.size()));
  resumeAll(latest_);
}

void LocationBroker::handleFailure(const Error& error) {
  logger_.error("Location update failed domain=%s code=%ld message=%s", error.domain().c_str(),
                static_cast<long>(error.code()), error.description().c_str());
  TelemetryService::errorOccurred("IntelligenceCoordinator.locationUpdateFailed", "IntelligenceCoordinator",
                                  error.description(), errorTelemetryParameters(error));
  resumeAll(std::nullopt);
}

void LocationBroker::handleAuthorizationChange(LocationAuthorizationStatus status) {
  if (status != authorizationStatus_) {
    const bool wasAuthorized = isLocationAuthorized(authorizationStatus_);
    const bool nowAuthorized = isLocationAuthorized(status);
    logger_.info("Authorization status changed from %d to %d raw=%ld", wasAuthorized ? 1 : 0, nowAuthorized ? 1 : 0,
                 static_cast<long>(status));
    authorizationStatus_ = status;
    if (wasAuthorized != nowAuthorized && accessChanged_) accessChanged_(nowAuthorized);
  }
  if (authorizationReported_) authorizationReported_(status);
}

void LocationBroker::applyWorkMode(WorkMode mode, bool wanted) {
  if (mode != WorkMode::deepIdle && wanted && isLocationAuthorized(provider_->authorizationStatus())) {
    provider_->startUpdatingLocation();
  } else {
    provider_->stopUpdatingLocation();
  }
}

}  // namespace pallix
