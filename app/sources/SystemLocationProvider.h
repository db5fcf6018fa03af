// SystemLocationProvider: the coordinator's LocationProvider on Linux. A
// fixed place the user set ("pallix location set PLACE", stored under
// "SystemLocationProvider.fixedPlace") wins: access is granted and every
// request answers that place. Otherwise the platform location service
// (GeoClue2) decides: available means access granted and fixes stream from
// it; refused means access denied; no service means location services are
// off, so weather for the current location reports
// `locationServicesDisabled` and nothing asks the user.
//
// Threading: constructed and called on the main runner; the service's fixes
// and errors hop to it before the delegate hears of them. The service's
// availability is read once, at construction (a bounded D-Bus round trip).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/intelligence/LocationProvider.h"
#include "app/platform/LocationService.h"
#include "core/TaskRunner.h"
#include "core/UserDefaults.h"

namespace pallix {

class SystemLocationProvider final : public LocationProvider {
 public:
  static constexpr const char* kFixedPlaceKey = "SystemLocationProvider.fixedPlace";

  struct FixedPlace {
    std::string name;
    LocationCoordinate coordinate;
    std::optional<std::string> timeZone;
    friend bool operator==(const FixedPlace&, const FixedPlace&) = default;
  };
  static std::optional<FixedPlace> fixedPlace(const UserDefaults& defaults);
  static Status setFixedPlace(UserDefaults& defaults, const FixedPlace& place);
  static Status clearFixedPlace(UserDefaults& defaults);

  // `service` may be null (no location service).
  SystemLocationProvider(std::shared_ptr<LocationService> service, std::optional<FixedPlace> fixed,
                         TaskRunnerPtr mainRunner);
  ~SystemLocationProvider() override;

  void setDelegate(Delegate delegate) override { delegate_ = std::move(delegate); }
  LocationAuthorizationStatus authorizationStatus() const override;
  bool locationServicesEnabled() const override;
  void requestWhenInUseAuthorization() override {}
  void requestLocation() override;
  void startUpdatingLocation() override;
  void stopUpdatingLocation() override;
  std::optional<Location> lastLocation() const override;

  const std::optional<FixedPlace>& fixed() const { return fixed_; }
  LocationService::Availability availability() const { return availability_; }

 private:
  void startService();
  Location fixedLocation() const;
  void handleFix(const LocationFix& fix);
  void handleError(const Error& error);

  std::shared_ptr<LocationService> service_;
  std::optional<FixedPlace> fixed_;
  TaskRunnerPtr main_;
  LocationService::Availability availability_ = LocationService::Availability::unavailable;
  Delegate delegate_;
  std::optional<Location> last_;
  bool serviceRunning_ = false;
  bool continuous_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pallix
