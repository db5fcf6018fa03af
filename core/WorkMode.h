// WorkMode: how hard background work may run, derived by the panel lifecycle
// coordinator and handed to every service through setWorkMode(mode).
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "core/UUID.h"

namespace pallix {

enum class WorkMode { active, idle, deepIdle };

// The case name, used in telemetry and logs: "active", "idle", "deepIdle".
constexpr const char* workModeName(WorkMode mode) {
  switch (mode) {
    case WorkMode::active:
      return "active";
    case WorkMode::idle:
      return "idle";
    case WorkMode::deepIdle:
      return "deepIdle";
  }
  return "idle";
}

inline std::optional<WorkMode> workModeFromName(std::string_view name) {
  if (name == "active") return WorkMode::active;
  if (name == "idle") return WorkMode::idle;
  if (name == "deepIdle") return WorkMode::deepIdle;
  return std::nullopt;
}

// Where a service registers for work-mode changes (the panel lifecycle
// coordinator), so that services need not depend on the application shell.
// Main runner only; handlers run there, only on a change of mode.
class WorkModeRegistry {
 public:
  virtual ~WorkModeRegistry() = default;
  virtual UUID registerWorkModeHandler(std::function<void(WorkMode)> onChange) = 0;
  // Removes a registration; an unknown id is no error.
  virtual void unregister(const UUID& id) = 0;
  virtual WorkMode workMode() const = 0;
};

}  // namespace pallix
