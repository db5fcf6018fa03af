// ClipboardSettings: the clipboard preferences as the clipboard service reads
// them. A plain value; ClipboardPreferences supplies it.
#pragma once

#include <cstdint>

namespace pallix {

struct ClipboardSettings {
  bool historyEnabled = false;
  int64_t retentionDays = 7;  // 0 keeps everything
  // What the history's items may hold together; the oldest go first.
  int64_t maxStorageBytes = int64_t{512} << 20;
  // Whether a link's preview may be fetched when the link is shown.
  bool linkPreviewsEnabled = true;
  // Whether text items are embedded and clipboard mode finds them by meaning.
  bool semanticSearchEnabled = false;
};

}  // namespace pallix
