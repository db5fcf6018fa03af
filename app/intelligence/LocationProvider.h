// LocationProvider: the seam to the platform's location service (authorization,
// single and continuous location requests). The intelligence coordinator owns
// one and is its only delegate.
//
// DeniedLocationProvider is the Linux default: location services are off and
// access is denied, so weather queries for the current location report
// `locationServicesDisabled` and nothing asks the user for permission.
// FakeLocationProvider lets tests and the command line play the platform.
//
// Threading: methods are called on the main runner, and the delegate is
// called on the main runner.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/intelligence/IntelligenceTypes.h"
#include "core/Error.h"

namespace pallix {

struct Location {
  LocationCoordinate coordinate;
  Date timestamp;
  double horizontalAccuracy = 0;  // metres
  // The name the user gave a place they set as their location; such a place
  // is called by it rather than by whatever reverse geocoding finds there.
  std::optional<std::string> placeName;
  friend bool operator==(const Location&, const Location&) = default;
};

class LocationProvider {
 public:
  struct Delegate {
    std::function<void(const std::vector<Location>&)> didUpdateLocations;
    std::function<void(const Error&)> didFail;
    std::function<void(LocationAuthorizationStatus)> didChangeAuthorization;
  };
  // The coordinator's configuration of the platform manager.
  struct Configuration {
    double desiredAccuracyMetres = 100;
    double distanceFilterMetres = 500;
    bool pausesLocationUpdatesAutomatically = true;
  };

  virtual ~LocationProvider() = default;
  virtual void setDelegate(Delegate delegate) = 0;
  virtual void configure(const Configuration&) {}
  virtual LocationAuthorizationStatus authorizationStatus() const = 0;
  virtual bool locationServicesEnabled() const = 0;
  virtual void requestWhenInUseAuthorization() = 0;
  // One location; the answer arrives through the delegate.
  virtual void requestLocation() = 0;
  virtual void startUpdatingLocation() = 0;
  virtual void stopUpdatingLocation() = 0;
  virtual std::optional<Location> lastLocation() const = 0;
};

class DeniedLocationProvider final : public LocationProvider {
 public:
  void setDelegate(Delegate) override {}
  LocationAuthorizationStatus authorizationStatus() const override { return LocationAuthorizationStatus::denied; }
  bool locationServicesEnabled() const override { return false; }
  void requestWhenInUseAuthorization() override {}
  void requestLocation() override {}
  void startUpdatingLocation() override {}
  void stopUpdatingLocation() override {}
  std::optional<Location> lastLocation() const override { return std::nullopt; }
};

}  // namespace pallix
