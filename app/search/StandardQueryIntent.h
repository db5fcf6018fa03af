// StandardQueryIntent: what the standard-mode text asks for, computed from
// the raw text on every change. A pure value.
#pragma once

#include <string>
#include <string_view>

namespace pallix {

// What the standard-mode text asks for: keywords such as "files" or
// "messages" force a preview and are removed from the effective query.
struct StandardQueryIntent {
  std::string rawQuery;
  std::string trimmedQuery;
  std::string effectiveQuery;
  bool forceMessagesPreview = false;
  bool forceFilesPreview = false;

  static StandardQueryIntent resolve(std::string_view raw);
  friend bool operator==(const StandardQueryIntent&, const StandardQueryIntent&) = default;
};

}  // namespace pallix
