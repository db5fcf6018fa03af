#include "app/shell/PanelPlacement.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pallix {
namespace {

bool isTop(PanelPosition p) {
  return p == PanelPosition::topCenter || p == PanelPosition::topTrailing || p == PanelPosition::topLeading;
}

// Squared distance from `p` to the nearest point of `r` (0 inside).
double distanceSquared(const Rect& r, Point p) {
  double dx = std::max({r.minX() - p.x, 0.0, p.x - r.maxX()});
  double dy = std::max({r.minY() - p.y, 0.0, p.y - r.maxY()});
  return dx * dx + dy * dy;
}

double overlap(const Rect& a, const Rect& b) {
  double w = std::min(a.maxX(), b.maxX()) - std::max(a.minX(), b.minX());
  double h = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
  return (w > 0 && h > 0) ? w * h : 0;
}

}  // namespace

Point panelOrigin(PanelPosition position, Size panel, const ScreenGeometry& screen) {
  const Rect& v = screen.available;
  const double minX = v.minX() + kPanelScreenMargin, maxX = v.maxX() - kPanelScreenMargin;
  const double minY = v.minY() + kPanelScreenMargin, maxY = v.maxY() - kPanelScreenMargin;
  double x = 0;
  switch (position) {
    case PanelPosition::bottomLeading:
    case PanelPosition::topLeading:
      x = minX;
      break;
    case PanelPosition::bottomCenter:
    case PanelPosition::topCenter:
      x = v.center().x - panel.width / 2;
      break;
    case PanelPosition::bottomTrailing:
    case PanelPosition::topTrailing:
      x = maxX - panel.width;
      break;
  }
  // std::clamp needs lo <= hi; a panel too big for the area keeps its left and top edges.
  x = std::max(minX, std::min(x, maxX - panel.width));
  double y = isTop(position) ? minY : maxY - panel.height;
  y = std::max(minY, std::min(y, maxY - panel.height));
  return {x, y};
}

std::optional<ScreenGeometry> preferredScreen(const std::vector<ScreenGeometry>& screens, std::optional<Point> pointer,
                                              const Rect& panelFrame) {
  if (screens.empty()) return std::nullopt;
  if (pointer) {
    for (const auto& s : screens) {
      if (s.frame.contains(*pointer)) return s;
    }
  }
  // The screen sharing most of the panel's frame, else the one nearest its centre.
  const ScreenGeometry* best = &screens.front();
  double bestOverlap = 0;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (const auto& s : screens) {
    double o = overlap(s.frame, panelFrame);
    double d = distanceSquared(s.frame, panelFrame.center());
    if (o > bestOverlap || (bestOverlap == 0 && o == 0 && d < bestDistance)) {
      best = &s;
      bestOverlap = o;
      bestDistance = d;
    }
  }
  return *best;
}

PanelPosition nearestPanelPosition(const Rect& frame, const ScreenGeometry& screen) {
  Size size{frame.width, frame.height};
  PanelPosition best = PanelPosition::bottomTrailing;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (PanelPosition p : kAllPanelPositions) {
    Point o = panelOrigin(p, size, screen);
    double d = std::hypot(o.x - frame.x, o.y - frame.y);
    if (d < bestDistance) {
      best = p;
      bestDistance = d;
    }
  }
  return best;
}

}  // namespace pallix
