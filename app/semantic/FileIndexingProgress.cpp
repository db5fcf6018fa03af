#include "app/semantic/FileIndexingProgress.h"

namespace pallix {

void FileIndexingProgress::apply(const FileChunkIndexer::Progress& progress) {
  progress_ = progress;
  auto observers = observers_;
  for (auto& [token, observer] : observers) observer(*this);
}

int FileIndexingProgress::addObserver(Observer observer) {
  observers_[nextToken_] = std::move(observer);
  return nextToken_++;
}

Completion<FileChunkIndexer::Progress> FileIndexingProgress::sink(TaskRunnerPtr runner) {
  return Completion<FileChunkIndexer::Progress>(std::move(runner), [this](FileChunkIndexer::Progress p) { apply(p); });
}

}  // namespace pallix
