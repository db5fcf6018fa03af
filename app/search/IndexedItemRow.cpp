#include "app/search/IndexedItemRow.h"

#include <array>
#include <optional>

#include "core/Strings.h"

namespace pallix {

namespace {

constexpr std::array<std::string_view, 19> kColumns = {
    "id",        "path",        "itemTypeRaw",  "name",           "searchName",       "fileExtension",
    "sizeBytes", "createdDate", "modifiedDate", "lastIndexed",    "bundleIdentifier", "version",
    "build",     "isPinned",    "lastUsed",     "domainPriority", "fileCategoryRaw",  "parentBundleIdentifier",
    "keywords"};

std::optional<double> optionalSeconds(const std::optional<Date>& date) {
  if (!date) return std::nullopt;
  return secondsSince1970(*date);
}

std::optional<Date> optionalDate(const std::optional<double>& seconds) {
  if (!seconds) return std::nullopt;
  return dateFromSecondsSince1970(*seconds);
}

// Keywords are stored one per line; none is NULL.
std::optional<std::string> joinedKeywords(const std::vector<std::string>& keywords) {
  if (keywords.empty()) return std::nullopt;
  return joinStrings(keywords, "\n");
}

std::vector<std::string> splitKeywords(const std::optional<std::string>& text) {
  std::vector<std::string> keywords;
  if (!text) return keywords;
  for (std::string& keyword : splitString(*text, '\n')) {
    if (!keyword.empty()) keywords.push_back(std::move(keyword));
  }
  return keywords;
}

}  // namespace

std::string indexedItemColumns(std::string_view alias) {
  std::string columns;
  for (std::string_view column : kColumns) {
    if (!columns.empty()) columns += ", ";
    if (!alias.empty()) columns.append(alias).append(".");
    columns.append(column);
  }
  return columns;
}

IndexedItem readIndexedItem(const SqliteStatement& s) {
  IndexedItem item;
  item.id = s.columnInt(0);
  item.path = s.columnText(1);
  item.itemTypeRaw = s.columnText(2);
  item.name = s.columnText(3);
  item.searchName = s.columnText(4);
  item.fileExtension = s.columnOptionalText(5);
  item.sizeBytes = s.columnInt(6);
  item.createdDate = optionalDate(s.columnOptionalDouble(7));
  item.modifiedDate = optionalDate(s.columnOptionalDouble(8));
  item.lastIndexed = dateFromSecondsSince1970(s.columnDouble(9));
  item.bundleIdentifier = s.columnOptionalText(10);
  item.version = s.columnOptionalText(11);
  item.build = s.columnOptionalText(12);
  item.isPinned = s.columnInt(13) != 0;
  item.lastUsed = optionalDate(s.columnOptionalDouble(14));
  item.domainPriority = s.columnInt(15);
  item.fileCategoryRaw = s.columnOptionalText(16);
  item.parentBundleIdentifier = s.columnOptionalText(17);
  item.keywords = splitKeywords(s.columnOptionalText(18));
  return item;
}

void bindIndexedItem(SqliteStatement& s, const IndexedItem& item) {
  s.bind(1, std::string_view(item.path));
  s.bind(2, std::string_view(item.itemTypeRaw));
  s.bind(3, std::string_view(item.name));
  s.bind(4, std::string_view(item.searchName));
  s.bind(5, item.fileExtension);
  s.bind(6, item.sizeBytes);
  s.bindOptional(7, optionalSeconds(item.createdDate));
  s.bindOptional(8, optionalSeconds(item.modifiedDate));
  s.bind(9, secondsSince1970(item.lastIndexed));
  s.bind(10, item.bundleIdentifier);
  s.bind(11, item.version);
  s.bind(12, item.build);
  s.bind(13, static_cast<int64_t>(item.isPinned ? 1 : 0));
  s.bindOptional(14, optionalSeconds(item.lastUsed));
  s.bind(15, item.domainPriority);
  s.bind(16, item.fileCategoryRaw);
  s.bind(17, item.parentBundleIdentifier);
  s.bind(18, joinedKeywords(item.keywords));
}

}  // namespace pallix
