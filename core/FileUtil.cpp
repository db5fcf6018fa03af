#include "core/FileUtil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

namespace pallix {

bool isFileError(const Error& error, FileErrorCode code) {
  return error.domain() == kFileErrorDomain && error.code() == static_cast<int>(code);
}

namespace {

std::string fileKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a folder";
  return "not a regular file";
}

Error notRegular(const std::string& path, mode_t mode) {
  return Error(kFileErrorDomain, static_cast<int>(FileErrorCode::notRegularFile),
               path + " is " + fileKind(mode) + ", not a regular file; it is not read");
}

Error tooLarge(const std::string& path, uint64_t maxBytes) {
  return Error(kFileErrorDomain, static_cast<int>(FileErrorCode::tooLarge),
               path + " is larger than " + std::to_string(maxBytes) + " bytes; it is not read");
}

}  // namespace

Result<int> openRegularFile(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Error::fromErrno("Cannot open " + path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot examine " + path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return notRegular(path, st.st_mode);
  }
  int current = ::fcntl(fd, F_GETFL);
  if (current < 0 || ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot prepare " + path + " for reading", err);
  }
  return fd;
}

Result<std::string> readRegularFile(const std::string& path, uint64_t maxBytes) {
  PALLIX_ASSIGN_OR_RETURN(int fd, openRegularFile(path, O_RDONLY));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot examine " + path, err);
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return tooLarge(path, maxBytes);
  }
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return Error::fromErrno("Cannot read " + path, err);
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      return tooLarge(path, maxBytes);
    }
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

Result<std::string> readFileToString(const std::string& path) {
  return readRegularFile(path, kDefaultReadLimit);
}

Status checkRegularFileIfPresent(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return okStatus();
    return Error::fromErrno("Cannot examine " + path, errno);
  }
  if (!S_ISREG(st.st_mode)) return notRegular(path, st.st_mode);
  return okStatus();
}

Status checkDatabaseFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    PALLIX_RETURN_IF_ERROR(checkRegularFileIfPresent(path + suffix));
  }
  return okStatus();
}

namespace {

// Writes a temporary file beside `path` and renames it over `path`; with
// `flush` the data reaches the disk before the rename.
Status writeThenRename(const std::string& path, std::string_view data, mode_t mode, bool flush) {
  std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return Error::fromErrno("Cannot create " + temp, errno);
  auto fail = [&](const std::string& what) {
    int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return Error::fromErrno(what + " " + temp, err);
  };
  // The umask may have taken bits away; the mode is what the caller asked for.
  if (::fchmod(fd, mode) != 0) return fail("Cannot set the permissions of");
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("Cannot write");
    }
    written += static_cast<size_t>(n);
  }
  if (flush && ::fsync(fd) != 0) return fail("Cannot flush");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return Error::fromErrno("Cannot flush " + temp, err);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return Error::fromErrno("Cannot move " + temp + " to " + path, err);
  }
  return okStatus();
}

}  // namespace

Status writeFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  return writeThenRename(path, data, mode, true);
}

Status replaceFile(const std::string& path, std::string_view data, mode_t mode) {
  return writeThenRename(path, data, mode, false);
}

Status createDirectories(const std::string& path, mode_t mode) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target = fs::path(path).lexically_normal();
  if (fs::is_directory(target, ec)) return okStatus();
  std::vector<fs::path> missing;
  for (fs::path p = target; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (it->filename().empty()) continue;  // the trailing "/" of "a/b/"
    if (::mkdir(it->c_str(), mode) == 0) {
      ::chmod(it->c_str(), mode);  // the umask may have taken bits away
    } else if (errno != EEXIST) {
      return Error::fromErrno("Cannot create directory " + path, errno);
    }
  }
  if (!fs::is_directory(target, ec)) {
    return Error::fromErrno("Cannot create directory " + path, ENOTDIR);
  }
  return okStatus();
}

Status createPrivateDirectory(const std::string& path) {
  PALLIX_RETURN_IF_ERROR(createDirectories(path));
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) != kPrivateDirectoryMode &&
      ::chmod(path.c_str(), kPrivateDirectoryMode) != 0) {
    return Error::fromErrno("Cannot make " + path + " private", errno);
  }
  return okStatus();
}

Status tightenPermissions(const std::string& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  auto tighten = [](const fs::path& p) -> Status {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return okStatus();  // gone meanwhile
    mode_t wanted = S_ISDIR(st.st_mode) ? kPrivateDirectoryMode : S_ISREG(st.st_mode) ? kPrivateFileMode : 0;
    if (wanted == 0 || (st.st_mode & 07777) == wanted) return okStatus();
    if (::chmod(p.c_str(), wanted) != 0) return Error::fromErrno("Cannot make " + p.string() + " private", errno);
    return okStatus();
  };
  if (!isDirectory(root)) return okStatus();
  PALLIX_RETURN_IF_ERROR(tighten(root));
  Status first = okStatus();
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    Status status = tighten(it->path());
    if (!status.ok() && first.ok()) first = status;
  }
  return first;
}

Status createFileIfMissing(const std::string& path, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == EEXIST) return okStatus();
    return Error::fromErrno("Cannot create " + path, errno);
  }
  Status status = okStatus();
  if (::fchmod(fd, mode) != 0) status = Error::fromErrno("Cannot set the permissions of " + path, errno);
  ::close(fd);
  return status;
}

namespace {
// Written once at the start of main, before any thread exists.
mode_t g_inheritedUmask = 0;
bool g_privateUmask = false;
}  // namespace

void usePrivateUmask() {
  const mode_t previous = ::umask(077);
  if (!g_privateUmask) g_inheritedUmask = previous;
  g_privateUmask = true;
}

std::optional<mode_t> inheritedUmask() {
  if (!g_privateUmask) return std::nullopt;
  return g_inheritedUmask;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- ExclusiveFileLock ----

ExclusiveFileLock::~ExclusiveFileLock() {
  unlock();
}

ExclusiveFileLock::ExclusiveFileLock(ExclusiveFileLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

ExclusiveFileLock& ExclusiveFileLock::operator=(ExclusiveFileLock&& other) noexcept {
  if (this != &other) {
    unlock();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Result<int> ExclusiveFileLock::take(const std::string& path, bool wait) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return Error::fromErrno("Cannot open the lock file " + path, errno);
  while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return -1;
    return Error::fromErrno("Cannot lock " + path, err);
  }
  return fd;
}

Result<ExclusiveFileLock> ExclusiveFileLock::lock(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(int fd, take(path, /*wait=*/true));
  return ExclusiveFileLock(fd);
}

Result<std::optional<ExclusiveFileLock>> ExclusiveFileLock::tryLock(const std::string& path) {
  PALLIX_ASSIGN_OR_RETURN(int fd, take(path, /*wait=*/false));
  if (fd < 0) return std::optional<ExclusiveFileLock>();
  return std::optional<ExclusiveFileLock>(ExclusiveFileLock(fd));
}

Status ExclusiveFileLock::writeContents(std::string_view text) {
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    return Error::fromErrno("Cannot write the lock file", errno);
  }
  return okStatus();
}

void ExclusiveFileLock::unlock() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

bool isPathAtOrBelow(std::string_view path, std::string_view root) {
  if (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/' || root == "/");
}

bool isPathBelow(std::string_view path, std::string_view root) {
  if (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return path.size() > root.size() && path.substr(0, root.size()) == root && (root == "/" || path[root.size()] == '/');
}

}  // namespace pallix
