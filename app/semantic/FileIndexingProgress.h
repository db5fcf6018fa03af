// FileIndexingProgress: the file chunk indexer's progress as the settings
// screen shows it (isIndexing, totalFiles, indexedFiles, currentFileName,
// isComplete, phase). The indexer's updates are applied on the runner given
// to sink() (the main runner); observers are called there after each one.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "app/semantic/FileChunkIndexer.h"

namespace pallix {

class FileIndexingProgress {
 public:
  using Observer = std::function<void(const FileIndexingProgress&)>;

  bool isIndexing() const { return progress_.isIndexing; }
  int64_t totalFiles() const { return progress_.totalFiles; }
  int64_t indexedFiles() const { return progress_.indexedFiles; }
  const std::string& currentFileName() const { return progress_.currentFileName; }
  bool isComplete() const { return progress_.isComplete; }
  FileChunkIndexer::Phase phase() const { return progress_.phase; }
  const FileChunkIndexer::Progress& progress() const { return progress_; }

  void apply(const FileChunkIndexer::Progress& progress);
  void reset() { apply({}); }
  int addObserver(Observer observer);
  void removeObserver(int token) { observers_.erase(token); }
  // The Completion to hand to FileChunkIndexer::setProgressObserver. The
  // progress object must outlive the indexer's updates to `runner`.
  Completion<FileChunkIndexer::Progress> sink(TaskRunnerPtr runner);

 private:
  FileChunkIndexer::Progress progress_;
  std::map<int, Observer> observers_;
  int nextToken_ = 1;
};

}  // namespace pallix
