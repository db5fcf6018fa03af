#pragma once

#include <functional>
#include <optional>

#include "app/platform/LocationService.h"

namespace pallix {

// The test plays the service.
class FakeLocationService final : public LocationService {
 public:
  Availability availability() override { return availability_; }
  void start(Handlers handlers) override {
    handlers_ = std::move(handlers);
    started = true;
  }
  void stop() override { started = false; }

  void setAvailability(Availability a) { availability_ = a; }
  void deliver(const LocationFix& fix) {
    if (handlers_.onFix) handlers_.onFix(fix);
  }
  void fail(const Error& error) {
    if (handlers_.onError) handlers_.onError(error);
  }
  bool started = false;

 private:
  Availability availability_ = Availability::available;
  Handlers handlers_;
};

}  // namespace pallix
