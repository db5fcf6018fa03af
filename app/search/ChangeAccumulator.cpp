#include "app/search/ChangeAccumulator.h"

#include <algorithm>

#include "app/platform/DirectoryWatcher.h"

namespace pallix {

const char* changeTypeName(ChangeType type) {
  switch (type) {
    case ChangeType::created:
      return "created";
    case ChangeType::removed:
      return "removed";
    case ChangeType::renamed:
      return "renamed";
    case ChangeType::modified:
      return "modified";
    case ChangeType::unknown:
      return "unknown";
  }
  return "unknown";
}

ChangeType changeTypeFromFlags(uint32_t flags) {
  if (flags & kDirectoryEventRemoved) return ChangeType::removed;
  if (flags & kDirectoryEventCreated) return ChangeType::created;
  if (flags & kDirectoryEventRenamed) return ChangeType::renamed;
  if (flags & (kDirectoryEventModified | kDirectoryEventInodeMetaModified)) return ChangeType::modified;
  return ChangeType::unknown;
}

void ChangeAccumulator::add(const std::string& path, uint32_t flags, MonoTime timestamp) {
  add(AccumulatedChange{path, changeTypeFromFlags(flags), flags, timestamp});
}

void ChangeAccumulator::add(AccumulatedChange change) {
  MutexLock lock(mutex_);
  addLocked(std::move(change));
}

void ChangeAccumulator::addLocked(AccumulatedChange change) {
  auto it = changes_.find(change.path);
  if (it == changes_.end()) {
    if (changes_.size() >= maxChanges_) {
      overflowDetected_ = true;
      return;
    }
    std::string key = change.path;
    changes_.emplace(std::move(key), std::move(change));
    return;
  }
  AccumulatedChange& existing = it->second;
  const bool flip = (existing.changeType == ChangeType::removed && change.changeType == ChangeType::created) ||
                    (existing.changeType == ChangeType::created && change.changeType == ChangeType::removed);
  if (flip) {
    existing.changeType = ChangeType::modified;
    existing.flags |= change.flags;
    existing.timestamp = change.timestamp;
  } else {
    existing = std::move(change);
  }
}

void ChangeAccumulator::requestFullScan() {
  MutexLock lock(mutex_);
  rescanRequested_ = true;
}

ChangeAccumulator::Drained ChangeAccumulator::drain() {
  MutexLock lock(mutex_);
  Drained out;
  out.needsFullScan = overflowDetected_ || rescanRequested_;
  out.changes.reserve(changes_.size());
  for (auto& entry : changes_) out.changes.push_back(std::move(entry.second));
  std::sort(out.changes.begin(), out.changes.end(), [](const auto& a, const auto& b) {
    if (a.timestamp != b.timestamp) return a.timestamp < b.timestamp;
    return a.path < b.path;
  });
  changes_.clear();
  overflowDetected_ = false;
  rescanRequested_ = false;
  return out;
}

void ChangeAccumulator::restore(const std::vector<AccumulatedChange>& changes) {
  MutexLock lock(mutex_);
  // Older changes go in first so that a newer change for the same path merges
  // on top of them; the newer ones are already in the map, so re-add them.
  std::unordered_map<std::string, AccumulatedChange> newer;
  newer.swap(changes_);
  for (const AccumulatedChange& change : changes) addLocked(change);
  std::vector<AccumulatedChange> pending;
  for (auto& entry : newer) pending.push_back(std::move(entry.second));
  std::sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });
  for (AccumulatedChange& change : pending) addLocked(std::move(change));
}

void ChangeAccumulator::clear() {
  MutexLock lock(mutex_);
  changes_.clear();
  overflowDetected_ = false;
  rescanRequested_ = false;
}

size_t ChangeAccumulator::size() const {
  MutexLock lock(mutex_);
  return changes_.size();
}

bool ChangeAccumulator::overflowDetected() const {
  MutexLock lock(mutex_);
  return overflowDetected_;
}

}  // namespace pallix
