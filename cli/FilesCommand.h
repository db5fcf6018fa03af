// `pallix files`: power queries over the catalog, read directly (no search
// session), so that a query costs what reading the catalog costs. Both the
// `pallix` front end and the full command set register it; only the full
// set can open a result (the session does that), so it passes an opener.
//
// Main thread only.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "cli/Command.h"
#include "cli/LastResults.h"

namespace pallix::cli {

extern const char* const kFilesSummary;
extern const char* const kFilesUsage;

// Opens result `number` of `listed` (just saved as the last results);
// returns the exit status. `json`: the note goes to stderr.
using ResultOpener = std::function<int(const std::vector<LastResult>& listed, long long number, bool json)>;

// Runs `pallix files`; without an opener "--open" is refused.
int runFiles(Args& args, const ResultOpener& opener);

// Whether these `pallix files` arguments ask to open a result.
bool filesArgumentsOpenAResult(const std::vector<std::string>& args);

// Why a result matched, as `--json` prints it: {"kind", "text", "ranges":
// [{"start", "length", "utf16Start", "utf16Length"}]}, starts and lengths in
// bytes of the UTF-8 text and in UTF-16 code units.
nlohmann::json matchReasonJson(const MatchReason& reason);

// A file result as `--json` prints it.
nlohmann::json fileResultJson(const FileSearchResult& result);

}  // namespace pallix::cli
