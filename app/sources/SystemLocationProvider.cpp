#include "app/sources/SystemLocationProvider.h"

#include <cmath>

namespace pallix {

std::optional<SystemLocationProvider::FixedPlace> SystemLocationProvider::fixedPlace(const UserDefaults& defaults) {
  auto stored = defaults.dictionaryValue(kFixedPlaceKey);
  if (!stored || !stored->is_object()) return std::nullopt;
  const auto& d = *stored;
  if (!d.contains("latitude") || !d.contains("longitude") || !d["latitude"].is_number() ||
      !d["longitude"].is_number()) {
    return std::nullopt;
  }
  FixedPlace place;
  place.coordinate = LocationCoordinate{d["latitude"].get<double>(), d["longitude"].get<double>()};
  if (!std::isfinite(place.coordinate.latitude) || !std::isfinite(place.coordinate.longitude) ||
      !isValidCoordinate(place.coordinate)) {
    return std::nullopt;
  }
  place.name = d.contains("name") && d["name"].is_string() ? d["name"].get<std::string>() : std::string();
  if (d.contains("timeZone") && d["timeZone"].is_string()) place.timeZone = d["timeZone"].get<std::string>();
  return place;
}

Status SystemLocationProvider::setFixedPlace(UserDefaults& defaults, const FixedPlace& place) {
  nlohmann::json value = {
      {"name", place.name}, {"latitude", place.coordinate.latitude}, {"longitude", place.coordinate.longitude}};
  if (place.timeZone) value["timeZone"] = *place.timeZone;
  return defaults.setDictionary(kFixedPlaceKey, value);
}

Status SystemLocationProvider::clearFixedPlace(UserDefaults& defaults) {
  return defaults.remove(kFixedPlaceKey);
}

SystemLocationProvider::SystemLocationProvider(std::shared_ptr<LocationService> service,
                                               std::optional<FixedPlace> fixed, TaskRunnerPtr mainRunner)
    : service_(std::move(service)), fixed_(std::move(fixed)), main_(std::move(mainRunner)) {
  if (fixed_) {
    last_ = fixedLocation();
  } else if (service_) {
    availability_ = service_->availability();
  }
}

SystemLocationProvider::~SystemLocationProvider() {
  *alive_ = false;
  if (serviceRunning_ && service_) service_->stop();
}

LocationAuthorizationStatus SystemLocationProvider::authorizationStatus() const {
  if (fixed_ || availability_ == LocationService::Availability::available) {
    return LocationAuthorizationStatus::authorizedWhenInUse;
  }
  return LocationAuthorizationStatus::denied;
}

bool SystemLocationProvider::locationServicesEnabled() const {
  return fixed_ || availability_ != LocationService::Availability::unavailable;
}

Location SystemLocationProvider::fixedLocation() const {
  Location place{fixed_->coordinate, main_->clock().wallNow(), 0};
  if (!fixed_->name.empty()) place.placeName = fixed_->name;
  return place;
}

std::optional<Location> SystemLocationProvider::lastLocation() const {
  return last_;
}

void SystemLocationProvider::requestLocation() {
  if (fixed_) {
    Location place = fixedLocation();
    main_->post([this, alive = alive_, place] {
      if (!*alive) return;
      last_ = place;
      if (delegate_.didUpdateLocations) delegate_.didUpdateLocations({place});
    });
    return;
  }
  startService();
}

void SystemLocationProvider::startUpdatingLocation() {
  continuous_ = true;
  if (!fixed_) startService();
}

void SystemLocationProvider::stopUpdatingLocation() {
  continuous_ = false;
  if (serviceRunning_ && service_) service_->stop();
  serviceRunning_ = false;
}

void SystemLocationProvider::startService() {
  if (serviceRunning_ || !service_ || availability_ != LocationService::Availability::available) return;
  serviceRunning_ = true;
  auto main = main_;
  auto alive = alive_;
  service_->start(LocationService::Handlers{[this, main, alive](const LocationFix& fix) {
                                              main->post([this, alive, fix] {
                                                if (*alive) handleFix(fix);
                                              });
                                            },
                                            [this, main, alive](const Error& error) {
                                              main->post([this, alive, error] {
                                                if (*alive) handleError(error);
                                              });
                                            }});
}

void SystemLocationProvider::handleFix(const LocationFix& fix) {
  last_ = Location{fix.coordinate, fix.timestamp, fix.accuracyMetres};
  if (!continuous_) stopUpdatingLocation();
  if (delegate_.didUpdateLocations) delegate_.didUpdateLocations({*last_});
}

void SystemLocationProvider::handleError(const Error& error) {
  serviceRunning_ = false;
  if (delegate_.didFail) delegate_.didFail(error);
}

}  // namespace pallix
