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

}  // namespace pallix::cli
