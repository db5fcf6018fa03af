// ChangeAccumulator: file-system changes waiting for the next incremental
// catalog run, one entry per path.
//
// Guarded by its own mutex, held only while adding or draining, so the
// watcher's thread and the indexing service's runners may call it freely.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Clock.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

enum class ChangeType { created, removed, renamed, modified, unknown };

const char* changeTypeName(ChangeType type);
// From directory-event flags, by precedence: removed, created, renamed,
// modified (content, inode or metadata), otherwise unknown.
ChangeType changeTypeFromFlags(uint32_t flags);

struct AccumulatedChange {
  std::string path;
  ChangeType changeType = ChangeType::unknown;
  uint32_t flags = 0;
  MonoTime timestamp{};

  friend bool operator==(const AccumulatedChange&, const AccumulatedChange&) = default;
};

class ChangeAccumulator {
 public:
  static constexpr size_t kMaxAccumulatedChanges = 10000;

  struct Drained {
    std::vector<AccumulatedChange> changes;
    bool needsFullScan = false;
  };

  explicit ChangeAccumulator(size_t maxChanges = kMaxAccumulatedChanges) : maxChanges_(maxChanges) {}

  // Adds or merges a change. Removed-then-created and created-then-removed
  // become modified (to be re-examined on disk); otherwise the later change
  // wins. A new path beyond the limit only sets the overflow flag.
  void add(const std::string& path, uint32_t flags, MonoTime timestamp);
  void add(AccumulatedChange change);
  // Asks the next drain for a full scan (lost events).
  void requestFullScan();
  // Returns the changes (oldest first) and whether a full scan is needed
  // (overflow or a rescan request), and empties the accumulator.
  Drained drain();
  // Puts drained changes back (merging with newer ones, which win).
  void restore(const std::vector<AccumulatedChange>& changes);
  void clear();
  size_t size() const;
  bool overflowDetected() const;

 private:
  void addLocked(AccumulatedChange change) REQUIRES(mutex_);

  mutable Mutex mutex_;
  size_t maxChanges_;
  std::unordered_map<std::string, AccumulatedChange> changes_ GUARDED_BY(mutex_);
  bool overflowDetected_ GUARDED_BY(mutex_) = false;
  bool rescanRequested_ GUARDED_BY(mutex_) = false;
};

}  // namespace pallix
