// GeoClueLocationService: the device position from GeoClue2 over the system
// D-Bus (GIO). availability() asks the GeoClue manager for a client: no
// system bus or no GeoClue service means `unavailable`, a refusal by GeoClue
// (its agent or configuration) means `denied`. start() sets the client's
// desktop id, accuracy and distance threshold, subscribes to its
// LocationUpdated signal and starts it; each update is read and handed to
// onFix.
//
// Threading: D-Bus calls are synchronous with a 2 s time-out. Signals are
// received on the service's own thread (a GLib main loop, started with the
// first start()), where the handlers run. Destruction stops the client and
// joins that thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/platform/LocationService.h"

namespace pallix {

class GeoClueLocationService final : public LocationService {
 public:
  static constexpr int kCallTimeoutMilliseconds = 2000;
  static constexpr unsigned kDistanceThresholdMetres = 500;
  static constexpr unsigned kAccuracyLevelStreet = 6;

  explicit GeoClueLocationService(std::string desktopId = "pallix");
  ~GeoClueLocationService() override;
  GeoClueLocationService(const GeoClueLocationService&) = delete;
  GeoClueLocationService& operator=(const GeoClueLocationService&) = delete;

  Availability availability() override;
  void start(Handlers handlers) override;
  void stop() override;

  struct State;

 private:
  std::string desktopId_;
  std::unique_ptr<State> state_;
};

}  // namespace pallix
