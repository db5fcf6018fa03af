// StreamedSnapshotWriter: writes the first snapshot of an empty catalog while
// its scan still runs, so that the rows are written on one core while the
// folders are walked on the other.
//
// Every candidate of a first snapshot is a new record: there is nothing to
// resolve against the store. Batches arrive in path order (as a diff inserts
// its new records), so record ids follow the paths. The first `bulkMinimum`
// candidates are held back; once that many have arrived one bulk load opens
// (CatalogStore::beginBulkLoad) and takes them and every later batch until
// commit(), so the catalog goes from empty to complete in one transaction and
// a load that is interrupted or fails leaves it empty. A smaller snapshot
// never opens one: takeHeldBack() returns its candidates for an ordinary save.
//
// Threading: the indexing service's main runner only, which owns the writer.
// It borrows the store, which must outlive it; an open load is rolled back
// when the writer is destroyed. While the load is open the main connection is
// inside its transaction: nothing else may begin one on it.
#pragma once

#include <optional>
#include <vector>

#include "app/search/CatalogScanner.h"
#include "app/search/CatalogStore.h"
#include "app/search/IndexCandidate.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

class StreamedSnapshotWriter {
 public:
  StreamedSnapshotWriter(CatalogStore& store, const Clock& clock, size_t bulkMinimum);
  ~StreamedSnapshotWriter();
  StreamedSnapshotWriter(const StreamedSnapshotWriter&) = delete;
  StreamedSnapshotWriter& operator=(const StreamedSnapshotWriter&) = delete;

  // A batch handed out by the scan. After a failure batches are dropped.
  void add(std::vector<IndexCandidate> batch);
  // The bulk load was opened (it may have failed since).
  bool isBulk() const { return bulk_; }
  // What was held back while no bulk load was open; moved out.
  std::vector<IndexCandidate> takeHeldBack();

  // The end of the scan: inserts those of `targets` (the symbolic links'
  // targets) whose paths are not in the catalog yet, adding each to
  // `kept`'s counts and signature.
  void addLinkTargets(std::vector<IndexCandidate> targets, HandedOutCandidates& kept);
  // Indexes every name and commits. Returns the first failure met since the
  // load opened, after which everything it wrote is rolled back.
  Status commit();

  size_t inserted() const { return inserted_; }
  // Seconds since the bulk load opened.
  double elapsedSeconds() const;

 private:
  void insert(IndexCandidate& candidate);
  void fail(const Error& error);

  CatalogStore& store_;
  const Clock& clock_;
  const Date lastIndexed_;
  const size_t bulkMinimum_;
  std::vector<IndexCandidate> heldBack_;
  bool bulk_ = false;
  bool inTransaction_ = false;
  MonoTime openedAt_{};
  size_t inserted_ = 0;
  std::optional<Error> error_;
};

}  // namespace pallix
