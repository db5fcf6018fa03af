// FileChunkIndexer: the polling between full passes (watcher passes), which
// re-indexes changed files once they have been quiet for the coalescing window.
#include <algorithm>
#include <set>

#include "app/semantic/FileChunkIndexer.h"

namespace pallix {

void FileChunkIndexer::schedulePoll() {
  pollTask_.cancel();
  pollTask_ = TaskHandle::make();
  postDelayed(currentPollingInterval_, pollTask_, [](FileChunkIndexer& i) { i.startWatcherPass(); });
}

void FileChunkIndexer::startWatcherPass() {
  if (stopped_ || !deps_.store) return;
  if (run_) {
    if (continuous_) schedulePoll();
    return;
  }
  if (indexedFolders_.empty()) {
    if (continuous_) schedulePoll();
    return;
  }
  run_ = std::make_unique<Run>();
  run_->kind = Run::Kind::watcher;
  run_->generation = ++runGeneration_;
  run_->startedAt = deps_.runner->clock().now();
  run_->lastCheckpoint = run_->startedAt;
  refreshHeartbeat();
  scheduleWatchdog();
  collectFilesThen(&FileChunkIndexer::beginWatcherPass);
}

void FileChunkIndexer::beginWatcherPass(std::vector<CollectedFile> files, std::map<std::string, double> cached) {
  const MonoTime now = deps_.runner->clock().now();
  const double wallNow = secondsSince1970(deps_.runner->clock().wallNow());
  std::set<std::string> changed;
  std::set<std::string> collected;
  for (auto& file : files) {
    collected.insert(file.path);
    auto it = cached.find(file.path);
    if (it != cached.end() && !modificationDiffers(it->second, file.modifiedDate)) continue;
    changed.insert(file.path);
    auto [pending, inserted] = pendingWatcherChanges_.try_emplace(file.path, PendingChange{now, now, file});
    if (!inserted) {
      if (!pending->second.file || modificationDiffers(pending->second.file->modifiedDate, file.modifiedDate)) {
        pending->second.lastSeen = now;
      }
      pending->second.file = file;
    }
  }
  for (const auto& [path, date] : cached) {
    if (collected.count(path) || !isGone(path, indexedFolders_, run_->unreadableFolders)) continue;
    changed.insert(path);
    auto [pending, inserted] = pendingWatcherChanges_.try_emplace(path, PendingChange{now, now, std::nullopt});
    if (!inserted && pending->second.file) {
      pending->second.file.reset();
      pending->second.lastSeen = now;
    }
  }
  std::erase_if(pendingWatcherChanges_, [&](const auto& entry) { return !changed.count(entry.first); });

  // A change is settled once the file has been quiet for the coalescing
  // window: by its modification time, or (deletions) since it was noticed.
  const double window = toSeconds(deps_.tuning.watcherChangeCoalescingWindow);
  std::vector<std::pair<double, std::string>> settled;
  std::size_t waiting = 0;
  for (const auto& [path, change] : pendingWatcherChanges_) {
    const double quietFor = change.file ? wallNow - change.file->modifiedDate : toSeconds(now - change.lastSeen);
    if (quietFor < window) {
      ++waiting;
    } else {
      settled.emplace_back(change.file ? change.file->modifiedDate : wallNow - quietFor, path);
    }
  }
  if (waiting > 0) logger_.info("Deferring %ld file changes for coalescing", static_cast<long>(waiting));
  std::sort(settled.begin(), settled.end());
  if (!settled.empty()) {
    const std::size_t take = std::min(settled.size(), deps_.tuning.watcherBatchLimit);
    logger_.info("Re-indexing %ld changed files", static_cast<long>(take));
    if (settled.size() > take) {
      logger_.info("Deferring %ld low-priority file changes to the next watcher pass",
                   static_cast<long>(settled.size() - take));
    }
    for (std::size_t k = 0; k < take; ++k) {
      auto it = pendingWatcherChanges_.find(settled[k].second);
      if (it->second.file) {
        run_->items.push_back({WorkItem::Kind::index, *it->second.file});
      } else {
        run_->items.push_back({WorkItem::Kind::remove, CollectedFile{it->first, 0, 0}});
      }
      pendingWatcherChanges_.erase(it);
    }
  }
  run_->summary.totalFiles = int64_t(run_->items.size());
  progress_.totalFiles = run_->summary.totalFiles;
  progress_.indexedFiles = 0;
  if (!run_->items.empty()) {
    progress_.isIndexing = true;
    progress_.phase = Phase::indexing;
    publishProgress();
  }
  processNext();
}

}  // namespace pallix
