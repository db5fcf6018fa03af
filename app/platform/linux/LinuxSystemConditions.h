// LinuxSystemConditions: Low Power Mode, thermal state and memory pressure on
// Linux.
//
// Low Power Mode: on when the test override file (Options) says so, else when
// /sys/firmware/acpi/platform_profile reads "low-power", else when
// power-profiles-daemon's active profile (`powerprofilesctl get`, only if the
// tool is installed) is "power-saver".
//
// Thermal state: each /sys/class/thermal/thermal_zone*/temp is compared with
// that zone's trip points: at or above a "critical" trip → critical, a "hot"
// trip → serious, a "passive" trip → fair, else nominal. The machine's state
// is the highest over its zones. Trip temperatures of 0 or below are ignored
// (firmware uses them for "unset").
//
// Memory pressure: PSI triggers on /proc/pressure/memory ("some 150000
// 1000000" → warning, "full 100000 1000000" → critical) waited for with
// poll()/POLLPRI, at most one event of each kind per poll interval. Where
// triggers cannot be created (old kernels, unprivileged limits) the file is
// read periodically instead: full avg10 ≥ 10 % → critical, some avg10 ≥ 15 %
// → warning (the same share of a one-second window), and an event is
// delivered each time the level rises or changes between warning and critical.
//
// An input the machine lacks stays at its initial value (off, nominal, none).
// Threads: polling runs on the object's own thread, started by
// startObserving() and stopped by stopObserving() or destruction; observer
// calls are posted to the main runner. Getters are thread-safe. pollOnce()
// lets tests drive one polling round synchronously on a fake root.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/platform/SystemConditions.h"
#include "core/TaskRunner.h"

namespace pallix {

class LinuxSystemConditions final : public SystemConditions {
 public:
  struct Options {
    // Prefix of /sys and /proc; tests point it at a fake tree.
    std::string root = "/";
    // When set and the file exists, its content decides Low Power Mode:
    // "1", "on", "true", "low-power" or "power-saver" mean on; anything else off.
    std::string lowPowerOverrideFile;
    bool usePowerProfilesCtl = true;
    bool usePsiTriggers = true;
    Duration pollInterval = std::chrono::seconds(10);
    // Off in tests, which call pollOnce() instead.
    bool pollingThread = true;
  };

  explicit LinuxSystemConditions(TaskRunnerPtr mainRunner);
  LinuxSystemConditions(TaskRunnerPtr mainRunner, Options options);
  ~LinuxSystemConditions() override;

  bool isLowPowerModeEnabled() const override { return lowPower_.load(); }
  ThermalState thermalState() const override { return static_cast<ThermalState>(thermal_.load()); }
  void startObserving(Observers observers) override;
  void stopObserving() override;

  // Reads every input once and posts observer calls for what changed. PSI is
  // read here only when triggers are not in use.
  void pollOnce();
  bool usingPsiTriggers() const { return triggersActive_.load(); }

  // The readers behind pollOnce(); nullopt where the machine lacks the input.
  std::optional<bool> readLowPowerMode() const;
  std::optional<ThermalState> readThermalState() const;
  // The level (kMemoryPressureNone/Warning/Critical) from PSI averages.
  std::optional<uint32_t> readMemoryPressureLevel() const;

 private:
  struct Shared;
  void post(int which, uint32_t event);
  void openPsiTriggers();
  void closePsiTriggers();
  void pollingLoop();
  void startPollingThread();
  std::string path(const std::string& relative) const;

  TaskRunnerPtr main_;
  Options options_;
  std::shared_ptr<Shared> shared_;
  std::atomic<bool> lowPower_{false};
  std::atomic<int> thermal_{0};
  uint32_t lastPressureLevel_ = kMemoryPressureNone;
  int triggerFds_[2] = {-1, -1};  // polling thread only (opened before it starts)
  std::atomic<bool> triggersActive_{false};
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex pollMutex_;  // one polling round at a time
};

}  // namespace pallix
