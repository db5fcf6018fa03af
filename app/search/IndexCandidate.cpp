#include "app/search/IndexCandidate.h"

#include "app/search/TextFolding.h"
#include "core/Strings.h"

namespace pallix {

namespace {

bool underDirectory(const std::string& path, std::string_view directory) {
  return path == directory ||
         (startsWith(path, directory) && path.size() > directory.size() && path[directory.size()] == '/');
}

bool sameDate(const std::optional<Date>& a, const std::optional<Date>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || secondsSince1970(*a) == secondsSince1970(*b);
}

}  // namespace

std::string IndexCandidate::url() const {
  IndexedItem item;
  item.path = canonicalPath;
  return item.url();
}

bool IndexCandidate::isPreferred(const IndexCandidate& other) const {
  if (*this == other) return false;
  if (domainPriority != other.domainPriority) return domainPriority > other.domainPriority;
  if (modifiedDate && other.modifiedDate && *modifiedDate != *other.modifiedDate) {
    return *modifiedDate > *other.modifiedDate;
  }
  if (parentBundleIdentifier.has_value() != other.parentBundleIdentifier.has_value()) {
    return !parentBundleIdentifier.has_value();
  }
  if (canonicalPath.size() != other.canonicalPath.size()) return canonicalPath.size() < other.canonicalPath.size();
  return canonicalPath < other.canonicalPath;
}

IndexedItem IndexCandidate::makeItem(Date lastIndexed) const {
  IndexedItem item;
  applyTo(item, lastIndexed);
  return item;
}

IndexedItem IndexCandidate::takeItem(Date lastIndexed) {
  IndexedItem item;
  item.path = std::move(canonicalPath);
  item.itemTypeRaw = itemTypeRawValue(itemType);
  item.searchName = foldForSearch(name);
  item.name = std::move(name);
  item.fileExtension = std::move(fileExtension);
  item.sizeBytes = sizeBytes;
  item.createdDate = createdDate;
  item.modifiedDate = modifiedDate;
  item.lastIndexed = lastIndexed;
  item.bundleIdentifier = std::move(bundleIdentifier);
  item.version = std::move(version);
  item.build = std::move(build);
  item.domainPriority = domainPriority;
  if (fileCategory) item.fileCategoryRaw = fileCategoryRawValue(*fileCategory);
  item.parentBundleIdentifier = std::move(parentBundleIdentifier);
  item.keywords = std::move(keywords);
  item.lastUsed = lastUsed;
  return item;
}

bool IndexCandidate::matches(const IndexedItem& item) const {
  std::optional<std::string> category;
  if (fileCategory) category = fileCategoryRawValue(*fileCategory);
  return item.path == canonicalPath && item.itemTypeRaw == itemTypeRawValue(itemType) && item.name == name &&
         item.fileExtension == fileExtension && item.sizeBytes == sizeBytes &&
         sameDate(item.createdDate, createdDate) && sameDate(item.modifiedDate, modifiedDate) &&
         item.bundleIdentifier == bundleIdentifier && item.version == version && item.build == build &&
         item.domainPriority == domainPriority && item.fileCategoryRaw == category &&
         item.parentBundleIdentifier == parentBundleIdentifier && item.keywords == keywords;
}

void IndexCandidate::applyTo(IndexedItem& item, Date lastIndexed) const {
  item.path = canonicalPath;
  item.itemTypeRaw = itemTypeRawValue(itemType);
  if (item.name != name || item.searchName.empty()) {
    item.name = name;
    item.searchName = foldForSearch(name);
  }
  item.fileExtension = fileExtension;
  item.sizeBytes = sizeBytes;
  item.createdDate = createdDate;
  item.modifiedDate = modifiedDate;
  item.lastIndexed = lastIndexed;
  item.bundleIdentifier = bundleIdentifier;
  item.version = version;
  item.build = build;
  item.domainPriority = domainPriority;
  if (fileCategory) {
    item.fileCategoryRaw = fileCategoryRawValue(*fileCategory);
  } else {
    item.fileCategoryRaw.reset();
  }
  item.parentBundleIdentifier = parentBundleIdentifier;
  item.keywords = keywords;
  if (lastUsed && (!item.lastUsed || *item.lastUsed < *lastUsed)) item.lastUsed = lastUsed;
}

int64_t appDomainPriority(const std::string& path, const std::string& home) {
  if (underDirectory(path, "/System/Applications") ||
      underDirectory(path, "/System/Cryptexes/App/System/Applications")) {
    return 5;
  }
  if (underDirectory(path, "/Applications")) return 4;
  if (startsWith(path, "/System/Library/CoreServices/")) return 3;
  if (!home.empty()) {
    std::string homeApps = home + "/Applications/";
    if (startsWith(path, homeApps) && path.size() > homeApps.size()) return 2;
  }
  return 1;
}

std::optional<std::string> owningApplicationIdentifier(std::string_view path, std::string_view home) {
  // The component after the prefix, when something lies below it.
  auto idBelow = [&](std::string_view prefix) -> std::optional<std::string> {
    if (prefix.empty() || !startsWith(path, prefix)) return std::nullopt;
    std::string_view rest = path.substr(prefix.size());
    size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == rest.size()) return std::nullopt;
    return std::string(rest.substr(0, slash));
  };
  if (auto id = idBelow("/var/lib/flatpak/app/")) return id;
  if (auto id = idBelow("/snap/")) return id;
  while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
  if (home.empty() || home == "/" || !startsWith(path, home) || path.size() <= home.size() ||
      path[home.size()] != '/') {
    return std::nullopt;
  }
  const std::string_view below = path.substr(home.size());
  for (std::string_view prefix : {"/.var/app/", "/.local/share/flatpak/app/", "/snap/"}) {
    if (!startsWith(below, prefix)) continue;
    return idBelow(std::string(home) + std::string(prefix));
  }
  return std::nullopt;
}

std::optional<std::string> lowercasedExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  return asciiLowercase(name.substr(dot + 1));
}

std::string displayNameForPath(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == last.size()) return std::string(last);
  return std::string(last.substr(0, dot));
}

IndexCandidate candidateFromItem(const IndexedItem& item) {
  IndexCandidate c;
  c.name = item.name;
  c.bundleIdentifier = item.bundleIdentifier;
  c.version = item.version;
  c.build = item.build;
  c.canonicalPath = item.path;
  c.domainPriority = item.domainPriority;
  c.itemType = item.itemType();
  c.fileExtension = item.fileExtension;
  c.sizeBytes = item.sizeBytes;
  c.createdDate = item.createdDate;
  c.modifiedDate = item.modifiedDate;
  c.fileCategory = item.fileCategory();
  c.parentBundleIdentifier = item.parentBundleIdentifier;
  return c;
}

}  // namespace pallix
