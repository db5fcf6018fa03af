// The file walk, the hand-out of candidates and single-path examination.
// The app and desktop-entry walks are in CatalogAppScan.cpp and the snapshot
// signature in SnapshotSignature.cpp; the directory helpers they share are
// inline in CatalogScanSupport.h, so the walk's inner loop still inlines them.
#include "app/search/CatalogScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "app/search/AppBundleReader.h"
#include "app/search/CatalogScanSupport.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

using namespace catalogscan;

namespace {

constexpr size_t kProgressInterval = 4096;

// The target of the link at `path`: its path with every link resolved, and
// its metadata. The kernel resolves the whole path in one walk (a descriptor
// opened for the target, named by /proc/self/fd) where realpath() would ask
// for every component of it; realpath() remains for a system without /proc.
bool resolveLink(const std::string& path, std::string& target, struct statx& st) {
  char buffer[PATH_MAX];
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  char procPath[40];
  std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  const ssize_t length = ::readlink(procPath, buffer, sizeof buffer - 1);
  const bool stated = ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC,
                              STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &st) == 0;
  ::close(fd);
  if (length > 0 && buffer[0] == '/' && stated) {
    target.assign(buffer, static_cast<size_t>(length));
    return true;
  }
  if (!::realpath(path.c_str(), buffer)) return false;
  target = buffer;
  return statAt(AT_FDCWD, target.c_str(), st);
}

// The path a link's text names, read as written: from the link's folder,
// climbing only by leading ".." components. A walked folder holds no links
// among its ancestors, so when that path is one the walk listed, it is the
// link's resolved target. False for a text that climbs after descending
// ("a/../b", where "a" may be a link) or that cannot be read.
bool lexicalLinkTarget(const std::string& link, std::string& out) {
  char text[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), text, sizeof text);
  if (length <= 0 || length == static_cast<ssize_t>(sizeof text)) return false;
  std::string_view rest(text, static_cast<size_t>(length));
  if (rest.front() == '/') {
    out.clear();
  } else {
    out.assign(link, 0, link.rfind('/'));
  }
  bool descended = false;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (descended) return false;
      const size_t parent = out.rfind('/');
      if (parent == std::string::npos) return false;
      out.resize(parent);
      continue;
    }
    descended = true;
    out.push_back('/');
    out.append(component);
  }
  return descended;
}

class SystemDirectoryOpener final : public DirectoryOpener {
 public:
  int openDirectory(int dirFd, const char* name, const std::string&) override {
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
};

SystemDirectoryOpener& systemDirectoryOpener() {
  static SystemDirectoryOpener opener;
  return opener;
}

// Fills a file or folder candidate from its stat record.
IndexCandidate fileCandidate(const std::string& path, std::string_view name, const struct statx& st,
                             std::string_view home) {
  IndexCandidate c;
  const bool isDir = S_ISDIR(st.stx_mode);
  c.canonicalPath = path;
  c.name = displayNameForPath(name);
  c.itemType = isDir ? IndexedItem::ItemType::folder : IndexedItem::ItemType::file;
  if (!isDir) {
    c.fileExtension = lowercasedExtension(name);
    c.sizeBytes = static_cast<int64_t>(st.stx_size);
    c.fileCategory = c.fileExtension ? fileCategoryFromExtension(*c.fileExtension) : IndexedItem::FileCategory::other;
  }
  if (st.stx_mask & STATX_MTIME) c.modifiedDate = dateFrom(st.stx_mtime);
  if (st.stx_mask & STATX_BTIME) c.createdDate = dateFrom(st.stx_btime);
  c.parentBundleIdentifier = owningApplicationIdentifier(path, home);
  return c;
}

// Whether `a`, followed by "/" when `aBelow`, sorts before `b`, followed by
// "/" when `bBelow`, byte by byte: the order of a folder's path against the
// paths below a sibling ("x" < "x.txt" < "x/a", since "." sorts before "/").
bool keyBefore(std::string_view a, bool aBelow, std::string_view b, bool bBelow) {
  const int common = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (common != 0) return common < 0;
  if (a.size() == b.size()) return !aBelow && bBelow;
  if (a.size() < b.size()) return !aBelow || '/' < static_cast<unsigned char>(b[a.size()]);
  return bBelow && static_cast<unsigned char>(a[b.size()]) < '/';
}

}  // namespace

std::string resolvedDirectoryPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer)) return buffer;
  std::string out = path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<std::string> distinctFileDirectories(const std::vector<std::string>& directories) {
  std::vector<std::string> resolved;
  resolved.reserve(directories.size());
  for (const std::string& directory : directories) resolved.push_back(resolvedDirectoryPath(directory));
  // Shorter paths first, so that a folder precedes everything inside it.
  std::sort(resolved.begin(), resolved.end());
  std::vector<std::string> distinct;
  for (const std::string& root : resolved) {
    bool covered = std::any_of(distinct.begin(), distinct.end(),
                               [&](const std::string& kept) { return root == kept || isPathBelow(root, kept); });
    if (!covered) distinct.push_back(root);
  }
  return distinct;
}

// Hands the candidates of a scan out in batches: the files and folders in
// the order the walk lists them (path order), the apps merged in by path.
class CatalogScanner::HandOut {
 public:
  HandOut(std::vector<IndexCandidate> apps, const CandidateBatchHandler& handler, HandedOutCandidates& kept)
      : apps_(std::move(apps)), handler_(handler), kept_(kept) {
    std::sort(apps_.begin(), apps_.end(),
              [](const IndexCandidate& a, const IndexCandidate& b) { return a.canonicalPath < b.canonicalPath; });
    for (const IndexCandidate& app : apps_) appPaths_.insert(app.canonicalPath);
    batch_.reserve(kHandOutBatchSize);
  }

  // A file or folder at an app's path is that app, listed once.
  bool isAppPath(const std::string& path) const { return !appPaths_.empty() && appPaths_.count(path) != 0; }

  void file(IndexCandidate&& candidate) {
    if (isAppPath(candidate.canonicalPath)) return;
    while (nextApp_ < apps_.size() && apps_[nextApp_].canonicalPath < candidate.canonicalPath) {
      push(std::move(apps_[nextApp_++]), true);
    }
    push(std::move(candidate), false);
  }

  void finish() {
    while (nextApp_ < apps_.size()) push(std::move(apps_[nextApp_++]), true);
    if (!batch_.empty()) handler_(std::move(batch_));
    batch_.clear();
  }

 private:
  void push(IndexCandidate&& candidate, bool isApp) {
    kept_.signature.add(candidate, isApp);
    if (isApp) {
      ++kept_.apps;
    } else {
      ++kept_.files;
      if (candidate.itemType == IndexedItem::ItemType::folder) ++kept_.folders;
    }
    batch_.push_back(std::move(candidate));
    if (batch_.size() < kHandOutBatchSize) return;
    handler_(std::move(batch_));
    batch_ = {};
    batch_.reserve(kHandOutBatchSize);
  }

  std::vector<IndexCandidate> apps_;
  size_t nextApp_ = 0;
  std::unordered_set<std::string> appPaths_;
  const CandidateBatchHandler& handler_;
  HandedOutCandidates& kept_;
  std::vector<IndexCandidate> batch_;
};

struct CatalogScanner::Walk {
  std::vector<IndexCandidate>* out;
  CancellationToken token;
  const Progress* progress;
  size_t* counter;
  // Folders that could not be enumerated, and the symbolic links met.
  std::vector<std::string>* failed;
  std::vector<std::string>* links;
  // Set when the candidates are handed out; folders are then listed in
  // name order, so that the walk lists every path in path order.
  HandOut* handOut = nullptr;
};

struct CatalogScanner::Listed {
  std::optional<IndexCandidate> candidate;
  bool descend = false;
};

CatalogScanner::CatalogScanner(const FileExclusionFilter& filter, std::string home, ApplicationEntrySource* entries,
                               std::string ownBundlePath)
    : filter_(filter),
      home_(std::move(home)),
      entries_(entries),
      ownBundlePath_(std::move(ownBundlePath)),
      opener_(&systemDirectoryOpener()) {}

void CatalogScanner::setDirectoryOpener(DirectoryOpener* opener) {
  opener_ = opener ? opener : &systemDirectoryOpener();
}

CatalogScanner::Listed CatalogScanner::visitEntry(int dirFd, const char* name, size_t nameLength, unsigned char type,
                                                  std::string& path, Walk& walk) {
  Listed listed;
  const std::string_view nameView(name, nameLength);
  // A rejected name is still entered when it is a folder that only the
  // extension or base-name rule rejects; the folder itself is left out.
  bool leftOut = false;
  if (filter_.shouldExcludeComponent(nameView, type == DT_DIR)) {
    if (type != DT_DIR && type != DT_UNKNOWN) return listed;
    if (filter_.prunesFolder(nameView)) return listed;
    leftOut = true;
  }
  const size_t length = path.size();
  if (type == DT_LNK) {
    path.push_back('/');
    path.append(name, nameLength);
    walk.links->push_back(path);
    path.resize(length);
    return listed;
  }
  struct statx st;
  if (!statAt(dirFd, name, st)) return listed;
  if (leftOut && !S_ISDIR(st.stx_mode)) return listed;
  path.push_back('/');
  path.append(name, nameLength);
  if (S_ISLNK(st.stx_mode)) {
    walk.links->push_back(path);
  } else {
    if (!leftOut) listed.candidate = fileCandidate(path, nameView, st, home_);
    listed.descend = S_ISDIR(st.stx_mode);
  }
  path.resize(length);
  return listed;
}

void CatalogScanner::list(IndexCandidate&& candidate, Walk& walk) {
  if (walk.handOut) {
    walk.handOut->file(std::move(candidate));
  } else {
    walk.out->push_back(std::move(candidate));
  }
  if (++*walk.counter % kProgressInterval == 0 && *walk.progress) (*walk.progress)(*walk.counter);
}

void CatalogScanner::descend(int dirFd, const char* name, std::string& path, Walk& walk) {
  const size_t length = path.size();
  path.push_back('/');
  path.append(name);
  int child = opener_->openDirectory(dirFd, name, path);
  if (child >= 0) {
    walkFiles(child, path, walk);
  } else {
    walk.failed->push_back(path);
  }
  path.resize(length);
}

void CatalogScanner::walkFiles(int dirFd, std::string& path, Walk& walk) {
  if (!walk.handOut) {
    const bool complete = forEachEntry(dirFd, [&](int fd, const struct dirent* entry) {
      Listed listed = visitEntry(fd, entry->d_name, std::strlen(entry->d_name), entry->d_type, path, walk);
      if (listed.candidate) list(std::move(*listed.candidate), walk);
      if (!listed.descend) return true;
      if (walk.token.isCancelled()) return false;
      descend(fd, entry->d_name, path, walk);
      return true;
    });
    if (!complete) walk.failed->push_back(path);
    return;
  }
  // In path order: each entry's own record sorts by its name, what lies
  // below a folder by the name followed by "/". The whole listing is read
  // first; the folder stays open while its entries are visited.
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    walk.failed->push_back(path);
    return;
  }
  const int fd = ::dirfd(dir);
  std::vector<std::pair<std::string, Listed>> entries;
  entries.reserve(64);
  bool complete = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (!entry) {
      complete = errno == 0;
      break;
    }
    if (isDotOrDotDot(entry->d_name)) continue;
    const size_t length = std::strlen(entry->d_name);
    Listed listed = visitEntry(fd, entry->d_name, length, entry->d_type, path, walk);
    if (listed.candidate || listed.descend) entries.emplace_back(std::string(entry->d_name, length), std::move(listed));
  }
  // (entry, below it)
  std::vector<std::pair<uint32_t, bool>> steps;
  steps.reserve(entries.size() * 2);
  for (uint32_t i = 0; i < entries.size(); ++i) {
    if (entries[i].second.candidate) steps.emplace_back(i, false);
    if (entries[i].second.descend) steps.emplace_back(i, true);
  }
  std::sort(steps.begin(), steps.end(), [&](const auto& a, const auto& b) {
    return keyBefore(entries[a.first].first, a.second, entries[b.first].first, b.second);
  });
  for (const auto& [index, below] : steps) {
    auto& [name, listed] = entries[index];
    if (!below) {
      list(std::move(*listed.candidate), walk);
      continue;
    }
    if (walk.token.isCancelled()) break;
    descend(fd, name.c_str(), path, walk);
  }
  ::closedir(dir);
  if (!complete) walk.failed->push_back(path);
}

bool CatalogScanner::walkFileDirectory(const std::string& root, Walk& walk) {
  std::string path = resolvedDirectoryPath(root);
  int fd = opener_->openDirectory(AT_FDCWD, path.c_str(), path);
  if (fd < 0) {
    walk.failed->push_back(path);
    return false;
  }
  path.reserve(4096);
  walkFiles(fd, path, walk);
  return true;
}

bool CatalogScanner::scanFileDirectory(const std::string& root, std::vector<IndexCandidate>& out,
                                       CancellationToken token, const Progress& progress, size_t& counter) {
  std::vector<std::string> failed;
  std::vector<std::string> links;
  Walk walk{&out, token, &progress, &counter, &failed, &links};
  return walkFileDirectory(root, walk);
}

CatalogScanner::Placement CatalogScanner::placementBelow(std::string_view path, const std::string& root,
                                                         bool isDirectory) const {
  if (!isPathBelow(path, root)) return Placement::excluded;
  std::string_view relative = path.substr(root == "/" ? 1 : root.size() + 1);
  for (size_t slash; (slash = relative.find('/')) != std::string_view::npos; relative.remove_prefix(slash + 1)) {
    if (filter_.prunesFolder(relative.substr(0, slash))) return Placement::excluded;
  }
  if (!filter_.shouldExcludeComponent(relative, isDirectory)) return Placement::catalogued;
  return isDirectory && !filter_.prunesFolder(relative) ? Placement::leftOut : Placement::excluded;
}

std::optional<IndexCandidate> CatalogScanner::linkTargetCandidate(const std::string& linkPath,
                                                                  const std::vector<std::string>& roots) const {
  std::string target;
  struct statx st;
  if (!resolveLink(linkPath, target, st)) return std::nullopt;  // dangling
  const bool isDirectory = S_ISDIR(st.stx_mode);
  if (std::none_of(roots.begin(), roots.end(), [&](const std::string& root) {
        return placementBelow(target, root, isDirectory) == Placement::catalogued;
      })) {
    return std::nullopt;
  }
  return fileCandidate(target, lastComponent(target), st, home_);
}

std::optional<IndexCandidate> CatalogScanner::bundleCandidate(const std::string& bundlePath,
                                                              const std::optional<std::string>& parentId) {
  if (!ownBundlePath_.empty() && bundlePath == ownBundlePath_) return std::nullopt;
  struct statx st;
  if (!statAt(AT_FDCWD, bundlePath.c_str(), st) || !S_ISDIR(st.stx_mode)) return std::nullopt;
  auto info = readAppBundle(bundlePath);
  IndexCandidate c;
  c.canonicalPath = bundlePath;
  c.itemType = IndexedItem::ItemType::app;
  c.domainPriority = appDomainPriority(bundlePath, home_);
  if (st.stx_mask & STATX_MTIME) c.modifiedDate = dateFrom(st.stx_mtime);
  if (st.stx_mask & STATX_BTIME) c.createdDate = dateFrom(st.stx_btime);
  c.parentBundleIdentifier = parentId;
  if (info.ok()) {
    c.bundleIdentifier = info->bundleIdentifier;
    c.version = info->shortVersionString;
    c.build = info->bundleVersion;
    c.name = info->nameForBundleAt(bundlePath);
  } else {
    c.name = AppBundleInfo{}.nameForBundleAt(bundlePath);
  }
  return c;
}

void CatalogScanner::walkNested(int dirFd, std::string& path, int depth, const std::string& containerId,
                                std::vector<IndexCandidate>& out) {
  forEachEntry(dirFd, [&](int fd, const struct dirent* entry) {
    const char* name = entry->d_name;
    std::string lower = asciiLowercase(name);
    if (nestedExcludedNames().count(lower) || endsWith(lower, ".lproj") || endsWith(lower, ".bundle")) return true;
    if (lower.find(".simruntime") != std::string::npos || lower.find("coresimulator") != std::string::npos ||
        lower.find("runtimeroot") != std::string::npos) {
      return true;
    }
    struct statx st;
    if (!statAt(fd, name, st) || !S_ISDIR(st.stx_mode)) return true;
    const size_t length = path.size();
    path.push_back('/');
    path.append(name);
    if (hasAppSuffix(name)) {
      if (auto c = bundleCandidate(path, containerId)) out.push_back(std::move(*c));
    } else if (depth + 1 < kNestedBundleScanDepth) {
      int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walkNested(child, path, depth + 1, containerId, out);
    }
    path.resize(length);
    return true;
  });
}

void CatalogScanner::scanNestedBundles(const std::string& bundlePath, const std::string& containerId,
                                       std::vector<IndexCandidate>& out) {
  std::string path = bundlePath + "/Contents";
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  walkNested(fd, path, 0, containerId, out);
}

ScanResult CatalogScanner::scan(const ScanDirectories& directories, CancellationToken token, const Progress& progress,
                                const CandidateBatchHandler& handOut) {
  ScanResult result;
  for (const std::string& root : directories.appDirectories) {
    if (token.isCancelled()) break;
    scanAppDirectory(root, result.apps, result.failedDirectories);
  }
  if (!token.isCancelled()) scanDesktopEntries(result.apps);
  reduceApps(result.apps);
  size_t counter = result.apps.size();
  std::vector<std::string> roots = distinctFileDirectories(directories.fileDirectories);
  std::optional<HandOut> stream;
  if (handOut) {
    result.handedOut.emplace();
    stream.emplace(std::move(result.apps), handOut, *result.handedOut);
    result.apps.clear();
    // Everything below a root sorts as the root followed by "/".
    std::sort(roots.begin(), roots.end(),
              [](const std::string& a, const std::string& b) { return keyBefore(a, true, b, true); });
  } else {
    result.files.reserve(directories.expectedFileCount + directories.expectedFileCount / 16);
  }
  std::vector<std::string> links;
  Walk walk{&result.files, token, &progress, &counter, &result.failedDirectories, &links, stream ? &*stream : nullptr};
  for (const std::string& root : roots) {
    if (token.isCancelled()) break;
    walkFileDirectory(root, walk);
  }
  if (stream) stream->finish();
  // A link adds its target only when no walk listed that path already. What
  // was handed out is the receiver's to compare with. The listed paths are
  // looked up in place: the files are not moved while the set is in use.
  result.files.reserve(result.files.size() + links.size());
  std::unordered_set<std::string_view> listed;
  bool listedFilled = !!stream;
  std::string lexical;
  for (const std::string& link : links) {
    if (!listedFilled) {
      listed.reserve(result.files.size() + links.size());
      for (const IndexCandidate& c : result.files) listed.insert(c.canonicalPath);
      listedFilled = true;
    }
    // Most links point at a file the walk listed already: one readlink says so.
    if (!stream && lexicalLinkTarget(link, lexical) && listed.count(lexical)) continue;
    std::optional<IndexCandidate> target = linkTargetCandidate(link, roots);
    if (!target || (stream && stream->isAppPath(target->canonicalPath))) continue;
    if (listed.count(target->canonicalPath)) continue;
    result.files.push_back(std::move(*target));
    listed.insert(result.files.back().canonicalPath);
  }
  // A file directory below an app directory would list a path twice.
  if (!result.apps.empty()) {
    std::unordered_set<std::string> appPaths;
    for (const auto& app : result.apps) appPaths.insert(app.canonicalPath);
    std::erase_if(result.files, [&](const IndexCandidate& c) { return appPaths.count(c.canonicalPath) != 0; });
  }
  if (progress) progress(result.size());
  result.cancelled = token.isCancelled();
  return result;
}

std::string CatalogScanner::signature(const std::vector<IndexCandidate>& apps,
                                      const std::vector<IndexCandidate>& files) {
  SnapshotSignature signature;
  for (const IndexCandidate& c : apps) signature.add(c, true);
  for (const IndexCandidate& c : files) signature.add(c, false);
  return signature.value();
}

PathExamination CatalogScanner::examine(const std::string& path, const ScanDirectories& directories, bool walkFolder) {
  PathExamination result;
  struct statx st;
  const bool exists = statAt(AT_FDCWD, path.c_str(), st);
  result.existsOnDisk = exists;

  // Inside or at an app bundle: the bundle is re-examined as a whole.
  size_t appPos = path.find(".app/");
  if (appPos != std::string::npos || hasAppSuffix(lastComponent(path))) {
    for (const std::string& root : directories.appDirectories) {
      if (!isPathBelow(path, root)) continue;
      result.isApp = true;
      std::string bundle = appPos != std::string::npos ? path.substr(0, appPos + 4) : path;
      if (bundle == path || fileExists(bundle)) {
        result.candidate = bundleCandidate(bundle, std::nullopt);
        result.existsOnDisk = fileExists(bundle);
      }
      return result;
    }
  }
  if (entries_ && endsWith(path, ".desktop")) {
    for (const ApplicationDirectory& directory : entries_->directories()) {
      if (!isPathBelow(path, directory.path)) continue;
      result.isApp = true;
      if (!exists) return result;
      std::string id = path.substr(directory.path.size() + (directory.path.back() == '/' ? 0 : 1));
      std::replace(id.begin(), id.end(), '/', '-');
      bool hidden = false;
      result.candidate = desktopCandidate(path, id, directory.priority, &hidden);
      return result;
    }
  }
  auto walkBelow = [&](PathExamination& exam) {
    if (!walkFolder) return;
    int fd = opener_->openDirectory(AT_FDCWD, path.c_str(), path);
    if (fd < 0) return;
    std::string buffer = path;
    size_t counter = 0;
    Progress none;
    std::vector<std::string> failed;
    std::vector<std::string> links;
    Walk walk{&exam.descendants, {}, &none, &counter, &failed, &links};
    walkFiles(fd, buffer, walk);
    exam.walked = true;
    exam.unreadableBelow = std::move(failed);
    for (const std::string& link : links) {
      if (auto target = linkTargetCandidate(link, directories.fileDirectories)) {
        exam.descendants.push_back(std::move(*target));
      }
    }
  };
  const std::vector<std::string>& roots = directories.fileDirectories;
  auto root = std::find_if(roots.begin(), roots.end(), [&](const std::string& r) { return isPathBelow(path, r); });
  if (root == roots.end()) {
    // A file directory itself (just added to the list) is not catalogued;
    // what is inside it is.
    if (exists && S_ISDIR(st.stx_mode) && std::find(roots.begin(), roots.end(), path) != roots.end()) {
      result.contentsBelong = true;
      walkBelow(result);
    }
    return result;
  }
  if (!exists) return result;
  switch (placementBelow(path, *root, S_ISDIR(st.stx_mode))) {
    case Placement::excluded:
      return result;
    case Placement::leftOut:
      result.contentsBelong = true;
      walkBelow(result);
      return result;
    case Placement::catalogued:
      break;
  }
  if (S_ISLNK(st.stx_mode)) {
    result.candidate = linkTargetCandidate(path, roots);
    return result;
  }
  result.candidate = fileCandidate(path, lastComponent(path), st, home_);
  if (S_ISDIR(st.stx_mode)) walkBelow(result);
  return result;
}

}  // namespace pallix
