// The clipboard history's records: ClipboardItem (one copied item) and
// ClipboardRepresentation (one of its types with its bytes), as stored in
// "Pallix.sqlite" by ClipboardStore. Plain values; no thread affinity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace pallix {

// Persisted as the raw integer.
enum class ClipboardContentKind : int { unknown = 0, text = 1, richText = 2, link = 3, image = 4, file = 5 };
const char* clipboardContentKindName(ClipboardContentKind kind);

struct ClipboardRepresentation {
  std::string typeIdentifier;
  // The bytes. Items loaded for the history carry none (byteCount tells the
  // size); ClipboardStore::loadRepresentations() reads them when an item is reused.
  std::optional<std::string> data;
  // The text of text types.
  std::optional<std::string> stringValue;
  int order = 0;  // position in the owner's list
  int64_t byteCount = 0;
};

struct ClipboardItem {
  static constexpr size_t kPrimaryTextLimit = 500;  // characters (code points)

  int64_t id = 0;  // the store's row id: the item's persistent identifier
  Date createdAt;
  int64_t pasteboardChangeCount = 0;
  std::optional<std::string> contentHash;
  std::optional<std::string> sourceAppBundleIdentifier;
  std::optional<std::string> sourceAppName;
  std::optional<std::string> primaryText;
  std::optional<std::string> normalizedSearchText;
  std::optional<std::string> detectedURLString;
  int contentKindRaw = 0;
  // Kept first in the history and through retention, the storage limit and
  // clearing; only deleting the item removes it.
  bool pinned = false;
  std::vector<ClipboardRepresentation> representations;

  ClipboardContentKind contentKind() const;
  // Sets primaryText and its lower-cased search form together.
  void updatePrimaryText(std::optional<std::string> text);
  int64_t totalByteCount() const;
};

// The item with its representations' sizes but not their bytes: what the
// history keeps in memory (listing and searching need no bytes).
ClipboardItem withoutBytes(ClipboardItem item);

}  // namespace pallix
