#include "app/search/StreamedSnapshotWriter.h"

namespace pallix {

StreamedSnapshotWriter::StreamedSnapshotWriter(CatalogStore& store, const Clock& clock, size_t bulkMinimum)
    : store_(store), clock_(clock), lastIndexed_(clock.wallNow()), bulkMinimum_(bulkMinimum) {}

StreamedSnapshotWriter::~StreamedSnapshotWriter() {
  if (inTransaction_) store_.rollbackBatch();
}

void StreamedSnapshotWriter::add(std::vector<IndexCandidate> batch) {
  if (error_) return;
  if (!bulk_) {
    if (heldBack_.empty()) {
      heldBack_ = std::move(batch);
    } else {
      heldBack_.insert(heldBack_.end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    }
    if (heldBack_.size() < bulkMinimum_) return;
    bulk_ = true;
    openedAt_ = clock_.now();
    Status begun = store_.beginBulkLoad();
    if (!begun.ok()) {
      fail(begun.error());
      return;
    }
    inTransaction_ = true;
    batch = std::move(heldBack_);
    heldBack_ = {};
  }
  for (IndexCandidate& candidate : batch) {
    insert(candidate);
    if (error_) return;
  }
}

std::vector<IndexCandidate> StreamedSnapshotWriter::takeHeldBack() {
  std::vector<IndexCandidate> held = std::move(heldBack_);
  heldBack_ = {};
  return held;
}

void StreamedSnapshotWriter::addLinkTargets(std::vector<IndexCandidate> targets, HandedOutCandidates& kept) {
  for (IndexCandidate& target : targets) {
    if (error_) return;
    auto existing = store_.fetchByPath(target.canonicalPath);
    if (!existing.ok()) {
      fail(existing.error());
      return;
    }
    if (existing.value()) continue;
    kept.signature.add(target, false);
    ++kept.files;
    if (target.itemType == IndexedItem::ItemType::folder) ++kept.folders;
    insert(target);
  }
}

Status StreamedSnapshotWriter::commit() {
  if (error_) return *error_;
  Status committed = store_.commitBulkLoad();
  if (!committed.ok()) {
    fail(committed.error());
    return committed;
  }
  inTransaction_ = false;
  return okStatus();
}

double StreamedSnapshotWriter::elapsedSeconds() const {
  return toSeconds(clock_.now() - openedAt_);
}

void StreamedSnapshotWriter::insert(IndexCandidate& candidate) {
  IndexedItem item = candidate.takeItem(lastIndexed_);
  Status saved = store_.save(item);
  if (!saved.ok()) {
    fail(saved.error());
    return;
  }
  ++inserted_;
}

void StreamedSnapshotWriter::fail(const Error& error) {
  if (!error_) error_ = error;
  if (inTransaction_) store_.rollbackBatch();
  inTransaction_ = false;
}

}  // namespace pallix
