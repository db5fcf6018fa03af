#include "app/search/PlainWordsSearch.h"

#include <set>
#include <string>

namespace pallix {

Result<FileSearchPage> searchPlainWords(sqlite3* db, const PlainWordsQuery& query, int limit,
                                        const DateContext& context, const FileSearchTuning& tuning) {
  using Reading = PlainWordsQuery::Reading;
  if (query.reading == Reading::name) {
    return FileSearcher::searchPage(db, QueryParser::parse(query.typed), limit, context, tuning);
  }
  Result<FileSearchPage> compiled =
      FileSearcher::searchPage(db, QueryParser::parse(query.compiled()), limit, context, tuning);
  if (query.reading == Reading::filters) return compiled;
  Result<FileSearchPage> named = FileSearcher::searchPage(db, QueryParser::parse(query.typed), limit, context, tuning);
  if (!compiled.ok()) return named;
  if (!named.ok()) return compiled;

  FileSearchPage page;
  page.cut = compiled->cut;
  std::set<std::string> seen;
  auto add = [&](const FileSearchResult& result) {
    if (static_cast<int>(page.results.size()) >= limit) return;
    if (seen.insert(result.item.path).second) page.results.push_back(result);
  };
  for (const FileSearchResult& r : named->results) {
    if (r.matchType == FileMatchType::exact) add(r);
  }
  for (const FileSearchResult& r : compiled->results) add(r);
  for (const FileSearchResult& r : named->results) add(r);
  if (page.cut) page.cut->shown = static_cast<int>(page.results.size());
  return page;
}

}  // namespace pallix
