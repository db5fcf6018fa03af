// Why a file matched a files-mode query lexically, and how a file row shows
// it: pure functions over the record and the parsed query, callable on any
// thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/MatchReason.h"
#include "app/search/QueryParser.h"

namespace pallix {

// The name a file row shows: the record's name with its extension ("report.pdf").
std::string fileDisplayTitle(const IndexedItem& item);

// The folder holding `path`, with `home` (when not empty) written "~".
std::string parentFolderShown(std::string_view path, std::string_view home);

// How a satisfied filter reads ("pdf", "modified this week", "larger than
// 2 MB"); "not " before an excluded one. Empty for filters told apart
// elsewhere (in:) and unknown ones.
std::string filterPhrase(const Filter& filter, const IndexedItem& item, bool excluded);

// The reason `item` answers `query`: the span of its name the words or a
// phrase matched (the text then starts with fileDisplayTitle), else the folder
// they or an in: filter matched ("in folder ~/work/projects"), then the
// filters it satisfied, joined by " · ". Folders are shown under `home` as "~".
MatchReason fileMatchReason(const IndexedItem& item, const ParsedQuery& query, std::string_view home);

// A file row's two lines: the title with the name's highlights, and the line
// below (the folder, or the reason when it names the folder or a passage)
// with the rest of the reason.
struct FileRowLines {
  std::string title;
  std::vector<TextSpan> titleHighlights;
  std::string detail;
  std::vector<TextSpan> detailHighlights;
};
FileRowLines fileRowLines(const FileSearchResult& result, std::string_view home);

}  // namespace pallix
