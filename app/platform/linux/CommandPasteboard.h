// CommandPasteboard: the system clipboard through the desktop's clipboard
// tools: wl-copy/wl-paste under Wayland, xclip or xsel under X11. The tool is
// chosen on each call from the environment ($WAYLAND_DISPLAY, $DISPLAY) and
// what is installed; without one, calls fail with a message naming the
// package to install. Thread-safe; calls block until the tool has taken or
// given the text.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/Pasteboard.h"

namespace pallix {

class CommandPasteboard final : public Pasteboard {
 public:
  Status writeString(const std::string& text) override;
  Result<std::optional<std::string>> readString() override;
  int64_t changeCount() const override { return changeCount_.load(); }

  // The argv that copies and pastes, for the current environment; empty when
  // no tool is available.
  static std::vector<std::string> copyCommand();
  static std::vector<std::string> pasteCommand();

 private:
  std::atomic<int64_t> changeCount_{0};
};

}  // namespace pallix
