// X11WorkspaceWatcher: tells when the active workspace changes on X11 (the
// root window's _NET_CURRENT_DESKTOP property, which the window manager
// keeps), so the panel can be dismissed as it is when the user switches.
//
// Threading: GUI thread; Qt hands it the display's events.
#pragma once

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <functional>
#include <memory>

namespace pallix::views {

class X11WorkspaceWatcher final : public QAbstractNativeEventFilter {
 public:
  // Null when the application does not run on X11.
  static std::unique_ptr<X11WorkspaceWatcher> install(std::function<void()> onChange);
  ~X11WorkspaceWatcher() override;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  X11WorkspaceWatcher(xcb_window_t root, xcb_atom_t atom, std::function<void()> onChange)
      : root_(root), atom_(atom), onChange_(std::move(onChange)) {}
  xcb_window_t root_;
  xcb_atom_t atom_;
  std::function<void()> onChange_;
};

}  // namespace pallix::views
