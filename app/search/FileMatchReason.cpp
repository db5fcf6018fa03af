#include "app/search/FileMatchReason.h"

#include <optional>

#include "app/search/FileSearchSql.h"
#include "app/search/RegexCache.h"
#include "app/search/TextFolding.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr std::string_view kInFolder = "in folder ";
constexpr std::string_view kSeparator = " \u00B7 ";

std::string datePhrase(const char* verb, const std::string& value) {
  const std::optional<RelativeDate> relative = relativeDateFrom(value);
  if (!relative) return std::string(verb) + " " + value;
  switch (*relative) {
    case RelativeDate::today:
      return std::string(verb) + " today";
    case RelativeDate::yesterday:
      return std::string(verb) + " yesterday";
    case RelativeDate::week:
      return std::string(verb) + " this week";
    case RelativeDate::month:
      return std::string(verb) + " this month";
    case RelativeDate::year:
      return std::string(verb) + " this year";
    case RelativeDate::lastWeek:
      return std::string(verb) + " last week";
    case RelativeDate::lastMonth:
      return std::string(verb) + " last month";
    case RelativeDate::lastYear:
      return std::string(verb) + " last year";
  }
  return std::string(verb) + " " + value;
}

std::string sizePhrase(const Filter& filter) {
  const std::optional<int64_t> bytes = filesearch::parseByteCount(filter.value);
  if (!bytes) return "";
  const std::string size = humanSize(*bytes);
  switch (filter.comparison.value_or(Comparison::equal)) {
    case Comparison::equal:
      return size;
    case Comparison::greaterThan:
      return "larger than " + size;
    case Comparison::lessThan:
      return "smaller than " + size;
    case Comparison::greaterOrEqual:
      return "at least " + size;
    case Comparison::lessOrEqual:
      return "at most " + size;
  }
  return size;
}

}  // namespace

std::string fileDisplayTitle(const IndexedItem& item) {
  std::string title = item.name;
  if (item.fileExtension && !item.fileExtension->empty() && !endsWith(title, "." + *item.fileExtension)) {
    title += "." + *item.fileExtension;
  }
  return title;
}

std::string parentFolderShown(std::string_view path, std::string_view home) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos || slash == 0) return "/";
  std::string folder(path.substr(0, slash));
  while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
  if (!home.empty() && folder.rfind(home, 0) == 0 && (folder.size() == home.size() || folder[home.size()] == '/')) {
    folder = "~" + folder.substr(home.size());
  }
  return folder;
}

std::string filterPhrase(const Filter& filter, const IndexedItem& item, bool excluded) {
  std::string phrase;
  switch (filter.key) {
    case FilterKey::ext:
      phrase = !excluded && item.fileExtension ? filesearch::lowercase(*item.fileExtension)
                                               : filesearch::lowercase(filter.value);
      break;
    case FilterKey::type:
      phrase = filesearch::lowercase(filter.value);
      break;
    case FilterKey::before:
      phrase = "modified before " + filter.value;
      break;
    case FilterKey::after:
      phrase = "modified after " + filter.value;
      break;
    case FilterKey::modified:
      phrase = datePhrase("modified", filter.value);
      break;
    case FilterKey::created:
      phrase = datePhrase("created", filter.value);
      break;
    case FilterKey::size:
      phrase = sizePhrase(filter);
      break;
    case FilterKey::app:
      phrase = "in app " + (!excluded && item.parentBundleIdentifier ? *item.parentBundleIdentifier : filter.value);
      break;
    default:  // in: names a folder, shown as one.
      return "";
  }
  return phrase.empty() || !excluded ? phrase : "not " + phrase;
}

MatchReason fileMatchReason(const IndexedItem& item, const ParsedQuery& query, std::string_view home) {
  MatchReason reason;
  const std::string title = fileDisplayTitle(item);
  const std::string folder = parentFolderShown(item.path, home);
  std::vector<ByteRange> inName, inFolder;
  // The words as the search compares them; a phrase, or an in: value, in the
  // name or else in the folder.
  std::vector<std::string> needles;
  if (!query.textTerms.empty()) needles.push_back(foldForSearch(joinStrings(query.textTerms, " ")));
  for (const std::string& phrase : query.exactPhrases) needles.push_back(foldForSearch(phrase));
  for (const std::string& needle : needles) {
    if (auto at = findFolded(title, needle)) {
      inName.push_back(*at);
    } else if (auto there = findFolded(folder, needle)) {
      inFolder.push_back(*there);
    }
  }
  // A pattern found in the name is shown there; one that matched only the
  // whole path is said in words below.
  std::vector<const CompiledRegex*> regexesInWords;
  for (const auto& regex : query.regexes) {
    if (!regex) continue;
    auto at = regex->findBytesIn(title);
    if (at && at->second > at->first) {
      inName.push_back({at->first, at->second});
    } else {
      regexesInWords.push_back(regex.get());
    }
  }
  for (const Filter& filter : query.filters) {
    if (filter.key != FilterKey::inFolder) continue;
    if (auto there = findFolded(folder, foldForSearch(filter.value))) inFolder.push_back(*there);
  }
  // Words the name holds in a way folding cannot place still matched it.
  if (!inName.empty() || (!needles.empty() && inFolder.empty())) {
    reason.kind = MatchReason::Kind::name;
    reason.text = title;
    reason.nameBytes = title.size();
    reason.highlights = textSpans(reason.text, inName);
  }
  if (!inFolder.empty()) {
    if (reason.kind == MatchReason::Kind::none) reason.kind = MatchReason::Kind::folder;
    for (ByteRange& r : inFolder) r = {r.start + kInFolder.size(), r.end + kInFolder.size()};
    appendReasonPart(reason, std::string(kInFolder) + folder, inFolder);
  }
  if (query.itemType && *query.itemType != IndexedItem::ItemType::file) {
    appendReasonPart(reason, itemTypeRawValue(*query.itemType));
  }
  for (const Filter& filter : query.filters) appendReasonPart(reason, filterPhrase(filter, item, false));
  for (const Filter& filter : query.excludedFilters) appendReasonPart(reason, filterPhrase(filter, item, true));
  for (const CompiledRegex* regex : regexesInWords) appendReasonPart(reason, "matches /" + regex->pattern() + "/");
  if (reason.kind == MatchReason::Kind::none && !reason.text.empty()) reason.kind = MatchReason::Kind::filters;
  return reason;
}

FileRowLines fileRowLines(const FileSearchResult& result, std::string_view home) {
  FileRowLines lines;
  lines.title = fileDisplayTitle(result.item);
  const std::string folder = parentFolderShown(result.item.path, home);
  const MatchReason& why = result.why;
  std::string_view rest = why.text;
  std::vector<ByteRange> restRanges = byteRanges(why.highlights);
  if (why.kind == MatchReason::Kind::name || (why.nameBytes > 0 && why.text.rfind(lines.title, 0) == 0)) {
    std::vector<ByteRange> name;
    for (const ByteRange& r : restRanges) {
      if (r.start < why.nameBytes) name.push_back({r.start, std::min(r.end, why.nameBytes)});
    }
    lines.titleHighlights = textSpans(lines.title, name);
    size_t skip = std::min(why.nameBytes, rest.size());
    if (rest.substr(skip).rfind(kSeparator, 0) == 0) skip += kSeparator.size();
    rest.remove_prefix(skip);
    std::vector<ByteRange> shifted;
    for (const ByteRange& r : restRanges) {
      if (r.end > skip) shifted.push_back({std::max(r.start, skip) - skip, r.end - skip});
    }
    restRanges = std::move(shifted);
  }
  // The folder stays on the second line unless the reason names it, or
  // shows a passage of the content instead.
  const bool restNamesFolder = rest.rfind(kInFolder, 0) == 0;
  const bool passageOnly = why.kind == MatchReason::Kind::passage;
  if (restNamesFolder || passageOnly) {
    lines.detail = std::string(rest);
  } else {
    lines.detail = folder;
    if (!rest.empty()) {
      const size_t shift = folder.size() + kSeparator.size();
      lines.detail += std::string(kSeparator) + std::string(rest);
      for (ByteRange& r : restRanges) r = {r.start + shift, r.end + shift};
    }
  }
  if (lines.detail.empty()) lines.detail = folder;
  lines.detailHighlights = textSpans(lines.detail, restRanges);
  return lines;
}

}  // namespace pallix
