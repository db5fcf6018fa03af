#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "app/intelligence/LocationProvider.h"

namespace pallix {

// Records requests; the test decides when the "platform" answers.
class FakeLocationProvider final : public LocationProvider {
 public:
  void setDelegate(Delegate delegate) override { delegate_ = std::move(delegate); }
  void configure(const Configuration& configuration) override { configuration_ = configuration; }
  LocationAuthorizationStatus authorizationStatus() const override { return status_; }
  bool locationServicesEnabled() const override { return servicesEnabled_; }
  void requestWhenInUseAuthorization() override { ++authorizationRequests; }
  void requestLocation() override { ++locationRequests; }
  void startUpdatingLocation() override { updating = true; }
  void stopUpdatingLocation() override { updating = false; }
  std::optional<Location> lastLocation() const override { return last_; }

  // Test controls.
  void setStatusSilently(LocationAuthorizationStatus status) { status_ = status; }
  void changeAuthorization(LocationAuthorizationStatus status) {
    status_ = status;
    if (delegate_.didChangeAuthorization) delegate_.didChangeAuthorization(status);
  }
  void setServicesEnabled(bool enabled) { servicesEnabled_ = enabled; }
  void setLastLocation(std::optional<Location> location) { last_ = std::move(location); }
  void deliver(const std::vector<Location>& locations) {
    if (!locations.empty()) last_ = locations.back();
    if (delegate_.didUpdateLocations) delegate_.didUpdateLocations(locations);
  }
  void fail(const Error& error) {
    if (delegate_.didFail) delegate_.didFail(error);
  }
  const Configuration& configuration() const { return configuration_; }

  int authorizationRequests = 0;
  int locationRequests = 0;
  bool updating = false;

 private:
  Delegate delegate_;
  Configuration configuration_;
  LocationAuthorizationStatus status_ = LocationAuthorizationStatus::notDetermined;
  bool servicesEnabled_ = true;
  std::optional<Location> last_;
};

}  // namespace pallix
