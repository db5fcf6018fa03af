// PanelPlacement: where the panel goes for a PanelPosition, which screen it
// goes on, and which position a dragged panel snaps to. Pure functions over
// desktop coordinates (y grows downward). The panel keeps kPanelScreenMargin
// from every edge of the screen's available area (the work area, without the
// desktop's panels and docks).
#pragma once

#include <optional>
#include <vector>

#include "app/platform/PanelSurface.h"
#include "app/preferences/PanelPosition.h"

namespace pallix {

inline constexpr std::array<PanelPosition, 6> kAllPanelPositions = {
    PanelPosition::bottomTrailing, PanelPosition::bottomCenter, PanelPosition::bottomLeading,
    PanelPosition::topCenter,      PanelPosition::topTrailing,  PanelPosition::topLeading};

// In the desktop's logical pixels (16 device pixels at a scale of 1).
inline constexpr double kPanelScreenMargin = 16;

// The panel's top-left corner for `position` on `screen`.
Point panelOrigin(PanelPosition position, Size panel, const ScreenGeometry& screen);

// The screen holding `pointer`; else the one closest to `panelFrame`; else
// the first. Nullopt only when there are no screens.
std::optional<ScreenGeometry> preferredScreen(const std::vector<ScreenGeometry>& screens, std::optional<Point> pointer,
                                              const Rect& panelFrame);

// The position whose origin lies nearest to `frame`'s origin.
PanelPosition nearestPanelPosition(const Rect& frame, const ScreenGeometry& screen);

}  // namespace pallix
