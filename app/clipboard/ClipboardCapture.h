// ClipboardCapture: turning a clipboard item into the parts of a history
// record: its representations, display text, web link, content hash and
// kind. Pure functions, thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "app/platform/Pasteboard.h"

namespace pallix {

// Every representation in the owner's order (`order` = position), except the
// emoji marker and empty ones; text types also keep their text as `stringValue`.
std::vector<ClipboardRepresentation> extractRepresentations(const PasteboardItem& item);
// The first non-empty plain text, else the text of the RTF, else of the HTML
// representation; trimmed, at most ClipboardItem::kPrimaryTextLimit characters.
std::optional<std::string> derivePrimaryText(const std::vector<ClipboardRepresentation>& representations);
// A web link: from a URL representation, else the first link in `primaryText`.
std::optional<std::string> deriveURL(const std::vector<ClipboardRepresentation>& representations,
                                     const std::optional<std::string>& primaryText);
// SHA-256 over the representations in (type, order) order, each contributing
// its type, its length and its bytes; nullopt without representations.
std::optional<std::string> computeHash(const std::vector<ClipboardRepresentation>& representations);
ClipboardContentKind determineContentKind(const std::vector<ClipboardRepresentation>& representations,
                                          const std::optional<std::string>& detectedURL,
                                          const std::optional<std::string>& primaryText);

// True for an http or https link with a plausible host and no spaces.
bool isValidClipboardLink(std::string_view url);
// The first web link in free text ("see https://example.com/a." gives
// "https://example.com/a"; "www.example.com" gives "http://www.example.com").
std::optional<std::string> detectLink(std::string_view text);
// Text of RTF and HTML documents, for display.
std::string rtfToPlainText(std::string_view rtf);
std::string htmlToPlainText(std::string_view html);
// Unicode lower case, as searched.
std::string lowercasedForSearch(std::string_view text);
// The first `limit` code points of UTF-8 `text`.
std::string truncateCodePoints(std::string_view text, size_t limit);

}  // namespace pallix
