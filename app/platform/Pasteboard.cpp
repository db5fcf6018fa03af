#include "app/platform/Pasteboard.h"

#include <cstdio>

#include "app/platform/PasteboardTypes.h"
#include "core/Strings.h"

namespace pallix {

const PasteboardRepresentation* PasteboardItem::find(std::string_view type) const {
  for (const PasteboardRepresentation& r : representations) {
    if (r.type == type) return &r;
  }
  return nullptr;
}

bool PasteboardItem::isConcealed() const {
  const PasteboardRepresentation* hint = find(kPasswordManagerHintType);
  return hint && trimWhitespace(hint->data) == "secret";
}

std::optional<std::string> primaryTextOf(const PasteboardItem& item) {
  for (const PasteboardRepresentation& r : item.representations) {
    if (pasteboardTypeCategory(r.type) == PasteboardTypeCategory::plainText) return r.data;
  }
  return std::nullopt;
}

std::string encodePasteboardItem(const PasteboardItem& item) {
  std::string out;
  for (const PasteboardRepresentation& r : item.representations) {
    out += std::to_string(r.type.size()) + " " + std::to_string(r.data.size()) + "\n";
    out += r.type;
    out += r.data;
  }
  return out;
}

Result<PasteboardItem> decodePasteboardItem(std::string_view bytes) {
  PasteboardItem item;
  while (!bytes.empty()) {
    size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos || newline > 40) break;
    std::string header(bytes.substr(0, newline));
    unsigned long long typeSize = 0, dataSize = 0;
    if (std::sscanf(header.c_str(), "%llu %llu", &typeSize, &dataSize) != 2) break;
    bytes.remove_prefix(newline + 1);
    if (typeSize + dataSize > bytes.size()) break;
    item.representations.push_back(
        {std::string(bytes.substr(0, typeSize)), std::string(bytes.substr(typeSize, dataSize))});
    bytes.remove_prefix(typeSize + dataSize);
  }
  if (!bytes.empty()) return Error("PasteboardError", 6, "The clipboard item handed over is damaged");
  return item;
}

Result<std::optional<PasteboardItem>> Pasteboard::readItem() {
  auto text = readString();
  if (!text.ok()) return text.error();
  if (!text.value()) return std::optional<PasteboardItem>();
  return std::optional<PasteboardItem>(PasteboardItem{{{kPlainTextUtf8Type, std::move(*text.value())}}});
}

Result<int64_t> Pasteboard::writeItem(const PasteboardItem& item) {
  std::optional<std::string> text = primaryTextOf(item);
  if (!text) {
    return Error("PasteboardError", 3, "This clipboard can hold text only, and the item has no text representation");
  }
  PALLIX_RETURN_IF_ERROR(writeString(*text));
  return changeCount();
}

}  // namespace pallix
