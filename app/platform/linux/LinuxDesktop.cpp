#include "app/platform/linux/LinuxDesktop.h"

#include <cstdlib>

#include "app/platform/DesktopApplicationResolver.h"
#include "app/platform/linux/CurlLinkMetadataProvider.h"
#include "app/platform/linux/WaylandPasteboard.h"
#include "app/platform/linux/X11Pasteboard.h"
#include "app/platform/linux/XdoTextInput.h"

namespace pallix {
namespace {
bool hasEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}
}  // namespace

Result<std::shared_ptr<Pasteboard>> makeDesktopPasteboard(const DataDirectories& dirs) {
  if (hasEnv("DISPLAY")) {
    auto resolver = std::make_shared<DesktopApplicationResolver>(dirs);
    X11Pasteboard::Options options;
    options.resolveApplication = [resolver](const std::string& instance, const std::string& cls) {
      return resolver->resolve(instance, cls);
    };
    auto x11 = X11Pasteboard::connect(options);
    if (x11.ok()) return std::shared_ptr<Pasteboard>(x11.value());
    if (!hasEnv("WAYLAND_DISPLAY")) return x11.error();
  }
  if (hasEnv("WAYLAND_DISPLAY")) {
    auto wayland = WaylandPasteboard::create();
    if (!wayland.ok()) return wayland.error();
    return std::shared_ptr<Pasteboard>(wayland.value());
  }
  return Error("PasteboardError", 4, "No desktop session: neither DISPLAY (X11) nor WAYLAND_DISPLAY (Wayland) is set");
}

std::shared_ptr<TextInput> makeDesktopTextInput() {
  if (hasEnv("DISPLAY")) return std::make_shared<XdoTextInput>();
  return std::make_shared<WtypeTextInput>();
}

std::shared_ptr<LinkMetadataProvider> makeLinkMetadataProvider() {
  return std::make_shared<CurlLinkMetadataProvider>();
}

}  // namespace pallix
