#include "tests/query/FileSearchModel.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "app/search/TextFolding.h"
#include "core/Strings.h"

namespace pallix::testing {

namespace {

// ICU lowercase (root locale), or full case folding.
std::string icuCase(const std::string& text, bool fold) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  fold ? u.foldCase() : u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}
std::string lower(const std::string& text) {
  return icuCase(text, false);
}
std::string caseFolded(const std::string& text) {
  return icuCase(text, true);
}
bool has(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// A filter's value read once per query: lowercased, as a date, as a range.
struct ModelFilter {
  Filter filter;
  std::string value;
  std::optional<Date> date;
  std::optional<DateRange> range;
};

ModelFilter modelFilterFor(const Filter& filter, const DateContext& context) {
  ModelFilter f{filter, lower(filter.value), QueryParser::parseDate(filter.value, context), std::nullopt};
  if (auto relative = relativeDateFrom(filter.value)) {
    f.range = relativeDateRange(*relative, context);
  } else if (f.date) {
    f.range = calendarDayRange(*f.date, context);
  }
  return f;
}

bool modelMatches(const ModelRow& row, const ModelFilter& f) {
  const IndexedItem& item = row.item;
  switch (f.filter.key) {
    case FilterKey::ext: {
      if (!item.fileExtension) return false;
      for (const std::string& entry : splitString(f.value, ',')) {
        if (!entry.empty() && std::string(trimWhitespace(entry)) == *item.fileExtension) return true;
      }
      return false;
    }
    case FilterKey::type: {
      auto category = fileCategoryFrom(f.filter.value);
      return category && item.fileCategoryRaw == std::string(fileCategoryRawValue(*category));
    }
    case FilterKey::before:
    case FilterKey::after:
      if (!f.date || !item.modifiedDate) return false;
      return f.filter.key == FilterKey::before ? *item.modifiedDate < *f.date : *item.modifiedDate > *f.date;
    case FilterKey::modified:
    case FilterKey::created: {
      const auto& recordDate = f.filter.key == FilterKey::modified ? item.modifiedDate : item.createdDate;
      return recordDate && f.range && f.range->start <= *recordDate && *recordDate < f.range->end;
    }
    case FilterKey::size: {
      const int64_t b = std::stoll(f.filter.value), s = item.sizeBytes;
      // clang-format off
      switch (f.filter.comparison.value_or(Comparison::equal)) {
        case Comparison::equal: return s == b;
        case Comparison::greaterThan: return s > b;
        case Comparison::lessThan: return s < b;
        case Comparison::greaterOrEqual: return s >= b;
        case Comparison::lessOrEqual: return s <= b;
      }
      // clang-format on
      return false;
    }
    case FilterKey::inFolder:
      for (const std::string& component : splitString(row.pathLower, '/')) {
        if (has(component, f.value)) return true;
      }
      return false;
    case FilterKey::app:
      return item.parentBundleIdentifier && has(row.bundleLower, f.value);
  }
  return false;
}

}  // namespace

ModelRow modelRow(const IndexedItem& item) {
  ModelRow row{item, foldForSearch(item.name), "", lower(item.path), caseFolded(item.path), ""};
  row.nameWithExtension = item.fileExtension ? row.name + "." + foldForSearch(*item.fileExtension) : row.name;
  if (item.parentBundleIdentifier) row.bundleLower = lower(*item.parentBundleIdentifier);
  return row;
}

// Brute force: filter and score every row (in id order), then stable-sort by
// score, match tier and modification date (newest first, undated last).
std::vector<ModelResult> modelSearch(const std::vector<ModelRow>& rows, const ParsedQuery& query, int limit,
                                     const DateContext& context) {
  const std::string q = foldForSearch(joinStrings(query.textTerms, " "));
  int effective = limit;
  if (query.textTerms.empty() && query.exactPhrases.empty()) effective = std::min(effective, 100);
  const std::string type = query.itemType == IndexedItem::ItemType::app      ? "app"
                           : query.itemType == IndexedItem::ItemType::folder ? "folder"
                                                                             : "file";
  std::vector<ModelFilter> filters, excluded;
  for (const auto& f : query.filters) filters.push_back(modelFilterFor(f, context));
  for (const auto& f : query.excludedFilters) excluded.push_back(modelFilterFor(f, context));
  std::vector<std::string> phrases;
  for (const auto& phrase : query.exactPhrases) phrases.push_back(caseFolded(phrase));
  std::vector<ModelResult> results;
  for (const ModelRow& row : rows) {
    if (row.item.itemTypeRaw != type) continue;
    double score = 0.5;
    FileMatchType matchType = FileMatchType::filterOnly;
    bool stemOnly = false;
    if (!q.empty()) {
      const size_t at = row.nameWithExtension.find(q);
      if (at == std::string::npos || at >= row.name.size()) continue;  // only inside the name
      if (row.name == q || row.nameWithExtension == q) {
        score = 1.0, matchType = FileMatchType::exact;
        stemOnly = row.nameWithExtension != q;
      } else if (at == 0) {
        score = 0.9, matchType = FileMatchType::prefix;
      } else {
        score = 0.8, matchType = FileMatchType::substring;
      }
    }
    bool ok = true;
    for (const auto& f : filters) ok = ok && modelMatches(row, f);
    for (const auto& f : excluded) ok = ok && !modelMatches(row, f);
    for (const auto& phrase : phrases) ok = ok && has(row.pathCaseFolded, phrase);
    const std::string shown = row.item.fileExtension && !row.item.fileExtension->empty()
                                  ? row.item.name + "." + *row.item.fileExtension
                                  : row.item.name;
    for (const auto& regex : query.regexes) ok = ok && (regex->findIn(row.item.name) || regex->findIn(shown));
    if (!ok) continue;
    score += 0.1 * static_cast<double>(query.exactPhrases.size());
    int bucket = 3;
    if (row.item.modifiedDate) {
      const double days = toSeconds(context.now - *row.item.modifiedDate) / 86400;
      bucket = days < 1 ? 0 : days < 7 ? 1 : days < 30 ? 2 : 3;
    }
    score += std::array<double, 4>{0.15, 0.1, 0.05, 0}[static_cast<size_t>(bucket)];
    std::optional<double> modified;
    if (row.item.modifiedDate) modified = secondsSince1970(*row.item.modifiedDate);
    results.push_back({row.item.path, static_cast<float>(std::min(1.0, score)), matchType, modified, stemOnly});
  }
  std::stable_sort(results.begin(), results.end(), [](const ModelResult& a, const ModelResult& b) {
    return std::tuple(-a.score, a.type, a.exactWithoutExtension, !a.modified, -a.modified.value_or(0)) <
           std::tuple(-b.score, b.type, b.exactWithoutExtension, !b.modified, -b.modified.value_or(0));
  });
  if (results.size() > static_cast<size_t>(effective)) results.resize(static_cast<size_t>(effective));
  return results;
}

}  // namespace pallix::testing
