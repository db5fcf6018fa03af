#pragma once

#include <cstdint>
#include <functional>

#include "app/platform/SystemConditions.h"

namespace pallix {

class FakeSystemConditions final : public SystemConditions {
 public:
  bool isLowPowerModeEnabled() const override { return lowPower_; }
  ThermalState thermalState() const override { return thermal_; }
  void startObserving(Observers observers) override { observers_ = std::move(observers); }
  void stopObserving() override { observers_ = {}; }

  void setLowPowerMode(bool on) {
    lowPower_ = on;
    if (observers_.powerStateChanged) observers_.powerStateChanged();
  }
  void setThermalState(ThermalState state) {
    thermal_ = state;
    if (observers_.thermalStateChanged) observers_.thermalStateChanged();
  }
  void signalMemoryPressure(uint32_t event) {
    if (observers_.memoryPressure) observers_.memoryPressure(event);
  }

 private:
  bool lowPower_ = false;
  ThermalState thermal_ = ThermalState::nominal;
  Observers observers_;
};

}  // namespace pallix
