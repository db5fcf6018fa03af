// PanelPosition: the screen corner or edge where the panel appears.
// Persisted as its raw string.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace pallix {

enum class PanelPosition { bottomTrailing, bottomCenter, bottomLeading, topCenter, topTrailing, topLeading };

inline constexpr std::array<std::string_view, 6> kPanelPositionRawValues = {
    "bottomTrailing", "bottomCenter", "bottomLeading", "topCenter", "topTrailing", "topLeading"};

constexpr std::string_view rawValue(PanelPosition v) {
  return kPanelPositionRawValues[static_cast<size_t>(v)];
}

// What the settings show for each position.
inline constexpr std::array<std::string_view, 6> kPanelPositionDisplayNames = {
    "Bottom right", "Bottom center", "Bottom left", "Top center", "Top right", "Top left"};

constexpr std::string_view displayName(PanelPosition v) {
  return kPanelPositionDisplayNames[static_cast<size_t>(v)];
}

inline std::optional<PanelPosition> panelPositionFromRaw(std::string_view raw) {
  for (size_t i = 0; i < kPanelPositionRawValues.size(); ++i) {
    if (kPanelPositionRawValues[i] == raw) return static_cast<PanelPosition>(i);
  }
  return std::nullopt;
}

}  // namespace pallix
