#include "app/search/FileSearcher.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <unordered_map>

#include "app/search/FileMatchReason.h"
#include "app/search/FileSearchPlan.h"
#include "app/search/FileSearchSql.h"
#include "app/search/IndexedItemRow.h"
#include "app/search/TextFolding.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {

using namespace filesearch;

namespace {

const Logger& logger() {
  static const Logger* instance = new Logger("FileSearcher");
  return *instance;
}

// The text found only in the folders. Never in search results, which match
// names; calculateScore keeps the whole table.
constexpr int kFolderMatchScore = 60;

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// A pattern may be written for the name as shown ("/^report\.pdf$/") or for
// the name alone ("/^report$/").
bool matchesNameOrFullName(const CompiledRegex& regex, const IndexedItem& item) {
  if (regex.findIn(item.name)) return true;
  return item.fileExtension && !item.fileExtension->empty() && regex.findIn(item.name + "." + *item.fileExtension);
}

}  // namespace

Status FileSearcher::validate(const ParsedQuery& query) {
  if (!query.problems.empty())
    return Error(kErrorDomain, kInvalidQuery, query.problems.front().description, ErrorCode::invalidArgument);
  if (query.isEmpty()) {
    return Error(kErrorDomain, kEmptyQuery,
                 "the query has nothing to search for; give words, \"a phrase\", /a regular expression/ or a filter "
                 "such as ext:pdf",
                 ErrorCode::invalidArgument);
  }
  size_t conditions = query.regexes.size() + query.exactPhrases.size();
  for (const auto* filters : {&query.filters, &query.excludedFilters}) {
    for (const Filter& filter : *filters) {
      conditions +=
          filter.key == FilterKey::ext ? std::max<size_t>(1, filesearch::extensionList(filter.value).size()) : 1;
    }
  }
  if (conditions > kMaxQueryConditions) {
    return Error(kErrorDomain, kQueryTooComplex,
                 "the query has " + std::to_string(conditions) +
                     " filters, extensions, phrases and regular expressions; one search takes at most " +
                     std::to_string(kMaxQueryConditions),
                 ErrorCode::invalidArgument);
  }
  return okStatus();
}

Result<std::vector<FileSearcher::SearchResult>> FileSearcher::search(sqlite3* db, const ParsedQuery& query, int limit,
                                                                     const DateContext& context,
                                                                     const FileSearchTuning& tuning) {
  PALLIX_ASSIGN_OR_RETURN(FileSearchPage page, searchPage(db, query, limit, context, tuning));
  return std::move(page.results);
}

Result<FileSearchPage> FileSearcher::searchPage(sqlite3* db, const ParsedQuery& query, int limit,
                                                const DateContext& context, const FileSearchTuning& tuning) {
  PALLIX_RETURN_IF_ERROR(validate(query));
  const bool capped = query.textTerms.empty() && query.exactPhrases.empty();
  const int effectiveLimit = capped ? std::min(std::max(limit, 0), kFilterOnlyLimit) : std::max(limit, 0);
  FileSearchPage page;
  if (effectiveLimit == 0) return page;
  PALLIX_ASSIGN_OR_RETURN(std::vector<Candidate> chosen,
                          bestCandidates(db, query, context, tuning, static_cast<size_t>(effectiveLimit)));
  const std::string searchText = joinStrings(query.textTerms, " ");
  logger().debug("FileSearcher: fetched %ld items from database (searchQuery: %s)", static_cast<long>(chosen.size()),
                 searchText.c_str());

  if (!chosen.empty()) {
    std::string ids;
    for (const Candidate& c : chosen) ids += (ids.empty() ? "" : ", ") + std::to_string(c.id);
    PALLIX_ASSIGN_OR_RETURN(
        SqliteStatement rows,
        prepareStatement(db, "SELECT " + indexedItemColumns("i") + " FROM IndexedItem i WHERE i.id IN (" + ids + ")"));
    std::unordered_map<int64_t, IndexedItem> items;
    const char* homeVariable = std::getenv("HOME");
    const std::string_view home = homeVariable ? homeVariable : "";
    while (true) {
      PALLIX_ASSIGN_OR_RETURN(bool row, rows.step());
      if (!row) break;
      IndexedItem item = readIndexedItem(rows);
      items.emplace(item.id, std::move(item));
    }
    for (const Candidate& c : chosen) {
      auto it = items.find(c.id);
      if (it == items.end()) continue;
      const int score = scoreHundredths(c.tier, c.bucket, query.exactPhrases.size());
      MatchReason why = fileMatchReason(it->second, query, home);
      page.results.push_back(SearchResult{std::move(it->second), static_cast<float>(score) / 100.0f,
                                          kTierMatchType[static_cast<size_t>(c.tier)], std::move(why)});
    }
  }

  if (capped && limit > kFilterOnlyLimit && page.results.size() == static_cast<size_t>(kFilterOnlyLimit)) {
    PALLIX_ASSIGN_OR_RETURN(int64_t matches, countMatching(db, query, context, kMatchCountBound));
    if (matches > kFilterOnlyLimit) page.cut = FileSearchCut{kFilterOnlyLimit, matches, matches >= kMatchCountBound};
  }
  return page;
}

bool FileSearcher::matchesAllFilters(const IndexedItem& item, const ParsedQuery& query, const DateContext& context) {
  for (const Filter& filter : query.excludedFilters) {
    if (matchesFilter(item, filter, context)) return false;
  }
  for (const auto& regex : query.regexes) {
    if (!regex || !matchesNameOrFullName(*regex, item)) return false;
  }
  if (!query.exactPhrases.empty()) {
    const std::string path = filesearch::caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (!contains(path, filesearch::caseFold(phrase))) return false;
    }
  }
  for (const Filter& filter : query.filters) {
    if (!matchesFilter(item, filter, context)) return false;
  }
  return true;
}

bool FileSearcher::matchesFilter(const IndexedItem& item, const Filter& filter, const DateContext& context) {
  switch (filter.key) {
    case FilterKey::ext: {
      if (!item.fileExtension) return false;
      const std::string extension = filesearch::lowercase(*item.fileExtension);
      const std::vector<std::string> entries = filesearch::extensionList(filter.value);
      return std::find(entries.begin(), entries.end(), extension) != entries.end();
    }
    case FilterKey::type: {
      const std::optional<FileCategory> category = fileCategoryFrom(filter.value);
      return category && item.fileCategoryRaw && *item.fileCategoryRaw == fileCategoryRawValue(*category);
    }
    case FilterKey::before:
    case FilterKey::after: {
      const std::optional<Date> date = QueryParser::parseDate(filter.value, context);
      if (!date || !item.modifiedDate) return false;
      return filter.key == FilterKey::before ? *item.modifiedDate < *date : *item.modifiedDate > *date;
    }
    case FilterKey::modified:
    case FilterKey::created: {
      const std::optional<Date>& recordDate = filter.key == FilterKey::modified ? item.modifiedDate : item.createdDate;
      if (!recordDate) return false;
      const std::optional<DateRange> range = filesearch::dateFilterRange(filter.value, context);
      return range && range->start <= *recordDate && *recordDate < range->end;
    }
    case FilterKey::size: {
      const std::optional<int64_t> bytes = filesearch::parseByteCount(filter.value);
      if (!bytes) return false;
      switch (filter.comparison.value_or(Comparison::equal)) {
        case Comparison::equal:
          return item.sizeBytes == *bytes;
        case Comparison::greaterThan:
          return item.sizeBytes > *bytes;
        case Comparison::lessThan:
          return item.sizeBytes < *bytes;
        case Comparison::greaterOrEqual:
          return item.sizeBytes >= *bytes;
        case Comparison::lessOrEqual:
          return item.sizeBytes <= *bytes;
      }
      return false;
    }
    case FilterKey::inFolder: {
      // A value without "/" lies inside one component wherever it occurs in
      // the path; a value with one cannot be inside any component.
      const std::string value = filesearch::lowercase(filter.value);
      return !contains(value, "/") && contains(filesearch::lowercase(item.path), value);
    }
    case FilterKey::app:
      return item.parentBundleIdentifier &&
             contains(filesearch::lowercase(*item.parentBundleIdentifier), filesearch::lowercase(filter.value));
  }
  return false;
}

std::pair<float, FileSearcher::MatchType> FileSearcher::calculateScore(const IndexedItem& item,
                                                                       std::string_view searchText,
                                                                       const ParsedQuery& query,
                                                                       const DateContext& context) {
  const std::string q = foldForSearch(searchText);
  int tier = kFilterOnly;
  int base = kTierScore[kFilterOnly];
  if (!q.empty()) {
    const std::string name = foldForSearch(item.name);
    const std::string nameWithExtension =
        item.fileExtension && !item.fileExtension->empty() ? name + "." + foldForSearch(*item.fileExtension) : name;
    // The text's first occurrence must start inside the name (not in ".pdf").
    const size_t at = nameWithExtension.find(q);
    if (at != std::string::npos && at < name.size()) {
      tier = nameWithExtension == q ? kExact : name == q ? kExactStem : at == 0 ? kPrefix : kSubstring;
      base = kTierScore[static_cast<size_t>(tier)];
    } else if (contains(foldForSearch(item.path), q)) {
      tier = kSubstring;
      base = kFolderMatchScore;
    }
  }
  size_t phrasesInPath = 0;
  if (!query.exactPhrases.empty()) {
    const std::string path = filesearch::caseFold(item.path);
    for (const std::string& phrase : query.exactPhrases) {
      if (contains(path, filesearch::caseFold(phrase))) ++phrasesInPath;
    }
  }
  const int bucket = bucketFor(item.modifiedDate, context);
  const int score = std::min<int>(
      100, base + kPhraseBonus * static_cast<int>(phrasesInPath) + kRecencyBonus[static_cast<size_t>(bucket)]);
  return {static_cast<float>(score) / 100.0f, kTierMatchType[static_cast<size_t>(tier)]};
}

}  // namespace pallix
