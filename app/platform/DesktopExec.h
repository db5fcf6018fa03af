// DesktopExec: turns a desktop entry's Exec value into an argv.
//
// The value is the string after the desktop file's own escapes were decoded
// (DesktopEntry::exec). It is split into arguments on unquoted blanks;
// an argument in double quotes keeps its blanks, and inside the quotes a
// backslash escapes '"', '`', '$' and '\'. Single quotes and backslashes
// outside quotes are accepted the way a POSIX shell reads them, for files that
// do not follow the quoting rules. No shell ever runs the result.
//
// Field codes (unquoted or quoted):
//   %f  the first target as a local path (file: URLs are converted; other
//       URLs are skipped)            %F  every local path, one argument each
//   %u  the first target as given    %U  every target, one argument each
//   %i  "--icon" and the Icon value, as two arguments (nothing without Icon)
//   %c  the application name         %k  the desktop file's path
//   %%  a literal '%'
// The deprecated %d %D %n %N %v %m and unknown codes expand to nothing. An
// argument that consisted only of field codes and expanded to nothing is
// dropped; %F, %U and %i expand to separate arguments only when they stand
// alone, and embedded in a longer argument act like %f, %u and nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

struct DesktopExecContext {
  std::vector<std::string> targets;  // files (absolute paths or file: URLs) or URLs to open
  std::optional<std::string> icon;   // the entry's Icon value
  std::string name;                  // the entry's Name
  std::string desktopFilePath;       // the entry's location
};

// Splits `exec` into arguments following the quoting rules above, without
// expanding field codes (a quoted "%f" stays "%f"). Fails on an unterminated
// quote or an empty command line.
Result<std::vector<std::string>> splitDesktopExec(const std::string& exec);

// Splits and expands `exec`. Fails as splitDesktopExec does, or when nothing
// is left to run.
Result<std::vector<std::string>> expandDesktopExec(const std::string& exec, const DesktopExecContext& context);

// "file:///a%20b" -> "/a b"; nullopt for anything that is not a local file URL.
std::optional<std::string> localPathFromFileURL(const std::string& url);
// "/a b" -> "file:///a%20b" (unreserved characters and '/' kept).
std::string fileURLFromPath(const std::string& path);

}  // namespace pallix
