// PanelSurface: the floating panel window as the window manager sees it,
// with the screens it can appear on. Coordinates are the desktop's: pixels,
// y growing downward from the top-left of the virtual desktop.
//
// Implementations: the Qt panel (app/views/) and FakePanelSurface for tests.
// Every call happens on the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace pallix {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  Point center() const { return {x + width / 2, y + height / 2}; }
  bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// One monitor: its full frame and the part not taken by panels and docks.
struct ScreenGeometry {
  Rect frame;
  Rect available;
  friend bool operator==(const ScreenGeometry&, const ScreenGeometry&) = default;
};

class PanelSurface {
 public:
  virtual ~PanelSurface() = default;

  virtual std::vector<ScreenGeometry> screens() const = 0;
  // Where the pointer is, when the display server tells.
  virtual std::optional<Point> pointerLocation() const = 0;

  virtual Size panelSize() const = 0;
  virtual Rect frame() const = 0;
  // Moves the panel; with a non-zero duration it glides there.
  virtual void setFrame(const Rect& frame, std::chrono::milliseconds duration) = 0;
  virtual double opacity() const = 0;
  // Fades to `opacity` over `duration` (at once for zero).
  virtual void fadeTo(double opacity, std::chrono::milliseconds duration) = 0;
  // Shows the window above every other window and gives it the keyboard.
  virtual void orderFrontAndFocus() = 0;
  virtual void orderOut() = 0;
  virtual bool isVisible() const = 0;
  virtual void setAcceptsMouseEvents(bool accepts) = 0;
  // Hands the keyboard back to the application that had it before.
  virtual void deactivateApplication() = 0;
  // Where files mode's filter chips are on the screen, in their order (none
  // where the surface shows none).
  virtual std::vector<Rect> filterChipFrames() const { return {}; }
};

}  // namespace pallix
