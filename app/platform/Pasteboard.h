// Pasteboard: the system clipboard.
//
// The clipboard holds one item: a list of representations, each a type (a
// MIME type such as "text/plain;charset=utf-8" or an X11 target such as
// "UTF8_STRING") with its bytes, in the order the owner offers them.
// changeCount() moves on every change made by any application where the
// desktop lets us see it (X11Pasteboard, WaylandPasteboard); implementations
// that only see their own writes (CommandPasteboard) move it on those.
//
// Implementations: linux/X11Pasteboard (xcb and XFixes), linux/
// WaylandPasteboard (the wl-clipboard tools), linux/CommandPasteboard (text
// only, through whichever clipboard tool is installed) and FakePasteboard
// (memory, tests). Calls may block briefly while the owner answers;
// implementations are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.h"

namespace pallix {

// Private types marking the clipboard writes of Pallix itself: a reused
// history item, and an emoji the picker put on the clipboard.
inline constexpr const char* kInternalCopyMarkerType = "org.pallix.internalCopyMarker";
inline constexpr const char* kEmojiMarkerType = "org.pallix.emojiMarker";
// What password managers set on a copied secret (value "secret").
inline constexpr const char* kPasswordManagerHintType = "x-kde-passwordManagerHint";
// The type under which writeString() and the default writeItem() put text.
inline constexpr const char* kPlainTextUtf8Type = "text/plain;charset=utf-8";

struct PasteboardRepresentation {
  std::string type;
  std::string data;
  friend bool operator==(const PasteboardRepresentation&, const PasteboardRepresentation&) = default;
};

struct PasteboardItem {
  std::vector<PasteboardRepresentation> representations;

  const PasteboardRepresentation* find(std::string_view type) const;
  bool hasType(std::string_view type) const { return find(type) != nullptr; }
  // True when a password manager marked the item as a secret.
  bool isConcealed() const;
  friend bool operator==(const PasteboardItem&, const PasteboardItem&) = default;
};

// The application in front when something was copied, where the desktop can
// tell: its desktop-file ID (the bundle identifier on Linux) and its name.
struct FrontmostApplication {
  std::string identifier;
  std::string name;
  std::optional<std::string> icon;  // the desktop entry's Icon (theme name or path)
  friend bool operator==(const FrontmostApplication&, const FrontmostApplication&) = default;
};

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Replaces the clipboard's contents with plain text.
  virtual Status writeString(const std::string& text) = 0;
  // The clipboard's plain text, if it holds any.
  virtual Result<std::optional<std::string>> readString() = 0;
  // See the header comment for what moves it.
  virtual int64_t changeCount() const = 0;

  // The current item; nullopt when the clipboard is empty. The default reads
  // the plain text.
  virtual Result<std::optional<PasteboardItem>> readItem();
  // Clears the clipboard and writes one item of several representations.
  // Returns the change counter this write produced, so that a poller can
  // ignore its own write. Implementations that cannot write several types at
  // once write the item's primary text (the default).
  virtual Result<int64_t> writeItem(const PasteboardItem& item);
  // The frontmost application, where the desktop can tell.
  virtual std::optional<FrontmostApplication> frontmostApplication() { return std::nullopt; }
  // `observer` runs, on a thread of the pasteboard, soon after each change it
  // sees (nullptr stops it). Implementations without change events never call it.
  virtual void setChangeObserver(std::function<void()> observer) { (void)observer; }
};

// A byte form of an item, to hand it to another process: per representation
// "<type bytes> <data bytes>\n" followed by the type and the data.
std::string encodePasteboardItem(const PasteboardItem& item);
Result<PasteboardItem> decodePasteboardItem(std::string_view bytes);

// The text that a writer able to hold one type only puts on the clipboard
// for `item`: its first text representation.
std::optional<std::string> primaryTextOf(const PasteboardItem& item);

}  // namespace pallix
