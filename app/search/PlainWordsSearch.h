// PlainWordsSearch: the files of a plain-words query (PlainWordsFilters):
// the text as typed, its compiled power query, or both, where the records
// whose name is exactly the text come first, then the compiled query's
// answer, then the other matches of the name.
//
// Runs on the caller's thread with the caller's connection, as FileSearcher.
#pragma once

#include <sqlite3.h>

#include "app/search/FileSearcher.h"
#include "app/search/PlainWordsFilters.h"

namespace pallix {

// Fails as FileSearcher::searchPage does; when both are tried, only when
// both fail (with the error of the text as typed).
Result<FileSearchPage> searchPlainWords(sqlite3* db, const PlainWordsQuery& query, int limit,
                                        const DateContext& context, const FileSearchTuning& tuning = {});

}  // namespace pallix
