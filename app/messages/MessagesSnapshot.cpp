#include "app/messages/MessagesSnapshot.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kSnapshotPrefix = "snapshot-";
constexpr const char* kCopyName = "chat.db";
constexpr int kCopyAttempts = 5;
constexpr size_t kWalHeaderSize = 32;

Error snapshotError(const std::string& description) {
  return Error("MessagesSnapshot", 1, description);
}

// Up to `count` bytes from the start of regular file `path`; empty when it is absent or shorter.
std::string leadingBytes(const std::string& path, size_t count) {
  auto fd = openRegularFile(path, O_RDONLY);
  if (!fd.ok()) return {};
  std::string bytes(count, '\0');
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::read(fd.value(), bytes.data() + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd.value());
  bytes.resize(got);
  return bytes;
}

// Copies regular file `from` to a new file `to` (0600).
Status copyFile(const std::string& from, const std::string& to) {
  auto in = openRegularFile(from, O_RDONLY);
  if (!in.ok()) return in.error();
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (out < 0) {
    int err = errno;
    ::close(in.value());
    return Error::fromErrno("Cannot create " + to, err);
  }
  char buffer[1 << 16];
  Status status = okStatus();
  for (;;) {
    ssize_t n = ::read(in.value(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = Error::fromErrno("Cannot read " + from, errno);
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        status = Error::fromErrno("Cannot write " + to, errno);
        break;
      }
      done += w;
    }
    if (!status.ok()) break;
  }
  ::close(in.value());
  if (::close(out) != 0 && status.ok()) status = Error::fromErrno("Cannot write " + to, errno);
  return status;
}

// "file:" URI of `path` with immutable=1; bytes other than unreserved ones are percent-encoded.
std::string immutableURI(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?immutable=1";
}

// Rewrites the private copy (and its -wal) as one rollback-mode file.
Status checkpointCopy(const std::string& copy) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  auto fail = [&](const std::string& what) {
    std::string message = db ? sqlite3_errmsg(db) : "Unknown error";
    if (db) sqlite3_close(db);
    return snapshotError(what + ": " + message);
  };
  if (rc != SQLITE_OK) return fail("Cannot open the private copy");
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=DELETE", -1, &stmt, nullptr) != SQLITE_OK) {
    return fail("Cannot checkpoint the private copy");
  }
  rc = sqlite3_step(stmt);
  std::string mode = rc == SQLITE_ROW && sqlite3_column_text(stmt, 0)
                         ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
                         : "";
  sqlite3_finalize(stmt);
  if (mode != "delete") return fail("Cannot checkpoint the private copy");
  sqlite3_close(db);
  return okStatus();
}

void removeSnapshotFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// Folders named "snapshot-<pid>-..." whose process is gone.
void removeOrphans(const std::string& folder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kSnapshotPrefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + std::char_traits<char>::length(kSnapshotPrefix), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) removeSnapshotFolder(entry.path().string());
  }
}

}  // namespace

// One private copy; its folder goes when the last holder lets go.
struct MessagesSnapshotCache::Snapshot {
  std::string source;
  std::string folder;
  std::string file;
  Stamp database, wal;
  ~Snapshot() { removeSnapshotFolder(folder); }
};

MessagesSnapshotCache::MessagesSnapshotCache(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && isDirectory(folder_)) removeOrphans(folder_);
}

MessagesSnapshotCache::~MessagesSnapshotCache() = default;

bool MessagesSnapshotCache::needsSnapshot(const std::string& path) {
  // Bytes 18 and 19 of the header, the file format's write and read versions, are 2 in WAL mode.
  const std::string header = leadingBytes(path, 20);
  if (header.size() == 20 && (header[18] == 2 || header[19] == 2)) return true;
  return stampOf(path + "-wal").exists;
}

MessagesSnapshotCache::Stamp MessagesSnapshotCache::stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true,
          st.st_dev,
          st.st_ino,
          st.st_size,
          int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
          int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

Result<MessagesSnapshotCache::Readable> MessagesSnapshotCache::readable(const std::string& path) {
  if (!needsSnapshot(path)) return Readable{path, false, nullptr};
  std::lock_guard guard(mutex_);
  if (current_ && current_->source == path && current_->database == stampOf(path) &&
      current_->wal == stampOf(path + "-wal")) {
    return Readable{immutableURI(current_->file), true, current_};
  }
  PALLIX_ASSIGN_OR_RETURN(std::shared_ptr<Snapshot> snapshot, takeSnapshot(path));
  // Connections still reading the previous copy keep it until they close.
  current_ = snapshot;
  return Readable{immutableURI(snapshot->file), true, snapshot};
}

Result<std::shared_ptr<MessagesSnapshotCache::Snapshot>> MessagesSnapshotCache::takeSnapshot(const std::string& path) {
  std::string parent = folder_;
  if (parent.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    parent = tmp && *tmp ? tmp : "/tmp";
  } else if (Status made = createDirectories(parent); !made.ok()) {
    return snapshotError("Cannot create the private folder " + inQuotes(parent) + ": " + made.error().description());
  }
  std::string pattern = parent + "/" + kSnapshotPrefix + std::to_string(::getpid()) + "-XXXXXX";
  // mkdtemp creates the folder 0700.
  if (!::mkdtemp(pattern.data())) {
    return Error::fromErrno("Cannot create a private folder in " + inQuotes(parent), errno);
  }
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->source = path;
  snapshot->folder = pattern;
  snapshot->file = pattern + "/" + kCopyName;
  const std::string wal = path + "-wal";
  for (int attempt = 1;; ++attempt) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((snapshot->file + suffix).c_str());
    snapshot->database = stampOf(path);
    snapshot->wal = stampOf(wal);
    const std::string walHeader = leadingBytes(wal, kWalHeaderSize);
    PALLIX_RETURN_IF_ERROR(copyFile(path, snapshot->file));
    bool consistent = true;
    if (snapshot->wal.exists || stampOf(wal).exists) {
      Status copied = copyFile(wal, snapshot->file + "-wal");
      // A -wal that came or went meanwhile, or another header: Messages checkpointed during the copy.
      consistent = copied.ok() && leadingBytes(snapshot->file + "-wal", kWalHeaderSize) == walHeader;
      if (!copied.ok() && attempt >= kCopyAttempts) return copied.error();
    }
    if (consistent) break;
    if (attempt >= kCopyAttempts) {
      return snapshotError("The Messages database kept changing while it was copied; try again");
    }
  }
  PALLIX_RETURN_IF_ERROR(checkpointCopy(snapshot->file));
  ::chmod(snapshot->file.c_str(), kPrivateFileMode);
  return snapshot;
}

}  // namespace pallix
