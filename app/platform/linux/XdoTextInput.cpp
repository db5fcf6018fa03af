#include "app/platform/linux/XdoTextInput.h"

#include <clocale>
#include <cstdlib>

#include "app/platform/linux/ChildProcess.h"

extern "C" {
#include <X11/Xlib.h>
#include <xdo.h>
}
// Xlib's macros would shadow the names of Pallix.
#undef Status
#undef None
#undef Bool

#if defined(__SANITIZE_ADDRESS__)
// libxdo and libX11 keep a few allocations (keyboard maps, keysym names)
// that they never free; they are theirs, not leaks of Pallix.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libxdo.so\nleak:libX11.so\n";
}
#endif

namespace pallix {

XdoTextInput::XdoTextInput(std::string display, unsigned keyDelayMicroseconds)
    : display_(std::move(display)), delay_(keyDelayMicroseconds) {}

XdoTextInput::~XdoTextInput() {
  if (xdo_) xdo_free(static_cast<xdo_t*>(xdo_));
}

bool XdoTextInput::openLocked() {
  if (permitted_) return *permitted_;
  const char* name = display_.empty() ? std::getenv("DISPLAY") : display_.c_str();
  if (!name || !*name) return *(permitted_ = false);
  xdo_t* xdo = xdo_new(name);
  if (!xdo) return *(permitted_ = false);
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(xdo->xdpy, "XTEST", &opcode, &event, &error)) {
    xdo_free(xdo);
    return *(permitted_ = false);
  }
  xdo_ = xdo;
  return *(permitted_ = true);
}

bool XdoTextInput::isPermitted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openLocked();
}

pallix::Status XdoTextInput::typeText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked()) return Error(kErrorDomain, 1, "No X display with the XTEST extension to type into");
  // libxdo decodes the text with the thread's locale: make it UTF-8.
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  locale_t previous = utf8 ? uselocale(utf8) : static_cast<locale_t>(0);
  int rc = xdo_enter_text_window(static_cast<xdo_t*>(xdo_), CURRENTWINDOW, text.c_str(), delay_);
  if (utf8) {
    uselocale(previous);
    freelocale(utf8);
  }
  if (rc != 0) return Error(kErrorDomain, 2, "libxdo could not post the key events");
  return okStatus();
}

bool WtypeTextInput::isPermitted() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland && !findInPath("wtype").empty();
}

pallix::Status WtypeTextInput::typeText(const std::string& text) {
  auto typed = ChildProcess::run({"wtype", "--", text}, "", std::chrono::seconds(5));
  if (!typed.ok()) return Error(kErrorDomain, 3, "wtype could not type: " + typed.error().description());
  return okStatus();
}

}  // namespace pallix
