// LinuxSystemConditions over a fake /sys and /proc tree, driven by pollOnce().
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "app/platform/linux/LinuxSystemConditions.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "core/FileUtil.h"
#include "core/Telemetry.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

class LinuxSystemConditionsTest : public ::testing::Test {
 protected:
  void write(const std::string& relative, const std::string& text) {
    fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    ASSERT_TRUE(writeFileAtomically(p.string(), text).ok());
  }
  // A zone with trip points given as (type, millidegrees).
  void zone(int n, long temp, const std::vector<std::pair<std::string, long>>& trips) {
    std::string dir = "sys/class/thermal/thermal_zone" + std::to_string(n);
    write(dir + "/temp", std::to_string(temp) + "\n");
    for (size_t i = 0; i < trips.size(); ++i) {
      write(dir + "/trip_point_" + std::to_string(i) + "_type", trips[i].first + "\n");
      write(dir + "/trip_point_" + std::to_string(i) + "_temp", std::to_string(trips[i].second) + "\n");
    }
  }
  void psi(double some10, double full10) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "some avg10=%.2f avg60=0.00 avg300=0.00 total=100\nfull avg10=%.2f avg60=0.00 avg300=0.00 total=50\n",
                  some10, full10);
    write("proc/pressure/memory", text);
  }
  LinuxSystemConditions::Options options() const {
    LinuxSystemConditions::Options o;
    o.root = root_.string();
    o.usePowerProfilesCtl = false;
    o.usePsiTriggers = false;
    o.pollingThread = false;
    return o;
  }
  // Starts observing and records every call on the main runner.
  void observe(LinuxSystemConditions& c) {
    SystemConditions::Observers o;
    o.powerStateChanged = [this, &c] { calls_.push_back(c.isLowPowerModeEnabled() ? "power:on" : "power:off"); };
    o.thermalStateChanged = [this, &c] {
      calls_.push_back("thermal:" + std::to_string(static_cast<int>(c.thermalState())));
    };
    o.memoryPressure = [this](uint32_t e) { calls_.push_back("memory:" + std::to_string(e)); };
    c.startObserving(std::move(o));
  }

  // One polling round with its deliveries on the main runner.
  void poll(LinuxSystemConditions& c) {
    c.pollOnce();
    env_.runUntilIdle();
  }

  testing::TempDir tmp_;
  fs::path root_{tmp_.path()};
  VirtualTimeEnvironment env_;
  std::vector<std::string> calls_;
};

TEST_F(LinuxSystemConditionsTest, MissingInputsStayAtTheirInitialValuesAndUnreadableZoneFilesAreSkipped) {
  LinuxSystemConditions c(env_.mainRunner(), options());
  observe(c);
  poll(c);
  EXPECT_FALSE(c.isLowPowerModeEnabled());
  EXPECT_EQ(c.thermalState(), ThermalState::nominal);
  EXPECT_FALSE(c.readLowPowerMode().has_value());
  EXPECT_FALSE(c.readThermalState().has_value());
  EXPECT_FALSE(c.readMemoryPressureLevel().has_value());
  EXPECT_TRUE(calls_.empty());
  write("sys/class/thermal/thermal_zone0/temp", "not a number");
  write("sys/class/thermal/cooling_device0/temp", "99999999");
  zone(1, 50000, {{"passive", 40000}});
  write("sys/class/thermal/thermal_zone1/trip_point_1_type", "hot");
  write("sys/class/thermal/thermal_zone1/trip_point_1_temp", "garbage");
  EXPECT_EQ(c.readThermalState(), ThermalState::fair);
}

TEST_F(LinuxSystemConditionsTest,
       LowPowerComesFromTheOverrideFileElseThePlatformProfileAndChangesAreObservedUntilStopped) {
  write("sys/firmware/acpi/platform_profile", "low-power\n");
  LinuxSystemConditions c(env_.mainRunner(), options());
  EXPECT_TRUE(c.isLowPowerModeEnabled());
  observe(c);
  poll(c);
  EXPECT_TRUE(calls_.empty()) << "no change, no call";
  write("sys/firmware/acpi/platform_profile", "balanced\n");
  c.pollOnce();
  EXPECT_TRUE(calls_.empty()) << "observers run on the main runner";
  env_.runUntilIdle();
  EXPECT_EQ(calls_, std::vector<std::string>{"power:off"});
  write("sys/firmware/acpi/platform_profile", "performance");
  poll(c);
  EXPECT_EQ(calls_.size(), 1u);
  // A change posted before stopObserving is not delivered.
  write("sys/firmware/acpi/platform_profile", "low-power");
  c.pollOnce();
  c.stopObserving();
  env_.runUntilIdle();
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(c.isLowPowerModeEnabled());

  // An override file takes precedence over the platform profile.
  auto o = options();
  o.lowPowerOverrideFile = (root_ / "override").string();
  write("override", "0");
  LinuxSystemConditions overridden(env_.mainRunner(), o);
  EXPECT_FALSE(overridden.isLowPowerModeEnabled());
  for (const char* on : {"1", "on", "true", "power-saver", "LOW-POWER\n"}) {
    write("override", on);
    EXPECT_EQ(overridden.readLowPowerMode(), true) << on;
  }
  fs::remove(root_ / "override");
  EXPECT_EQ(overridden.readLowPowerMode(), true) << "falls back to the platform profile";
}

TEST_F(LinuxSystemConditionsTest, ThermalStateFollowsTheHighestTripReachedOverAllZones) {
  std::vector<std::pair<std::string, long>> trips = {
      {"active", 50000}, {"passive", 80000}, {"hot", 95000}, {"critical", 105000}};
  zone(0, 40000, trips);
  zone(1, 30000, {{"critical", 0}});  // an unset trip must not count as reached
  LinuxSystemConditions c(env_.mainRunner(), options());
  observe(c);
  struct Step {
    long temp;
    ThermalState expected;
  };
  for (Step s :
       {Step{60000, ThermalState::nominal}, Step{80000, ThermalState::fair}, Step{94999, ThermalState::fair},
        Step{95000, ThermalState::serious}, Step{110000, ThermalState::critical}, Step{20000, ThermalState::nominal}}) {
    zone(0, s.temp, trips);
    EXPECT_EQ(c.readThermalState(), s.expected) << s.temp;
  }
  zone(0, 85000, trips);
  poll(c);
  zone(2, 99000, {{"hot", 90000}});  // a second, hotter zone wins
  c.pollOnce();
  poll(c);
  EXPECT_EQ(calls_, (std::vector<std::string>{"thermal:1", "thermal:2"}));
}

TEST_F(LinuxSystemConditionsTest, MemoryPressureLevelsFromPsiAveragesAndEventsWhenTheLevelRises) {
  LinuxSystemConditions c(env_.mainRunner(), options());
  struct Case {
    double some, full;
    uint32_t level;
  };
  for (Case k :
       {Case{0, 0, kMemoryPressureNone}, Case{14.99, 9.99, kMemoryPressureNone}, Case{15, 0, kMemoryPressureWarning},
        Case{15, 10, kMemoryPressureCritical}, Case{0, 12, kMemoryPressureCritical}}) {
    psi(k.some, k.full);
    EXPECT_EQ(c.readMemoryPressureLevel(), k.level) << k.some << " " << k.full;
  }
  write("proc/pressure/memory", "garbage\n");
  EXPECT_FALSE(c.readMemoryPressureLevel().has_value());
  // Events are sent when the level rises.
  observe(c);
  for (auto [some, full] :
       std::vector<std::pair<double, double>>{{20, 0}, {25, 0}, {30, 11}, {30, 12}, {20, 0}, {0, 0}, {0, 0}, {50, 0}}) {
    psi(some, full);
    c.pollOnce();
  }
  env_.runUntilIdle();
  EXPECT_EQ(calls_, (std::vector<std::string>{"memory:1", "memory:2", "memory:1", "memory:1"}));
}

TEST_F(LinuxSystemConditionsTest, ThisMachineCanBeObservedAndReleased) {
  // Whatever this machine offers (PSI triggers, thermal zones, a power
  // profile), starting, stopping and restarting the real observer and its
  // polling thread must be clean.
  LinuxSystemConditions::Options o;
  o.usePowerProfilesCtl = false;
  LinuxSystemConditions c(env_.mainRunner(), o);
  observe(c);
  c.stopObserving();
  observe(c);  // can start again
  c.stopObserving();
  env_.runUntilIdle();
}

TEST_F(LinuxSystemConditionsTest, CoordinatorFollowsThePowerProfileAndHeatOfTheFakeMachine) {
  ScopedTelemetryRecorder telemetry;
  write("sys/firmware/acpi/platform_profile", "balanced");
  zone(0, 40000, {{"hot", 90000}});
  LinuxSystemConditions conditions(env_.mainRunner(), options());
  PanelLifecycleCoordinator coordinator(env_.mainRunner(), conditions);
  EXPECT_EQ(coordinator.workMode(), WorkMode::idle);

  write("sys/firmware/acpi/platform_profile", "low-power");
  poll(conditions);
  EXPECT_EQ(coordinator.workMode(), WorkMode::deepIdle);
  write("sys/firmware/acpi/platform_profile", "balanced");
  zone(0, 91000, {{"hot", 90000}});
  poll(conditions);
  EXPECT_EQ(coordinator.workMode(), WorkMode::deepIdle) << "heat keeps it deep idle";
  EXPECT_EQ(coordinator.thermalState(), ThermalState::serious);
  zone(0, 50000, {{"hot", 90000}});
  poll(conditions);
  EXPECT_EQ(coordinator.workMode(), WorkMode::idle);
  std::vector<std::string> reasons;
  for (const auto& e : telemetry.sink().named("PanelLifecycle.workModeChanged")) {
    reasons.push_back(e.parameters.at("reason"));
  }
  // Each notification is handled on its own: leaving low power while the heat
  // arrives in the same round passes through idle for one evaluation.
  EXPECT_EQ(reasons, (std::vector<std::string>{"lowPowerMode", "lowPowerMode", "thermalState", "thermalState"}));
}

}  // namespace
}  // namespace pallix
