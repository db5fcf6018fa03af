// PasteboardTypes: the one table that sorts clipboard types into the kinds
// the clipboard history cares about.
//
// Types are MIME types ("text/html", "image/png", "text/uri-list") or X11
// targets ("UTF8_STRING", "STRING"); comparison ignores ASCII case and
// spaces around ";". Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace pallix {

enum class PasteboardTypeCategory { plainText, rtf, html, image, fileURL, url, other };

// The category of `type` alone. "text/uri-list" counts as url; use
// representationCategory() to tell file lists from web links.
PasteboardTypeCategory pasteboardTypeCategory(std::string_view type);
// The category of a representation, looking at the data where the type
// leaves it open: a "text/uri-list" of "file:" URIs is a file URL.
PasteboardTypeCategory representationCategory(std::string_view type, std::string_view data);
// Protocol targets that name no content ("TARGETS", "MULTIPLE", "TIMESTAMP", ...).
bool isPasteboardProtocolTarget(std::string_view type);
// The type normalised for comparison: lower-cased, spaces around ';' removed.
std::string normalizedPasteboardType(std::string_view type);

}  // namespace pallix
