// MessagesSnapshotCache: reading a Messages database without creating or
// changing any file beside it.
//
// A database in rollback-journal mode is read in place (read-only). One in
// WAL mode, as Messages keeps it, cannot be: SQLite would create its -shm
// (and -wal) beside the file, and fails where the folder is read-only. Such a
// database is copied with its -wal into a private folder (0700, files 0600),
// the copy is checkpointed into rollback mode there, and opened immutable.
// The copy is reused while the database and its -wal stay as they were, and
// removed when the last connection using it closes and a newer copy has
// replaced it (or the cache goes away).
//
// A copy is consistent although Messages may write meanwhile: the -wal is
// copied after the database, and when its header (salts, checkpoint count)
// is the one seen before the database was copied, every page a concurrent
// checkpoint may have half-written into the copy is in the copied -wal too.
//
// Threading: thread-safe; one mutex serialises snapshots. Shared by
// FullDiskAccessController and every connection it opens.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "core/Error.h"

namespace pallix {

class MessagesSnapshotCache {
 public:
  // What to hand to sqlite3_open_v2: the database itself, or the URI of an
  // immutable private copy that `keepAlive` keeps on disk.
  struct Readable {
    std::string path;
    bool isSnapshot = false;
    std::shared_ptr<const void> keepAlive;
  };

  // `folder` holds the copies (created 0700); empty: a folder of its own
  // under $TMPDIR for each copy. Copies left by processes that are gone are
  // removed here.
  explicit MessagesSnapshotCache(std::string folder);
  ~MessagesSnapshotCache();
  MessagesSnapshotCache(const MessagesSnapshotCache&) = delete;
  MessagesSnapshotCache& operator=(const MessagesSnapshotCache&) = delete;

  // Whether the database at `path` is kept in WAL mode (its header says so)
  // or has a -wal beside it.
  static bool needsSnapshot(const std::string& path);

  Result<Readable> readable(const std::string& path);

  const std::string& folder() const { return folder_; }

 private:
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0;
    int64_t changed = 0;
    friend bool operator==(const Stamp&, const Stamp&) = default;
  };
  struct Snapshot;
  static Stamp stampOf(const std::string& path);
  Result<std::shared_ptr<Snapshot>> takeSnapshot(const std::string& path);

  std::string folder_;
  std::mutex mutex_;
  std::shared_ptr<Snapshot> current_;  // guarded by mutex_
};

}  // namespace pallix
