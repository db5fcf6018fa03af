#include "app/intelligence/LazyIntelligenceClient.h"

namespace pallix {

LazyIntelligenceClient::LazyIntelligenceClient(IntelligenceCoordinator::Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
  if (!dependencies_.locationProvider) dependencies_.locationProvider = std::make_shared<DeniedLocationProvider>();
  if (!dependencies_.switches) dependencies_.switches = std::make_shared<MutableDataSourceSwitches>();
}

LazyIntelligenceClient::~LazyIntelligenceClient() = default;

IntelligenceCoordinator& LazyIntelligenceClient::coordinator() {
  if (!coordinator_) {
    coordinator_ = std::make_unique<IntelligenceCoordinator>(dependencies_);
    if (callback_) coordinator_->setLocationAuthorizationDidChange(callback_);
  }
  return *coordinator_;
}

void LazyIntelligenceClient::setLocationAuthorizationDidChange(
    std::function<void(LocationAuthorizationStatus)> callback) {
  callback_ = callback;
  coordinator().setLocationAuthorizationDidChange(std::move(callback));
}

bool LazyIntelligenceClient::needsLocationAuthorization() {
  if (coordinator_) return coordinator_->needsLocationAuthorization();
  const auto& switches = *dependencies_.switches;
  const bool maps = dependencies_.sources.maps && switches.isEnabled(VCRDataSourceIdentifier::maps);
  const bool weather = dependencies_.sources.weather && switches.isEnabled(VCRDataSourceIdentifier::weather);
  if (!maps && !weather) return false;
  const auto& location = *dependencies_.locationProvider;
  if (!location.locationServicesEnabled()) return false;
  return location.authorizationStatus() == LocationAuthorizationStatus::notDetermined;
}

}  // namespace pallix
