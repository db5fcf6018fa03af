// CatalogWriter: every write of the indexing service to the stored catalog.
//
// It resolves scan candidates against the stored records (IndexedItemLookup),
// writes a full snapshot as a diff of the stored catalog (one transaction, a
// bulk load when it rewrites much of it) or, for a first snapshot, through a
// StreamedSnapshotWriter, applies the examined paths of an incremental run in
// batches (BatchWriter), and keeps the snapshot signature that lets an
// unchanged scan write nothing. It logs and reports as the indexing service.
//
// Threading: main runner only (every store write happens there). Owned by
// IndexingService; borrows its store and catalog.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/platform/PersistentStore.h"
#include "app/search/CatalogScanner.h"
#include "app/search/CatalogStore.h"
#include "app/search/ChangeAccumulator.h"
#include "app/search/IndexCandidate.h"
#include "app/search/IndexedItem.h"
#include "app/search/StreamedSnapshotWriter.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "core/Logger.h"

namespace pallix {

// Resolves scan candidates against stored records: first by lowercased bundle
// identifier (when the candidate has one), then by path. A full snapshot
// preloads every record; an incremental lookup fetches at most one.
class IndexedItemLookup {
 public:
  explicit IndexedItemLookup(std::vector<IndexedItem> items);
  std::optional<size_t> find(const IndexCandidate& candidate) const;
  std::vector<IndexedItem>& items() { return items_; }
  void clear();

  static Result<std::optional<IndexedItem>> fetchOne(CatalogStore& store, const IndexCandidate& candidate);

 private:
  std::vector<IndexedItem> items_;
  std::unordered_map<std::string, size_t> byBundleId_;
  std::unordered_map<std::string, size_t> byPath_;
};

// Commits every `batchSize` mutations: each commit is one save. A bulk
// writer is one bulk load of the catalog, whatever its size. Destroying an
// open batch rolls it back.
class BatchWriter {
 public:
  BatchWriter(CatalogStore& store, size_t batchSize, bool bulk = false);
  ~BatchWriter();
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  Status ensureOpen();
  // Counts one mutation; saves when the batch is full.
  Status mutated();
  // A failed save rolls back what the batch wrote.
  Status save();

 private:
  CatalogStore& store_;
  size_t batchSize_;
  bool bulk_;
  size_t pending_ = 0;
  bool open_ = false;
};

struct FullScanSummary {
  size_t appCount = 0;
  size_t fileCount = 0;
  size_t folderCount = 0;
  double elapsedSeconds = 0;
  // The catalog changed (rows inserted, updated or deleted).
  bool mutated = false;
  // The signature matched the stored one: nothing was compared or written.
  bool unchanged = false;
  size_t inserted = 0;
  size_t updated = 0;
  size_t deleted = 0;
  // Folders that could not be enumerated; their records were kept.
  std::vector<std::string> failedDirectories;
  std::optional<Error> error;
};

// Where a full scan is, for progress lines: scanning (items found so far),
// then, unless nothing changed, saving (records written of the total), and
// for a bulk load the one pass that indexes the names of every record.
struct IndexingProgress {
  enum class Phase { scanning, saving, indexingNames };
  Phase phase = Phase::scanning;
  size_t done = 0;
  // Records to write; 0 while scanning.
  size_t total = 0;

  friend bool operator==(const IndexingProgress&, const IndexingProgress&) = default;
};

struct IncrementalRunSummary {
  size_t changeCount = 0;
  size_t created = 0;
  size_t modified = 0;
  size_t removed = 0;
  size_t failed = 0;
  double elapsedSeconds = 0;
};

// One path of an incremental run, as examined on disk by the scanner.
using ExaminedChange = std::pair<AccumulatedChange, PathExamination>;

class CatalogWriter {
 public:
  // Records per save of an incremental run. A full snapshot is saved in one
  // transaction, as a bulk load when it writes at least kBulkLoadMinimum
  // records and a third of the catalog (rebuilding the name index then costs
  // less than maintaining it row by row).
  static constexpr size_t kIndexingBatchSize = 120;
  static constexpr size_t kBulkLoadMinimum = 1000;
  // Records written between two progress reports while saving.
  static constexpr size_t kSaveProgressInterval = 4096;
  static constexpr Duration kTelemetryThrottleInterval = std::chrono::seconds(3600);
  static constexpr const char* kSignatureMetadataKey = "IndexingService.lastSnapshotSignature";

  using ProgressCallback = std::function<void(const IndexingProgress&)>;

  struct IncrementalOutcome {
    IncrementalRunSummary summary;
    // Paths of apps whose records changed (their icons are stale).
    std::vector<std::string> changedApps;
  };

  CatalogWriter(PersistentStore& store, CatalogStore& catalog, const Clock& clock);

  const std::string& lastSnapshotSignature() const { return lastSnapshotSignature_; }
  // The file count the last snapshot held, a hint for the next scan's progress.
  size_t lastSnapshotFileCount() const;
  // Whether the next snapshot is the first one (nothing signed, nothing stored):
  // it can then be written while its scan runs.
  bool expectsFirstSnapshot();

  // Compares the scan with the stored catalog and writes the difference; an
  // empty scan clears the catalog.
  FullScanSummary persistFullSnapshot(ScanResult& result, const std::string& signature,
                                      const ProgressCallback& progress);
  // Commits a first snapshot written while its scan ran.
  FullScanSummary persistStreamedSnapshot(StreamedSnapshotWriter& writer, const HandedOutCandidates& kept,
                                          const ProgressCallback& progress);
  // Creates, updates and removes the records of the examined paths.
  IncrementalOutcome applyIncrementalChanges(std::vector<ExaminedChange>& examined);

 private:
  Status persistDiff(ScanResult& result, FullScanSummary& summary, const ProgressCallback& progress);
  void removeAllItemsIfNeeded(FullScanSummary& summary);
  void reportPersisted(const FullScanSummary& summary, size_t apps, size_t files, double elapsed);
  void reportPersistFailure(const Error& error, FullScanSummary& summary);
  void persistSignature(const std::string& signature);

  PersistentStore& store_;
  CatalogStore& catalog_;
  const Clock& clock_;
  Logger logger_{"IndexingService"};
  std::string lastSnapshotSignature_;
  std::optional<MonoTime> lastUnchangedSignalTime_;
};

}  // namespace pallix
