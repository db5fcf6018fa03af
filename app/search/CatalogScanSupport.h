// Directory helpers the catalog's walks share (the file walk in
// CatalogScanner.cpp, the app walk in CatalogAppScan.cpp): statx without
// following links, readdir iteration, timestamps. Inline so the walks' inner
// loops keep them inlined. Internal to app/search; no state.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/Clock.h"

namespace pallix::catalogscan {

inline Date dateFrom(const struct statx_timestamp& ts) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(ts.tv_sec) +
                                                         std::chrono::nanoseconds(ts.tv_nsec)));
}

inline bool statAt(int dirFd, const char* name, struct statx& st) {
  return ::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
                 STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &st) == 0;
}

inline bool isDotOrDotDot(const char* name) {
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

inline std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

inline bool hasAppSuffix(std::string_view name) {
  if (name.size() <= 4) return false;
  std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'a' && (tail[2] | 0x20) == 'p' && (tail[3] | 0x20) == 'p';
}

// Folder names below an app bundle that hold no apps of their own.
inline const std::unordered_set<std::string>& nestedExcludedNames() {
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

}  // namespace pallix::catalogscan
