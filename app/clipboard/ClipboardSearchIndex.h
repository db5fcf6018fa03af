// ClipboardSearchIndex: the clipboard mode's filter over the history.
//
// Each history item gets a snapshot of its lower-cased searchable text
// (display text, source application, link). The index covers a prefix of
// the history (`coverageCount`): priming it indexes the first three items at
// once and the rest on the background runner; a background result is applied
// only while its generation is still current. Filtering a history longer
// than the coverage rebuilds the index first; items without a snapshot are
// matched on the record's own fields.
//
// Threading: used on one runner (the session's main runner); only the
// snapshot building runs on `background`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "core/TaskRunner.h"

namespace pallix {

class ClipboardSearchIndex {
 public:
  static constexpr size_t kDisplayLimit = 25;
  static constexpr size_t kWarmSearchIndexLimit = 3;

  ClipboardSearchIndex(TaskRunnerPtr runner, TaskRunnerPtr background);
  ~ClipboardSearchIndex();

  // The full history, newest first (as the service delivers it). The
  // snapshots are dropped; the next filter or prime builds them again.
  void updateHistory(std::vector<ClipboardItem> history);
  const std::vector<ClipboardItem>& history() const { return *history_; }
  // Indexes the first items now and the rest in the background.
  void prime();
  void clear();
  // Up to kDisplayLimit items matching `query` (the newest ones for an empty query).
  std::vector<const ClipboardItem*> filter(const std::string& query);

  size_t coverageCount() const { return snapshots_.size(); }
  uint64_t generation() const { return generation_; }
  static std::string searchableText(const ClipboardItem& item);

 private:
  void rebuild();

  TaskRunnerPtr runner_;
  TaskRunnerPtr background_;
  std::shared_ptr<const std::vector<ClipboardItem>> history_;
  std::vector<std::string> snapshots_;  // for history_[0 .. coverageCount)
  uint64_t generation_ = 0;
  WeakGuard weak_;
};

}  // namespace pallix
