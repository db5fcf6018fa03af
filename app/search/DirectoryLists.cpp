#include "app/search/DirectoryLists.h"

#include <algorithm>
#include <filesystem>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& path) {
  return std::find(list.begin(), list.end(), path) != list.end();
}

}  // namespace

DirectoryLists::DirectoryLists(UserDefaults& defaults, DataDirectories dirs,
                               std::vector<std::string> baseAppDirectories,
                               std::vector<std::string> applicationEntryDirectories)
    : defaults_(defaults),
      dirs_(std::move(dirs)),
      baseAppDirectories_(std::move(baseAppDirectories)),
      applicationEntryDirectories_(std::move(applicationEntryDirectories)) {
  std::vector<std::string> additional = loadAdditionalAppDirectories();
  std::vector<std::string> files = loadFileDirectories();
  MutexLock lock(mutex_);
  additionalAppDirectories_ = std::move(additional);
  fileDirectories_ = std::move(files);
}

std::string DirectoryLists::standardizePath(const std::string& path) {
  std::filesystem::path p(path);
  std::error_code ec;
  if (p.is_relative()) p = std::filesystem::absolute(p, ec);
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<std::string> DirectoryLists::persistedFileDirectories(const UserDefaults& defaults,
                                                                  const DataDirectories& dirs) {
  if (auto stored = defaults.stringArrayValue(kFileDirectoriesKey)) return *stored;
  std::vector<std::string> defaultsList;
  for (const char* name : {"Documents", "Desktop", "Downloads", "Developer"}) {
    std::string path = dirs.home + "/" + name;
    if (isDirectory(path)) defaultsList.push_back(path);
  }
  return defaultsList;
}

Result<DirectoryLists::FileDirectoryEdit> DirectoryLists::editFileDirectories(UserDefaults& defaults,
                                                                              const DataDirectories& dirs,
                                                                              const std::string& path, bool add) {
  const std::string standardized = standardizePath(path);
  const std::string resolved = resolvedDirectoryPath(standardized);
  std::vector<std::string> list = persistedFileDirectories(defaults, dirs);
  auto listed = std::find_if(list.begin(), list.end(), [&](const std::string& entry) {
    return entry == standardized || resolvedDirectoryPath(entry) == resolved;
  });
  FileDirectoryEdit edit;
  edit.path = resolved;
  if (add) {
    if (!isDirectory(standardized)) {
      return Error("IndexingServiceError", 1, inQuotes(standardized) + " does not exist or is not a directory");
    }
    if (listed != list.end()) {
      if (defaults.stringArrayValue(kFileDirectoriesKey)) {
        std::string as = *listed == standardized ? "" : " as " + inQuotes(*listed);
        return Error("IndexingServiceError", 2, inQuotes(standardized) + " is already indexed" + as);
      }
      // A default folder: the defaults become the explicit list.
      edit.path = *listed;
      edit.wasDefault = true;
    } else {
      for (const std::string& entry : list) {
        const std::string entryResolved = resolvedDirectoryPath(entry);
        if (startsWith(resolved, entryResolved + "/") || entryResolved == "/") edit.coveringDirectory = entry;
      }
      list.push_back(resolved);
    }
  } else {
    if (listed == list.end()) {
      return Error("IndexingServiceError", 3, inQuotes(standardized) + " is not an indexed folder");
    }
    edit.path = *listed;
    list.erase(listed);
  }
  PALLIX_RETURN_IF_ERROR(defaults.set(kFileDirectoriesKey, list));
  return edit;
}

std::vector<std::string> DirectoryLists::loadAdditionalAppDirectories() const {
  return defaults_.stringArrayValue(kAdditionalAppDirectoriesKey).value_or(std::vector<std::string>{});
}

std::vector<std::string> DirectoryLists::loadFileDirectories() const {
  std::vector<std::string> out;
  for (const std::string& entry : persistedFileDirectories(defaults_, dirs_)) {
    std::string resolved = resolvedDirectoryPath(standardizePath(entry));
    if (!contains(out, resolved)) out.push_back(std::move(resolved));
  }
  return out;
}

std::vector<std::string> DirectoryLists::appDirectories() const {
  std::vector<std::string> out = baseAppDirectories_;
  MutexLock lock(mutex_);
  for (const std::string& extra : additionalAppDirectories_) {
    if (!contains(out, extra)) out.push_back(extra);
  }
  return out;
}

std::vector<std::string> DirectoryLists::userFileDirectories() const {
  MutexLock lock(mutex_);
  return fileDirectories_;
}

ScanDirectories DirectoryLists::scanDirectories() const {
  return ScanDirectories{appDirectories(), distinctFileDirectories(userFileDirectories())};
}

std::vector<std::string> DirectoryLists::watchedDirectories() const {
  std::vector<std::string> out;
  const ScanDirectories directories = scanDirectories();
  for (const auto& list : {directories.appDirectories, directories.fileDirectories}) {
    for (const std::string& path : list) {
      if (isDirectory(path)) out.push_back(path);
    }
  }
  for (const std::string& path : applicationEntryDirectories_) {
    if (isDirectory(path) && !contains(out, path)) out.push_back(path);
  }
  return out;
}

bool DirectoryLists::coversPath(const std::string& path) const {
  auto below = [&](const std::vector<std::string>& list) {
    return std::any_of(list.begin(), list.end(), [&](const std::string& root) {
      return isPathAtOrBelow(path, root) && path.size() > root.size();
    });
  };
  if (below(baseAppDirectories_) || below(applicationEntryDirectories_)) return true;
  MutexLock lock(mutex_);
  return below(additionalAppDirectories_) || below(fileDirectories_);
}

Status DirectoryLists::addAppDirectory(const std::string& path) {
  std::string standardized = standardizePath(path);
  if (!isDirectory(standardized)) {
    return Error("IndexingServiceError", 1, inQuotes(standardized) + " does not exist or is not a directory");
  }
  std::vector<std::string> list;
  {
    MutexLock lock(mutex_);
    list = additionalAppDirectories_;
  }
  if (contains(list, standardized)) {
    return Error("IndexingServiceError", 2, inQuotes(standardized) + " is already listed");
  }
  list.push_back(standardized);
  return defaults_.set(kAdditionalAppDirectoriesKey, list);
}

Status DirectoryLists::removeAppDirectory(const std::string& path) {
  std::string standardized = standardizePath(path);
  std::vector<std::string> list;
  {
    MutexLock lock(mutex_);
    list = additionalAppDirectories_;
  }
  auto it = std::find(list.begin(), list.end(), standardized);
  if (it == list.end()) return Error("IndexingServiceError", 3, inQuotes(standardized) + " is not listed");
  list.erase(it);
  return defaults_.set(kAdditionalAppDirectoriesKey, list);
}

Status DirectoryLists::addFileDirectory(const std::string& path) {
  auto edited = editFileDirectories(defaults_, dirs_, path, true);
  if (!edited.ok()) return edited.error();
  return okStatus();
}

Status DirectoryLists::removeFileDirectory(const std::string& path) {
  auto edited = editFileDirectories(defaults_, dirs_, path, false);
  if (!edited.ok()) return edited.error();
  return okStatus();
}

bool DirectoryLists::reload() {
  std::vector<std::string> additional = loadAdditionalAppDirectories();
  std::vector<std::string> files = loadFileDirectories();
  MutexLock lock(mutex_);
  if (additional == additionalAppDirectories_ && files == fileDirectories_) return false;
  additionalAppDirectories_ = std::move(additional);
  fileDirectories_ = std::move(files);
  return true;
}

}  // namespace pallix
