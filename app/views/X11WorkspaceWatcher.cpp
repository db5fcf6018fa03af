#include "app/views/X11WorkspaceWatcher.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <cstring>

namespace pallix::views {

std::unique_ptr<X11WorkspaceWatcher> X11WorkspaceWatcher::install(std::function<void()> onChange) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11) return nullptr;
  xcb_connection_t* c = x11->connection();
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const char* name = "_NET_CURRENT_DESKTOP";
  auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
  if (!atom) return nullptr;
  xcb_atom_t value = atom->atom;
  std::free(atom);
  // Adds property changes to what Qt already asked of the root window.
  auto* attributes = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr);
  uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | (attributes ? attributes->your_event_mask : 0);
  std::free(attributes);
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  std::unique_ptr<X11WorkspaceWatcher> watcher(new X11WorkspaceWatcher(root, value, std::move(onChange)));
  QCoreApplication::instance()->installNativeEventFilter(watcher.get());
  return watcher;
}

X11WorkspaceWatcher::~X11WorkspaceWatcher() {
  if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool X11WorkspaceWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
  auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
  if (property->window == root_ && property->atom == atom_ && onChange_) onChange_();
  return false;
}

}  // namespace pallix::views
