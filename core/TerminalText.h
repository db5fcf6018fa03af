// TerminalText: outside text (file names, paths, queries) made safe to print
// on a terminal, and measured in terminal columns.
//
// A file name may hold any byte but "/" and NUL. Printed raw, escape
// sequences retitle or reprogram the terminal and CR or LF rewrite rows, so
// human output passes every such string through escapeForTerminal. JSON
// output does not: its own escaping keeps the text exact.
//
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pallix {

// Returns `text` with everything a terminal would act on written as a
// visible escape: C0 controls and DEL as \a \b \t \n \v \f \r \e or \xNN;
// C1 controls (U+0080 to U+009F), the line and paragraph separators and the
// bidirectional controls as \u{NN}; bytes that are not UTF-8 as \xNN. Other
// text, backslashes included, is unchanged.
std::string escapeForTerminal(std::string_view text);

// The number of terminal columns `text` occupies: East Asian wide and
// fullwidth characters take two, combining and enclosing marks and format
// characters none, controls none, every other character (and every byte that
// is not UTF-8) one.
int displayWidth(std::string_view text);

// `text` followed by spaces up to `width` columns (unchanged when wider).
std::string padToDisplayWidth(std::string_view text, int width);

// `text` cut to at most `width` columns; a cut text ends with "~". Never
// splits a character, and keeps the marks that follow the last one kept.
std::string truncateToDisplayWidth(std::string_view text, int width);

// For results shown by name: per entry, the shortest run of parent folders of
// its path (nearest last, "a/b"; from the root when it takes them all, "/a")
// that tells it apart from every other entry shown with the same name, as
// editors label tabs; empty for a name that is unique. `names` and `paths`
// have the same length.
std::vector<std::string> distinguishingParents(const std::vector<std::string>& names,
                                               const std::vector<std::string>& paths);

}  // namespace pallix
