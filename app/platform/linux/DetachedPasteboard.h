// DetachedPasteboard: writes that outlive this process. An X11 clipboard
// lasts only as long as its owner runs, so a command that copies and exits
// hands the item to a helper process (`serverCommand`, normally
// `pallix clipboard serve`) that owns the clipboard until another
// application takes it. The helper runs in its own session (started
// through `setsid --fork` where it exists, so it is not our child), reads the item
// (encodePasteboardItem) on its standard input and answers "ok COUNT" once
// it owns the clipboard. `serverCommand[0]` must be an absolute path.
// Write-only: reads report nothing.
#pragma once

#include <string>
#include <vector>

#include "app/platform/Pasteboard.h"

namespace pallix {

class DetachedPasteboard final : public Pasteboard {
 public:
  explicit DetachedPasteboard(std::vector<std::string> serverCommand) : serverCommand_(std::move(serverCommand)) {}
  // The helper of the pallix executable itself: `pallix clipboard serve`.
  static std::vector<std::string> pallixServerCommand();

  Status writeString(const std::string& text) override;
  Result<std::optional<std::string>> readString() override { return std::optional<std::string>(); }
  int64_t changeCount() const override { return changeCount_; }
  Result<std::optional<PasteboardItem>> readItem() override { return std::optional<PasteboardItem>(); }
  Result<int64_t> writeItem(const PasteboardItem& item) override;

 private:
  std::vector<std::string> serverCommand_;
  int64_t changeCount_ = 0;
};

}  // namespace pallix
