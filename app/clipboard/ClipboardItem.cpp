#include "app/clipboard/ClipboardItem.h"

#include "app/clipboard/ClipboardCapture.h"

namespace pallix {

const char* clipboardContentKindName(ClipboardContentKind kind) {
  switch (kind) {
    case ClipboardContentKind::unknown:
      return "unknown";
    case ClipboardContentKind::text:
      return "text";
    case ClipboardContentKind::richText:
      return "richText";
    case ClipboardContentKind::link:
      return "link";
    case ClipboardContentKind::image:
      return "image";
    case ClipboardContentKind::file:
      return "file";
  }
  return "unknown";
}

ClipboardContentKind ClipboardItem::contentKind() const {
  if (contentKindRaw < 0 || contentKindRaw > 5) return ClipboardContentKind::unknown;
  return static_cast<ClipboardContentKind>(contentKindRaw);
}

void ClipboardItem::updatePrimaryText(std::optional<std::string> text) {
  primaryText = std::move(text);
  normalizedSearchText = primaryText ? std::optional<std::string>(lowercasedForSearch(*primaryText)) : std::nullopt;
}

int64_t ClipboardItem::totalByteCount() const {
  int64_t total = 0;
  for (const ClipboardRepresentation& r : representations) total += r.byteCount;
  return total;
}

ClipboardItem withoutBytes(ClipboardItem item) {
  for (ClipboardRepresentation& r : item.representations) {
    if (r.data) r.byteCount = static_cast<int64_t>(r.data->size());
    r.data.reset();
    r.stringValue.reset();
  }
  return item;
}

}  // namespace pallix
