// ClipboardCaptureWorker: the slow half of the clipboard history. It reads
// the pasteboard's item with all its representations, derives and hashes
// the record, de-duplicates it against the store and inserts it, and
// commits, expires and trims the store: work that takes seconds for a 50 MB
// copy, so it never runs on the main runner.
//
// Threading: every method except cancel() and noteOwnWrite() runs on the
// capture runner (a serial runner of its own, see ClipboardServices), one
// call at a time; ClipboardService posts to it and receives the outcomes on
// its own runner. The store is shared with ClipboardService, which reads it
// and writes what the user asks for on the main runner: every use of the
// store, on either runner, holds storeMutex(). The pasteboard read and the
// hashing run without it. Failures are logged and signalled here, when they
// happen, so that they show even while the main runner is busy or after the
// service has gone.
// Ownership: ClipboardService owns the worker; the tasks it posts hold weak
// references, so a task still queued when the service goes does nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/platform/Pasteboard.h"
#include "core/TaskRunner.h"

namespace pallix {

class ClipboardCaptureWorker : public std::enable_shared_from_this<ClipboardCaptureWorker> {
 public:
  static constexpr Duration kPurgeCheckInterval = std::chrono::seconds(60);
  // Space of deleted items is given back once it is this large and a
  // quarter of the file.
  static constexpr int64_t kReclaimMinimumBytes = int64_t{32} << 20;

  struct Options {
    TaskRunnerPtr runner;          // the capture runner
    TaskRunnerPtr metadataRunner;  // where reclaimSpace runs
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<ClipboardStore> store;
    std::function<Status()> reclaimSpace;  // optional
  };
  // What the history may hold (ClipboardSettings), as of the request.
  struct Limits {
    int64_t retentionDays = 0;  // 0 keeps everything
    int64_t maxStorageBytes = 0;
  };
  // A recorded copy, for the service's history and observers.
  struct Capture {
    ClipboardItem item;  // without bytes; createdAt and change counter of this copy
    bool isNew = false;  // false: an earlier item copied again, moved to the top
    std::optional<FrontmostApplication> source;
  };
  // What a commit or trim did. `history` is the store's list, read back
  // after items went.
  struct Trim {
    bool saved = true;
    std::optional<std::vector<ClipboardItem>> history;
  };

  explicit ClipboardCaptureWorker(Options options);
  ClipboardCaptureWorker(const ClipboardCaptureWorker&) = delete;
  ClipboardCaptureWorker& operator=(const ClipboardCaptureWorker&) = delete;

  // Reads the pasteboard's current item and records it. nullopt when there
  // is nothing to record: a failed read (logged), Pallix's own write, a
  // secret, an empty clipboard, a store failure (reported), or a cancelled
  // worker. The change counter is the one the read started at.
  std::optional<Capture> capture();
  // Commits the open transaction, then expires items (at most once every
  // kPurgeCheckInterval) and keeps the rest within the limit.
  Trim save(Limits limits);
  // Expires and trims now (the preferences changed).
  Trim trimNow(Limits limits);
  // Hands reclaimSpace to the metadata runner when enough space lies free.
  void reclaimSpaceIfWorthIt();

  // Any thread. Captures that have not reached the store do nothing more.
  void cancel() { cancelled_.store(true); }
  // Any thread: the change counter of Pallix's own last write, which a
  // capture that starts at it skips.
  void noteOwnWrite(int64_t changeCount) { ownWriteChangeCount_.store(changeCount); }
  std::mutex& storeMutex() { return storeMutex_; }

 private:
  std::optional<Capture> record(const PasteboardItem& item, int64_t changeCount);
  void purgeExpired(const Limits& limits, Trim& trim);
  void enforceStorageLimit(const Limits& limits, Trim& trim);
  // Runs `remove` and saves, under the store lock; when items went, reads the
  // history back into `trim` and gives space back if worth it. Returns how
  // many went (0 on failure, which is reported).
  int64_t removeAndReload(const std::function<Result<int64_t>()>& remove, Trim& trim);

  Options options_;
  std::mutex storeMutex_;
  std::atomic<bool> cancelled_{false};
  std::atomic<int64_t> ownWriteChangeCount_{-1};
  // Capture runner only.
  std::optional<Date> lastPurgeCheckDate_;
  bool grewSinceLimitCheck_ = true;
  bool reclaiming_ = false;
};

}  // namespace pallix
