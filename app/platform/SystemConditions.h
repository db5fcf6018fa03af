// SystemConditions: Low Power Mode, thermal state and memory pressure.
//
// The Linux implementation reads the power-saver profile, the thermal zones
// and PSI (/proc/pressure/memory); each input stays at its initial value on a
// machine that lacks it. Observers are called on the main runner given at
// construction. FakeSystemConditions lets tests change the inputs.
#pragma once

#include <cstdint>
#include <functional>

namespace pallix {

// Matches the platform's thermal states: nominal 0, fair 1, serious 2, critical 3.
enum class ThermalState : int { nominal = 0, fair = 1, serious = 2, critical = 3 };

enum MemoryPressureEvent : uint32_t {
  kMemoryPressureNone = 0,
  kMemoryPressureWarning = 1u << 0,
  kMemoryPressureCritical = 1u << 1,
};

class SystemConditions {
 public:
  struct Observers {
    std::function<void()> powerStateChanged;
    std::function<void()> thermalStateChanged;
    std::function<void(uint32_t /*MemoryPressureEvent bits*/)> memoryPressure;
  };
  virtual ~SystemConditions() = default;
  virtual bool isLowPowerModeEnabled() const = 0;
  virtual ThermalState thermalState() const = 0;
  // Starts delivering changes to `observers` (replacing earlier ones).
  virtual void startObserving(Observers observers) = 0;
  virtual void stopObserving() = 0;
};

}  // namespace pallix
