// LocationService: the platform's source of the device position (GeoClue2 on
// Linux). It reports whether a location can be had at all and streams fixes
// while started. The intelligence sources wrap it into the coordinator's
// LocationProvider (SystemLocationProvider), which adds a fixed place the
// user may set instead.
//
// Threading: availability() may block for a D-Bus round trip (bounded); call
// it off the main thread or once at start-up. start/stop may be called from
// any thread; handlers run on the service's own thread.
#pragma once

#include <functional>
#include <optional>

#include "app/platform/GeoTypes.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

struct LocationFix {
  LocationCoordinate coordinate;
  double accuracyMetres = 0;
  Date timestamp;
  friend bool operator==(const LocationFix&, const LocationFix&) = default;
};

class LocationService {
 public:
  // available: fixes can be asked for; denied: the service refused this
  // program; unavailable: there is no location service.
  enum class Availability { available, denied, unavailable };
  struct Handlers {
    std::function<void(const LocationFix&)> onFix;
    std::function<void(const Error&)> onError;
  };

  virtual ~LocationService() = default;
  virtual Availability availability() = 0;
  virtual void start(Handlers handlers) = 0;
  virtual void stop() = 0;
};

// No location service at all.
class UnavailableLocationService final : public LocationService {
 public:
  Availability availability() override { return Availability::unavailable; }
  void start(Handlers) override {}
  void stop() override {}
};

}  // namespace pallix
