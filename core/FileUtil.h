// File helpers: whole-file reads, atomic replacement, private folders and
// exclusive lock files.
//
// Everything Pallix writes is private to the user: files are created 0600 and
// folders 0700 whatever the process's umask.
//
// Files Pallix reads but did not write (desktop entries, imports, settings,
// documents, stores, models) may be anything a name can stand for: a FIFO
// that blocks every open or read, a link to /dev/zero that never ends. They
// are opened without blocking, refused unless fstat() says regular file, and
// read up to a bound.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/Error.h"

namespace pallix {

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirectoryMode = 0700;

// Domain "FileError": a path that names something other than a regular file,
// or a file larger than its reader accepts.
enum class FileErrorCode { notRegularFile = 1, tooLarge = 2 };
inline constexpr const char* kFileErrorDomain = "FileError";
bool isFileError(const Error& error, FileErrorCode code);

// The bound readFileToString() applies: above any model or store Pallix uses.
constexpr uint64_t kDefaultReadLimit = uint64_t{2} << 30;

// Opens `path` (following links) with `flags` | O_NONBLOCK | O_CLOEXEC and
// keeps the descriptor only when it is a regular file; O_NONBLOCK is then
// cleared. The caller owns and closes the descriptor.
Result<int> openRegularFile(const std::string& path, int flags = 0);
// The whole of regular file `path`, refused (FileErrorCode::tooLarge) when it
// holds more than `maxBytes`, also when it grows while being read.
Result<std::string> readRegularFile(const std::string& path, uint64_t maxBytes);
// readRegularFile(path, kDefaultReadLimit).
Result<std::string> readFileToString(const std::string& path);
// ok when nothing is at `path` or it is a regular file (checked before a
// library such as SQLite opens it with a blocking open()).
Status checkRegularFileIfPresent(const std::string& path);
// checkRegularFileIfPresent for a SQLite database and its -wal, -shm and
// -journal companions.
Status checkDatabaseFiles(const std::string& path);
// Writes `data` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`, so readers see the old or the new file, never a mix.
// The file gets `mode` exactly.
Status writeFileAtomically(const std::string& path, std::string_view data, mode_t mode = kPrivateFileMode);
// The same without the flush, for caches: a crash may lose the new content
// (the old file or nothing remains), but readers still never see a mix.
Status replaceFile(const std::string& path, std::string_view data, mode_t mode = kPrivateFileMode);
// Creates `path` and its missing parents; the folders it creates get `mode`
// exactly. Existing folders are left as they are.
Status createDirectories(const std::string& path, mode_t mode = kPrivateDirectoryMode);
// Creates `path` like createDirectories and makes the folder itself 0700,
// also when it already existed (a data folder made by an older build).
Status createPrivateDirectory(const std::string& path);
// Makes every folder at and below `root` 0700 and every regular file 0600
// (files written by older builds under a wider umask). Links are not followed.
Status tightenPermissions(const std::string& root);
// Creates `path` empty with `mode` when it does not exist (a store file that
// SQLite then fills: its companions inherit the mode).
Status createFileIfMissing(const std::string& path, mode_t mode = kPrivateFileMode);
// Called first in every Pallix executable's main: what the process creates
// is private also where a library (SQLite, Qt) or a copy picks the mode.
// Remembers the umask the process was started with.
void usePrivateUmask();
// The umask the process was started with, for programs launched for the
// user (their files are the user's to share); nullopt before usePrivateUmask().
// Async-signal-safe (read between fork and exec).
std::optional<mode_t> inheritedUmask();
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
// Path relations, by text: `root` itself or below it, and strictly below it
// (a trailing slash of `root` is ignored; "/" holds every absolute path).
bool isPathAtOrBelow(std::string_view path, std::string_view root);
bool isPathBelow(std::string_view path, std::string_view root);

// An exclusive flock() on a lock file (created 0600), held until the object is
// destroyed or the process ends. flock() locks belong to the open file, so two
// objects in one process exclude each other as two processes do.
class ExclusiveFileLock {
 public:
  ExclusiveFileLock() = default;
  ~ExclusiveFileLock();
  ExclusiveFileLock(ExclusiveFileLock&& other) noexcept;
  ExclusiveFileLock& operator=(ExclusiveFileLock&& other) noexcept;
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  // Waits until the lock is taken.
  static Result<ExclusiveFileLock> lock(const std::string& path);
  // nullopt when another holder has the lock.
  static Result<std::optional<ExclusiveFileLock>> tryLock(const std::string& path);

  bool held() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Replaces the lock file's contents (who holds it, for the ones that wait).
  Status writeContents(std::string_view text);
  void unlock();

 private:
  explicit ExclusiveFileLock(int fd) : fd_(fd) {}
  // The locked descriptor, or -1 when another holder has the lock and `wait` is off.
  static Result<int> take(const std::string& path, bool wait);

  int fd_ = -1;
};

}  // namespace pallix
