// LinuxDesktop: picks the platform pieces of the clipboard and the emoji
// picker for the session this process runs in: X11 when $DISPLAY reaches a
// display (xcb for the clipboard, libxdo for typing), else Wayland when
// $WAYLAND_DISPLAY is set (wl-clipboard, wtype), else nothing; the error
// says what is missing.
#pragma once

#include <memory>

#include "app/platform/DataDirectories.h"
#include "app/platform/LinkMetadataProvider.h"
#include "app/platform/Pasteboard.h"
#include "app/platform/TextInput.h"

namespace pallix {

Result<std::shared_ptr<Pasteboard>> makeDesktopPasteboard(const DataDirectories& dirs);
std::shared_ptr<TextInput> makeDesktopTextInput();
std::shared_ptr<LinkMetadataProvider> makeLinkMetadataProvider();

}  // namespace pallix
