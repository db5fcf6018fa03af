// WorkMode: how hard background work may run, derived by the panel lifecycle
// coordinator and handed to every service through setWorkMode(mode).
#pragma once

#include <optional>
#include <string_view>

namespace pallix {

enum class WorkMode { active, idle, deepIdle };

// The case name, used in telemetry and logs: "active", "idle", "deepIdle".
constexpr const char* workModeName(WorkMode mode) {
  switch (mode) {
    case WorkMode::active: return "active";
    case WorkMode::idle: return "idle";
    case WorkMode::deepIdle: return "deepIdle";
  }
  return "idle";
}

inline std::optional<WorkMode> workModeFromName(std::string_view name) {
  if (name == "active") return WorkMode::active;
  if (name == "idle") return WorkMode::idle;
  if (name == "deepIdle") return WorkMode::deepIdle;
  return std::nullopt;
}

}  // namespace pallix
