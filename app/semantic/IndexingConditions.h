// IndexingConditions: what the file chunk indexer reads about the machine
// before and while it works: the thermal state, the process's resident
// memory and whether the system is ready for background work.
//
// SystemIndexingConditions reads the thermal state from the platform's
// SystemConditions (LinuxSystemConditions in the executables) and resident
// memory from /proc/self/statm. FakeIndexingConditions lets tests set each
// input. Getters may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/platform/SystemConditions.h"

namespace pallix {

class IndexingConditions {
 public:
  virtual ~IndexingConditions() = default;
  virtual ThermalState thermalState() const = 0;
  virtual uint64_t residentMemoryBytes() const = 0;
  virtual bool isSystemReady() const = 0;
};

// The resident set size of this process (0 where /proc is missing).
uint64_t processResidentMemoryBytes();

class SystemIndexingConditions final : public IndexingConditions {
 public:
  // `thermal` may be null (the state then stays nominal); it must outlive this object.
  explicit SystemIndexingConditions(const SystemConditions* thermal = nullptr) : thermal_(thermal) {}
  ThermalState thermalState() const override { return thermal_ ? thermal_->thermalState() : ThermalState::nominal; }
  uint64_t residentMemoryBytes() const override { return processResidentMemoryBytes(); }
  bool isSystemReady() const override { return true; }

 private:
  const SystemConditions* thermal_;
};

}  // namespace pallix
