// Panel placement against a simple model of the origin rule, on several
// screen layouts, plus screen choice and snapping after a drag.
#include <gtest/gtest.h>

#include "app/shell/PanelPlacement.h"

namespace pallix {
namespace {

struct Layout {
  const char* name;
  std::vector<ScreenGeometry> screens;
};

// A top bar of 32 px and a dock of 48 px at the bottom of each screen.
ScreenGeometry screenAt(double x, double y, double w, double h, double top = 32, double bottom = 48) {
  return {{x, y, w, h}, {x, y + top, w, h - top - bottom}};
}

std::vector<Layout> layouts() {
  return {
      {"single laptop", {screenAt(0, 0, 1440, 900)}},
      {"side by side", {screenAt(0, 0, 1920, 1080), screenAt(1920, 0, 2560, 1440)}},
      {"stacked, second above", {screenAt(0, 1080, 1920, 1080), screenAt(0, 0, 1920, 1080, 0, 0)}},
      {"left of the primary", {screenAt(-1280, 200, 1280, 1024), screenAt(0, 0, 1920, 1080)}},
      {"tiny screen", {screenAt(0, 0, 600, 400, 10, 10)}},
  };
}

// The rule written for y growing upward from the bottom, evaluated there and
// turned into y-down coordinates.
Point modelOrigin(PanelPosition p, Size s, const ScreenGeometry& g) {
  const Rect& V = g.available;
  const Rect& F = g.frame;
  auto up = [&](const Rect& r) { return Rect{r.x, F.maxY() - r.maxY() + F.y, r.width, r.height}; };
  Rect v = up(V), f = up(F);
  std::string raw(rawValue(p));
  double x = raw.find("Leading") != std::string::npos  ? v.minX()
             : raw.find("Center") != std::string::npos ? v.center().x - s.width / 2
                                                       : v.maxX() - s.width;
  x = std::max(v.minX(), std::min(x, v.maxX() - s.width));
  double yUp = raw.rfind("top", 0) == 0 ? std::max(f.minY(), std::min(v.maxY() - s.height, f.maxY() - s.height))
                                        : std::min(f.minY(), f.maxY() - s.height);
  yUp = std::max(yUp, f.minY());
  return {x, F.maxY() - (yUp - F.y) - s.height};
}

TEST(PanelPlacementTest, EveryPositionOnEveryLayoutMatchesTheOriginRule) {
  for (const Layout& layout : layouts()) {
    for (const ScreenGeometry& screen : layout.screens) {
      for (Size size : {Size{640, 420}, Size{900, 700}}) {
        for (PanelPosition p : kAllPanelPositions) {
          SCOPED_TRACE(std::string(layout.name) + " " + std::string(rawValue(p)));
          Point got = panelOrigin(p, size, screen);
          if (size.height > screen.frame.height) {
            // Taller than the screen: the search field at the top stays visible.
            EXPECT_EQ(got.y, screen.frame.minY());
            continue;
          }
          Point want = modelOrigin(p, size, screen);
          EXPECT_DOUBLE_EQ(got.x, want.x);
          EXPECT_DOUBLE_EQ(got.y, want.y);
          EXPECT_GE(got.x, screen.available.minX());
          EXPECT_GE(got.y, screen.frame.minY());
        }
      }
    }
  }
}

TEST(PanelPlacementTest, TopMeetsTheAvailableAreaAndBottomTheScreenEdge) {
  ScreenGeometry s = screenAt(0, 0, 1440, 900);
  EXPECT_EQ(panelOrigin(PanelPosition::topLeading, {640, 420}, s), (Point{0, 32}));
  EXPECT_EQ(panelOrigin(PanelPosition::bottomTrailing, {640, 420}, s), (Point{800, 480}));
  EXPECT_EQ(panelOrigin(PanelPosition::topCenter, {640, 420}, s), (Point{400, 32}));
}

TEST(PanelPlacementTest, ScreenIsThePointersElseTheClosestToThePanel) {
  auto screens = layouts()[1].screens;
  EXPECT_EQ(preferredScreen(screens, Point{2000, 10}, {0, 0, 10, 10})->frame.x, 1920);
  EXPECT_EQ(preferredScreen(screens, std::nullopt, {1800, 100, 640, 420})->frame.x, 1920);
  EXPECT_EQ(preferredScreen(screens, Point{-5000, 0}, {5000, 5000, 10, 10})->frame.x, 1920);
  EXPECT_FALSE(preferredScreen({}, std::nullopt, {}).has_value());
}

TEST(PanelPlacementTest, ADroppedPanelSnapsToTheNearestPosition) {
  for (const Layout& layout : layouts()) {
    const ScreenGeometry& screen = layout.screens.front();
    for (PanelPosition p : kAllPanelPositions) {
      SCOPED_TRACE(std::string(layout.name) + " " + std::string(rawValue(p)));
      Size size{300, 200};
      Point o = panelOrigin(p, size, screen);
      EXPECT_EQ(nearestPanelPosition({o.x + 7, o.y - 5, size.width, size.height}, screen), p);
    }
  }
}

}  // namespace
}  // namespace pallix
