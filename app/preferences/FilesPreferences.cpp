#include "app/preferences/FilesPreferences.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace pallix {

namespace fs = std::filesystem;

std::vector<std::string> FilesPreferences::scopeDirectories(SearchScope scope, const DataDirectories& dirs) {
  std::vector<std::string> out;
  if (scope != SearchScope::user) return out;
  for (const char* name : {"Documents", "Desktop", "Downloads", "Developer"}) {
    fs::path candidate = fs::path(dirs.home) / name;
    std::error_code ec;
    if (fs::is_directory(candidate, ec)) out.push_back(candidate.string());
  }
  return out;
}

std::string FilesPreferences::standardizedFolderPath(const std::string& folder) {
  std::error_code ec;
  fs::path path = fs::absolute(fs::path(folder), ec);
  if (ec) path = fs::path(folder);
  path = path.lexically_normal();
  // weakly_canonical resolves links in the part of the path that exists and
  // keeps the rest, so folders that do not exist yet can still be listed.
  fs::path resolved = fs::weakly_canonical(path, ec);
  if (!ec) path = resolved;
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

FilesPreferences::FilesPreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, kDidChangeNotification),
      searchEnabled_(storage_.loadBool(kSearchEnabledKey, kDefaultSearchEnabled)),
      semanticSearchEnabled_(storage_.loadBool(kSemanticSearchEnabledKey, kDefaultSemanticSearchEnabled)),
      searchScope_(storage_.loadEnum(kSearchScopeKey, kSearchScopeRawValues, kDefaultSearchScope)),
      indexedFolders_(storage_.loadStringArray(kIndexedFoldersKey)),
      computeUnits_(storage_.loadEnum(kComputeUnitsKey, kEmbeddingComputeUnitsRawValues, kDefaultComputeUnits)),
      indexingIntensity_(
          storage_.loadEnum(kIndexingIntensityKey, kIndexingIntensityRawValues, kDefaultIndexingIntensity)) {}

Status FilesPreferences::setSearchEnabled(bool enabled) {
  return storage_.update(
      searchEnabled_, enabled, [&] { return storage_.defaults().set(kSearchEnabledKey, enabled); }, this);
}

Status FilesPreferences::setSemanticSearchEnabled(bool enabled) {
  return storage_.update(
      semanticSearchEnabled_, enabled, [&] { return storage_.defaults().set(kSemanticSearchEnabledKey, enabled); },
      this);
}

Status FilesPreferences::setSearchScope(SearchScope scope) {
  return storage_.update(
      searchScope_, scope, [&] { return storage_.defaults().set(kSearchScopeKey, std::string(rawValue(scope))); },
      this);
}

Status FilesPreferences::setIndexedFolders(std::vector<std::string> folders) {
  return storage_.update(
      indexedFolders_, std::move(folders), [&] { return storage_.defaults().set(kIndexedFoldersKey, indexedFolders_); },
      this);
}

Status FilesPreferences::setComputeUnits(EmbeddingComputeUnits units) {
  return storage_.update(
      computeUnits_, units,
      [&] { return storage_.defaults().set(kComputeUnitsKey, std::string(pallix::rawValue(units))); }, this);
}

Status FilesPreferences::setIndexingIntensity(IndexingIntensity intensity) {
  return storage_.update(
      indexingIntensity_, intensity,
      [&] { return storage_.defaults().set(kIndexingIntensityKey, std::string(pallix::rawValue(intensity))); }, this);
}

Status FilesPreferences::addIndexedFolder(const std::string& folder) {
  std::string path = standardizedFolderPath(folder);
  if (std::find(indexedFolders_.begin(), indexedFolders_.end(), path) != indexedFolders_.end()) return okStatus();
  std::vector<std::string> folders = indexedFolders_;
  folders.push_back(std::move(path));
  return setIndexedFolders(std::move(folders));
}

Status FilesPreferences::removeIndexedFolder(const std::string& folder) {
  std::string path = standardizedFolderPath(folder);
  std::vector<std::string> folders = indexedFolders_;
  folders.erase(std::remove_if(folders.begin(), folders.end(),
                               [&](const std::string& entry) { return standardizedFolderPath(entry) == path; }),
                folders.end());
  return setIndexedFolders(std::move(folders));
}

void FilesPreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const FilesPreferences stored(storage_.defaults(), unheard);
  bool changed = false;
  changed |= PreferenceStorage::adopt(searchEnabled_, stored.searchEnabled_);
  changed |= PreferenceStorage::adopt(semanticSearchEnabled_, stored.semanticSearchEnabled_);
  changed |= PreferenceStorage::adopt(searchScope_, stored.searchScope_);
  changed |= PreferenceStorage::adopt(indexedFolders_, stored.indexedFolders_);
  changed |= PreferenceStorage::adopt(computeUnits_, stored.computeUnits_);
  changed |= PreferenceStorage::adopt(indexingIntensity_, stored.indexingIntensity_);
  if (changed) storage_.renewVersionAndPost(this);
}

}  // namespace pallix
