#pragma once

#include <atomic>
#include <cstdint>

#include "app/semantic/IndexingConditions.h"

namespace pallix {

class FakeIndexingConditions final : public IndexingConditions {
 public:
  ThermalState thermalState() const override { return ThermalState(thermal_.load()); }
  uint64_t residentMemoryBytes() const override { return resident_.load(); }
  bool isSystemReady() const override { return ready_.load(); }
  // Any int, so tests can pass a state the platform does not name.
  void setThermalState(int state) { thermal_ = state; }
  void setThermalState(ThermalState state) { thermal_ = int(state); }
  void setResidentMemoryBytes(uint64_t bytes) { resident_ = bytes; }
  void setSystemReady(bool ready) { ready_ = ready; }

 private:
  std::atomic<int> thermal_{0};
  std::atomic<uint64_t> resident_{100ull << 20};
  std::atomic<bool> ready_{true};
};

}  // namespace pallix
