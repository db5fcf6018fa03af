// One file on purpose, though it passes 600 lines: the file walk, the app
// walk, the desktop-entry walk and single-path examination share the
// file-local directory helpers (statx, getdents-style iteration, link
// resolution) that the compiler inlines into the walk's inner loop, and they
// must agree on every rule the header lists.
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
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

namespace {

constexpr size_t kProgressInterval = 4096;

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

Date dateFrom(const struct statx_timestamp& ts) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(ts.tv_sec) +
                                                         std::chrono::nanoseconds(ts.tv_nsec)));
}

bool statAt(int dirFd, const char* name, struct statx& st) {
  return ::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
                 STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &st) == 0;
}

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

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Calls visit(fd, entry) for every entry of the open directory `dirFd` but
// "." and "..", until it returns false. Takes ownership of `dirFd`. Returns
// false when the directory could not be read to its end (an I/O error, a
// disk that went away).
template <typename Visit>
bool forEachEntry(int dirFd, Visit visit) {
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return false;
  }
  const int fd = ::dirfd(dir);
  bool complete = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (!entry) {
      complete = errno == 0;
      break;
    }
    if (isDotOrDotDot(entry->d_name)) continue;
    if (!visit(fd, entry)) break;
  }
  ::closedir(dir);
  return complete;
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

std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool hasAppSuffix(std::string_view name) {
  if (name.size() <= 4) return false;
  std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'a' && (tail[2] | 0x20) == 'p' && (tail[3] | 0x20) == 'p';
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

const std::unordered_set<std::string>& nestedExcludedNames() {
  static const std::unordered_set<std::string> names = {"frameworks",
                                                        "sharedframeworks",
                                                        "privateframeworks",
                                                        "macos",
                                                        "macosclassic",
                                                        "xpcservices",
                                                        "plugins",
                                                        "plug-ins",
                                                        "extensions",
                                                        "helpers",
                                                        "loginitems",
                                                        "watch",
                                                        "library",
                                                        "documentation",
                                                        "samples",
                                                        "examples",
                                                        "templates",
                                                        "toolchains",
                                                        "symbols",
                                                        "coresimulator",
                                                        "runtimeroot",
                                                        "runtimes",
                                                        "runtime",
                                                        "usr",
                                                        "bin",
                                                        "sbin"};
  return names;
}

bool isNestedBundleAllowed(const std::string& identifier) {
  return asciiLowercase(identifier) == "com.apple.dt.xcode";
}

// Hash state for the snapshot signature: two independent 64-bit lanes.
struct SignatureHasher {
  uint64_t a = 1469598103934665603ull;
  uint64_t b = 0x9E3779B97F4A7C15ull;
  // Eight bytes per step; the tail is zero-padded with its length mixed in.
  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      word(w);
      p += 8;
      size -= 8;
    }
    if (size > 0) {
      uint64_t w = 0;
      std::memcpy(&w, p, size);
      word(w ^ (static_cast<uint64_t>(size) << 56));
    }
  }
  void word(uint64_t w) {
    a = (a ^ w) * 0x100000001b3ull;
    a ^= a >> 32;
    b = (b + w) * 0xff51afd7ed558ccdull;
    b ^= b >> 29;
  }
  void text(std::string_view s) {
    uint64_t n = s.size();
    bytes(&n, sizeof n);
    bytes(s.data(), s.size());
  }
  void optionalText(const std::optional<std::string>& s) {
    if (s) {
      text(*s);
    } else {
      bytes("\xff", 1);
    }
  }
  void number(int64_t v) { bytes(&v, sizeof v); }
  void date(const std::optional<Date>& d) {
    int64_t v = d ? static_cast<int64_t>(d->time_since_epoch().count()) : INT64_MIN;
    bytes(&v, sizeof v);
  }
};

}  // namespace

std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs, DesktopLocale locale,
                                                                      std::string searchPath) {
  return std::make_unique<XdgApplicationEntrySource>(dirs, std::move(locale), std::move(searchPath));
}

std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs) {
  const char* path = std::getenv("PATH");
  return makeXdgApplicationEntrySource(dirs, DesktopLocale::fromEnvironment(), path ? path : "");
}

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

void SnapshotSignature::add(const IndexCandidate& c, bool isApp) {
  // Each candidate is hashed on its own (path and type included) and the
  // hashes are summed, which gives the value of the list sorted by path then
  // type in any order, without sorting.
  auto mix = [](uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
  };
  SignatureHasher h;
  h.number(isApp ? 0x41 : 0x46);
  h.text(c.canonicalPath);
  h.number(static_cast<int64_t>(c.itemType));
  h.text(c.name);
  h.optionalText(c.fileExtension);
  h.number(c.sizeBytes);
  h.date(c.createdDate);
  h.date(c.modifiedDate);
  h.optionalText(c.bundleIdentifier);
  h.optionalText(c.version);
  h.optionalText(c.build);
  h.number(c.domainPriority);
  h.number(c.fileCategory ? static_cast<int64_t>(*c.fileCategory) : -1);
  h.optionalText(c.parentBundleIdentifier);
  if (!c.keywords.empty()) {
    h.number(static_cast<int64_t>(c.keywords.size()));
    for (const std::string& keyword : c.keywords) h.text(keyword);
  }
  sumA_ += mix(h.a);
  sumB_ += mix(h.b ^ 0x5851f42d4c957f2dull);
  ++(isApp ? apps_ : files_);
}

std::string SnapshotSignature::value() const {
  return stringPrintf("%016llx%016llx-%zu-%zu", static_cast<unsigned long long>(sumA_),
                      static_cast<unsigned long long>(sumB_), apps_, files_);
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
