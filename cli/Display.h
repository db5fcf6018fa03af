// Display: how the commands and the terminal panel show outside text and
// catalog records to a person. Every name, path or query printed in human
// output goes through printable() (or a helper built on it); JSON output
// carries the exact strings instead.
//
// Pure functions; used on the main thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/search/IndexedItem.h"
#include "app/search/MatchReason.h"

namespace pallix::cli {

// Outside text escaped for the terminal (control characters and bytes that
// are not UTF-8 shown as visible escapes).
std::string printable(std::string_view text);
// printable(text) padded with spaces to `width` terminal columns.
std::string printableColumn(std::string_view text, int width);

// The name a person knows a record by: an app's display name; for a file or
// folder its real last path component, case and inner dots kept
// ("README.Debian.gz").
std::string displayName(const IndexedItem& item);
// Display names of records shown together: a name that several of them
// share is followed by the parent folders that tell them apart, as editors
// label tabs ("notes.txt (work/a)"). Not escaped.
std::vector<std::string> displayNames(const std::vector<IndexedItem>& items);

// Whether human output shows why each result matched: only to a person at a
// terminal (piped output stays as scripts read it; --json carries the reason).
bool reasonsShown();
// Whether styled output is wanted: NO_COLOR is unset or empty.
bool colourWanted();
// A reason as human output: escaped, with `colour` dimmed and its
// highlights bold. Empty for an empty reason.
std::string reasonLine(const MatchReason& reason, bool colour);
// `text` escaped, with `highlights` bold when `colour`.
std::string withHighlights(std::string_view text, const std::vector<TextSpan>& highlights, bool colour);
// A file's path followed by why it matched: the span of the name the words
// matched bold in the path, the rest of the reason dimmed after two spaces.
// Escaped; without `colour` the rest follows plain.
std::string pathWithReason(std::string_view path, const MatchReason& reason, bool colour);

}  // namespace pallix::cli
