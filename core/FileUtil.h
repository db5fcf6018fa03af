// File helpers: whole-file reads and atomic replacement.
#pragma once

#include <string>
#include <string_view>

#include "core/Error.h"

namespace pallix {

Result<std::string> readFileToString(const std::string& path);
// Writes `data` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`, so readers see the old or the new file, never a mix.
Status writeFileAtomically(const std::string& path, std::string_view data);
// Creates `path` and its missing parents.
Status createDirectories(const std::string& path);
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

}  // namespace pallix
