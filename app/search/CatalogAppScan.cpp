// The app side of a catalog scan: app bundles below the application
// folders, desktop entries of the XDG application directories, and the
// reduction of both to one record per app. Runs on the scanning thread as
// part of CatalogScanner::scan.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "app/search/AppBundleReader.h"
#include "app/search/CatalogScanSupport.h"
#include "app/search/CatalogScanner.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

using namespace catalogscan;

namespace {

class XdgApplicationEntrySource final : public ApplicationEntrySource {
 public:
  XdgApplicationEntrySource(DataDirectories dirs, DesktopLocale locale, std::string searchPath)
      : dirs_(std::move(dirs)), locale_(std::move(locale)), searchPath_(std::move(searchPath)) {}
  std::vector<ApplicationDirectory> directories() override { return desktopApplicationDirectories(dirs_); }
  Result<DesktopEntry> parse(const std::string& path, const std::string& id) override {
    return parseDesktopEntry(path, id, locale_);
  }
  bool isInstalled(const DesktopEntry& entry) override { return isTryExecInstalled(entry, searchPath_); }

 private:
  DataDirectories dirs_;
  DesktopLocale locale_;
  std::string searchPath_;
};

// What app search matches after the name: the generic name, the untranslated
// name and the keywords, once each. Stored one per line.
std::vector<std::string> searchKeywords(const DesktopEntry& entry) {
  std::vector<std::string> candidates;
  if (entry.genericName) candidates.push_back(*entry.genericName);
  candidates.push_back(entry.untranslatedName);
  candidates.insert(candidates.end(), entry.keywords.begin(), entry.keywords.end());
  std::vector<std::string> out;
  for (std::string& keyword : candidates) {
    std::replace(keyword.begin(), keyword.end(), '\n', ' ');
    std::string_view trimmed = trimWhitespace(keyword);
    if (trimmed.empty() || trimmed == entry.name) continue;
    if (std::find(out.begin(), out.end(), trimmed) == out.end()) out.emplace_back(trimmed);
  }
  return out;
}

bool isNestedBundleAllowed(const std::string& identifier) {
  return asciiLowercase(identifier) == "com.apple.dt.xcode";
}

}  // namespace

std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs, DesktopLocale locale,
                                                                      std::string searchPath) {
  return std::make_unique<XdgApplicationEntrySource>(dirs, std::move(locale), std::move(searchPath));
}

std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs) {
  const char* path = std::getenv("PATH");
  return makeXdgApplicationEntrySource(dirs, DesktopLocale::fromEnvironment(), path ? path : "");
}

void CatalogScanner::walkApps(int dirFd, std::string& path, int depth, std::vector<IndexCandidate>& out) {
  forEachEntry(dirFd, [&](int fd, const struct dirent* entry) {
    const char* name = entry->d_name;
    if (name[0] == '.') return true;
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return true;
    const size_t length = path.size();
    path.push_back('/');
    path.append(name);
    if (hasAppSuffix(name)) {
      if (auto c = bundleCandidate(path, std::nullopt)) {
        if (c->bundleIdentifier && isNestedBundleAllowed(*c->bundleIdentifier)) {
          scanNestedBundles(path, *c->bundleIdentifier, out);
        }
        out.push_back(std::move(*c));
      }
    } else if (depth < 8) {
      int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walkApps(child, path, depth + 1, out);
    }
    path.resize(length);
    return true;
  });
}

void CatalogScanner::scanAppDirectory(const std::string& root, std::vector<IndexCandidate>& out,
                                      std::vector<std::string>& failed) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) failed.push_back(root);
    return;
  }
  std::string path = root;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  walkApps(fd, path, 0, out);
}

std::optional<IndexCandidate> CatalogScanner::desktopCandidate(const std::string& path, const std::string& id,
                                                               int64_t priority, bool* hidden) {
  *hidden = false;
  auto entry = entries_->parse(path, id);
  if (!entry.ok()) {
    // Broken entries are common among installed packages; a FIFO or a device
    // where an entry should be is not, and the user should hear of it.
    if (isSpecialFileDesktopEntryError(entry.error())) {
      logger_.error("Skipping desktop entry %s: %s", path.c_str(), entry.error().description().c_str());
    } else {
      logger_.debug("Skipping desktop entry %s: %s", path.c_str(), entry.error().description().c_str());
    }
    return std::nullopt;
  }
  // An entry whose program is missing hides the ID like a hidden one: it is
  // the installed system's own word on that application.
  if (entry->hidden || entry->noDisplay || entry->type != "Application" || !entries_->isInstalled(*entry)) {
    *hidden = true;
    return std::nullopt;
  }
  struct statx st;
  if (!statAt(AT_FDCWD, path.c_str(), st)) return std::nullopt;
  IndexCandidate c;
  c.canonicalPath = path;
  c.itemType = IndexedItem::ItemType::app;
  c.name = entry->name.empty() ? std::string(lastComponent(path)) : entry->name;
  c.bundleIdentifier = entry->id;
  c.version = entry->version;
  c.keywords = searchKeywords(*entry);
  c.domainPriority = priority;
  c.sizeBytes = static_cast<int64_t>(st.stx_size);
  if (st.stx_mask & STATX_MTIME) c.modifiedDate = dateFrom(st.stx_mtime);
  if (st.stx_mask & STATX_BTIME) c.createdDate = dateFrom(st.stx_btime);
  return c;
}

namespace {

// Every "*.desktop" file below `root` as (path, desktop-file ID).
void collectDesktopFiles(const std::string& root, const std::string& prefix, int depth,
                         std::vector<std::pair<std::string, std::string>>& out) {
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    std::string path = root + "/" + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (depth < 4) collectDesktopFiles(path, prefix + name + "-", depth + 1, out);
    } else if (endsWith(name, ".desktop")) {
      out.emplace_back(path, prefix + name);
    }
  }
  ::closedir(dir);
}

}  // namespace

void CatalogScanner::scanDesktopEntries(std::vector<IndexCandidate>& out) {
  if (!entries_) return;
  // The first (highest-precedence) directory that holds an ID decides it; a
  // hidden entry there hides every other entry with that ID.
  std::unordered_set<std::string> claimed;
  for (const ApplicationDirectory& directory : entries_->directories()) {
    std::vector<std::pair<std::string, std::string>> files;
    collectDesktopFiles(directory.path, "", 0, files);
    std::sort(files.begin(), files.end());
    for (const auto& [path, id] : files) {
      if (claimed.count(id)) continue;
      bool hidden = false;
      auto candidate = desktopCandidate(path, id, directory.priority, &hidden);
      if (candidate || hidden) claimed.insert(id);
      if (candidate) out.push_back(std::move(*candidate));
    }
  }
}

void CatalogScanner::reduceApps(std::vector<IndexCandidate>& apps) {
  // Same bundle identifier (lowercased) or same path: keep the preferred one.
  std::vector<IndexCandidate> kept;
  std::unordered_map<std::string, size_t> byId;
  std::unordered_map<std::string, size_t> byPath;
  for (IndexCandidate& c : apps) {
    std::optional<size_t> existing;
    if (c.bundleIdentifier) {
      auto it = byId.find(asciiLowercase(*c.bundleIdentifier));
      if (it != byId.end()) existing = it->second;
    }
    if (!existing) {
      auto it = byPath.find(c.canonicalPath);
      if (it != byPath.end()) existing = it->second;
    }
    if (existing) {
      if (c.isPreferred(kept[*existing])) {
        IndexCandidate& slot = kept[*existing];
        if (slot.bundleIdentifier) byId.erase(asciiLowercase(*slot.bundleIdentifier));
        byPath.erase(slot.canonicalPath);
        slot = std::move(c);
        if (slot.bundleIdentifier) byId[asciiLowercase(*slot.bundleIdentifier)] = *existing;
        byPath[slot.canonicalPath] = *existing;
      }
      continue;
    }
    size_t index = kept.size();
    if (c.bundleIdentifier) byId[asciiLowercase(*c.bundleIdentifier)] = index;
    byPath[c.canonicalPath] = index;
    kept.push_back(std::move(c));
  }
  apps = std::move(kept);
}

}  // namespace pallix
