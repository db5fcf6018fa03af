#include "app/search/CatalogWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "core/FileUtil.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

double elapsedSince(const Clock& clock, MonoTime start) {
  return toSeconds(clock.now() - start);
}

// The file count a snapshot signature ends with ("<hash>-<apps>-<files>").
size_t fileCountOfSignature(const std::string& signature) {
  const size_t dash = signature.rfind('-');
  if (dash == std::string::npos) return 0;
  return static_cast<size_t>(std::strtoull(signature.c_str() + dash + 1, nullptr, 10));
}

// Whether a snapshot signature (or none) stands for no records at all.
bool signatureIsEmpty(const std::string& signature) {
  const size_t first = signature.find('-');
  return signature.empty() ||
         (first != std::string::npos && std::strtoull(signature.c_str() + first + 1, nullptr, 10) == 0 &&
          fileCountOfSignature(signature) == 0);
}

}  // namespace

// ---- IndexedItemLookup ----

IndexedItemLookup::IndexedItemLookup(std::vector<IndexedItem> items) : items_(std::move(items)) {
  byPath_.reserve(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) {
    byPath_.emplace(items_[i].path, i);
    if (items_[i].bundleIdentifier) byBundleId_.emplace(asciiLowercase(*items_[i].bundleIdentifier), i);
  }
}

std::optional<size_t> IndexedItemLookup::find(const IndexCandidate& candidate) const {
  auto byPath = byPath_.find(candidate.canonicalPath);
  if (candidate.bundleIdentifier) {
    auto it = byBundleId_.find(asciiLowercase(*candidate.bundleIdentifier));
    // A record already at the candidate's path wins over a moved app, so
    // that paths stay unique.
    if (it != byBundleId_.end() && (byPath == byPath_.end() || byPath->second == it->second)) return it->second;
  }
  if (byPath != byPath_.end()) return byPath->second;
  return std::nullopt;
}

void IndexedItemLookup::clear() {
  items_.clear();
  byBundleId_.clear();
  byPath_.clear();
}

Result<std::optional<IndexedItem>> IndexedItemLookup::fetchOne(CatalogStore& store, const IndexCandidate& candidate) {
  PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> atPath, store.fetchByPath(candidate.canonicalPath));
  if (atPath || !candidate.bundleIdentifier) return atPath;
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> byId, store.fetchByBundleIdentifier(*candidate.bundleIdentifier));
  if (byId.empty()) return std::optional<IndexedItem>();
  return std::optional<IndexedItem>(std::move(byId.front()));
}

// ---- BatchWriter ----

BatchWriter::BatchWriter(CatalogStore& store, size_t batchSize, bool bulk)
    : store_(store), batchSize_(bulk ? SIZE_MAX : batchSize), bulk_(bulk) {}

BatchWriter::~BatchWriter() {
  if (open_) store_.rollbackBatch();
}

Status BatchWriter::mutated() {
  ++pending_;
  if (pending_ >= batchSize_) return save();
  return okStatus();
}

Status BatchWriter::ensureOpen() {
  if (open_) return okStatus();
  PALLIX_RETURN_IF_ERROR(bulk_ ? store_.beginBulkLoad() : store_.beginBatch());
  open_ = true;
  return okStatus();
}

Status BatchWriter::save() {
  pending_ = 0;
  if (!open_) return okStatus();
  Status saved = bulk_ ? store_.commitBulkLoad() : store_.commitBatch();
  if (!saved.ok()) store_.rollbackBatch();
  open_ = false;
  return saved;
}

// ---- CatalogWriter ----

CatalogWriter::CatalogWriter(PersistentStore& store, CatalogStore& catalog, const Clock& clock)
    : store_(store), catalog_(catalog), clock_(clock) {
  auto signature = store_.metadataValue(kSignatureMetadataKey);
  if (signature.ok() && signature.value()) lastSnapshotSignature_ = *signature.value();
}

size_t CatalogWriter::lastSnapshotFileCount() const {
  return fileCountOfSignature(lastSnapshotSignature_);
}

bool CatalogWriter::expectsFirstSnapshot() {
  if (!signatureIsEmpty(lastSnapshotSignature_)) return false;
  auto empty = catalog_.isEmpty();
  return empty.ok() && empty.value();
}

void CatalogWriter::persistSignature(const std::string& signature) {
  lastSnapshotSignature_ = signature;
  Status stored = store_.setMetadataValue(kSignatureMetadataKey, signature);
  if (!stored.ok()) logger_.error("Failed to store the snapshot signature: %s", stored.error().description().c_str());
}

void CatalogWriter::removeAllItemsIfNeeded(FullScanSummary& summary) {
  auto removed = catalog_.deleteAll();
  if (!removed.ok()) {
    logger_.error("Pallix.IndexingService: Failed to clear items: %s", removed.error().description().c_str());
    TelemetryService::signal("IndexingService.snapshotClearFailed", errorTelemetryParameters(removed.error()));
    summary.error = removed.error();
    return;
  }
  summary.deleted = static_cast<size_t>(removed.value());
  summary.mutated = removed.value() > 0;
  TelemetryService::signal("IndexingService.snapshotCleared", {{"removed", std::to_string(removed.value())}});
}

FullScanSummary CatalogWriter::persistFullSnapshot(ScanResult& result, const std::string& signature,
                                                   const ProgressCallback& progress) {
  FullScanSummary summary;
  summary.appCount = result.apps.size();
  for (const IndexCandidate& c : result.files) {
    if (c.itemType == IndexedItem::ItemType::folder) {
      ++summary.folderCount;
    } else {
      ++summary.fileCount;
    }
  }
  const MonoTime start = clock_.now();
  // With a folder that could not be enumerated nothing is empty for sure:
  // the diff keeps what lies below it.
  if (result.size() == 0 && result.failedDirectories.empty()) {
    logger_.info("Snapshot empty; clearing stored items");
    TelemetryService::signal("IndexingService.snapshotEmpty",
                             {{"message", "Indexing snapshot returned no candidates."}});
    removeAllItemsIfNeeded(summary);
    if (!summary.error) persistSignature(signature);
    return summary;
  }
  if (!lastSnapshotSignature_.empty() && signature == lastSnapshotSignature_) {
    logger_.info("Snapshot unchanged for %ld items; skipping persistence", static_cast<long>(result.size()));
    summary.unchanged = true;
    return summary;
  }
  Status persisted = persistDiff(result, summary, progress);
  const double elapsed = elapsedSince(clock_, start);
  if (!persisted.ok()) {
    reportPersistFailure(persisted.error(), summary);
    return summary;
  }
  persistSignature(signature);
  reportPersisted(summary, result.apps.size(), result.files.size(), elapsed);
  return summary;
}

FullScanSummary CatalogWriter::persistStreamedSnapshot(StreamedSnapshotWriter& writer, const HandedOutCandidates& kept,
                                                       const ProgressCallback& progress) {
  FullScanSummary summary;
  summary.appCount = kept.apps;
  summary.fileCount = kept.files - kept.folders;
  summary.folderCount = kept.folders;
  const size_t total = kept.apps + kept.files;
  if (progress) {
    progress({IndexingProgress::Phase::saving, writer.inserted(), total});
    progress({IndexingProgress::Phase::indexingNames, writer.inserted(), total});
  }
  Status committed = writer.commit();
  if (!committed.ok()) {
    reportPersistFailure(committed.error(), summary);
    return summary;
  }
  summary.inserted = writer.inserted();
  summary.mutated = summary.inserted > 0;
  persistSignature(kept.signature.value());
  reportPersisted(summary, kept.apps, kept.files, writer.elapsedSeconds());
  return summary;
}

void CatalogWriter::reportPersistFailure(const Error& error, FullScanSummary& summary) {
  logger_.error("Pallix.IndexingService: Failed to persist items: %s", error.description().c_str());
  TelemetryService::signal("IndexingService.snapshotFailed", errorTelemetryParameters(error));
  summary.error = error;
  // The snapshot's one transaction was rolled back.
  summary.inserted = summary.updated = summary.deleted = 0;
  summary.mutated = false;
}

void CatalogWriter::reportPersisted(const FullScanSummary& summary, size_t apps, size_t files, double elapsed) {
  logger_.info("Persisted full snapshot (%ld apps, %ld files, mutated: %s) in %fs", static_cast<long>(apps),
               static_cast<long>(files), summary.mutated ? "true" : "false", elapsed);
  // Unchanged outcomes are frequent (periodic scans); report them at most
  // once per throttle interval.
  const MonoTime now = clock_.now();
  if (summary.mutated || !lastUnchangedSignalTime_ || now - *lastUnchangedSignalTime_ >= kTelemetryThrottleInterval) {
    if (!summary.mutated) lastUnchangedSignalTime_ = now;
    TelemetryService::signal("IndexingService.snapshotPersisted",
                             {{"appCount", std::to_string(apps)},
                              {"fileCount", std::to_string(files)},
                              {"mutated", summary.mutated ? "1" : "0"},
                              {"elapsedMs", std::to_string(static_cast<int64_t>(elapsed * 1000))}});
  }
}

Status CatalogWriter::persistDiff(ScanResult& result, FullScanSummary& summary, const ProgressCallback& progress) {
  auto report = [&](const IndexingProgress& p) {
    if (progress) progress(p);
  };
  PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> stored, catalog_.fetchAll());
  IndexedItemLookup lookup(std::move(stored));
  std::vector<IndexedItem>& items = lookup.items();
  std::vector<char> seen(items.size(), 0);
  // Resolve first, write afterwards: deletions free paths that updates and
  // inserts may take.
  std::vector<std::pair<size_t, const IndexCandidate*>> updates;
  std::vector<IndexCandidate*> inserts;
  for (auto* list : {&result.apps, &result.files}) {
    for (IndexCandidate& c : *list) {
      std::optional<size_t> index = lookup.find(c);
      if (index && !seen[*index]) {
        seen[*index] = 1;
        if (!c.matches(items[*index])) updates.emplace_back(*index, &c);
      } else {
        inserts.push_back(&c);
      }
    }
  }
  // New records go in path order: neighbouring index pages, fewer pages per save.
  std::sort(inserts.begin(), inserts.end(),
            [](const IndexCandidate* a, const IndexCandidate* b) { return a->canonicalPath < b->canonicalPath; });
  // Records below a folder that could not be enumerated stay until a scan
  // reads it again.
  auto belowFailed = [&](const std::string& path) {
    return std::any_of(result.failedDirectories.begin(), result.failedDirectories.end(),
                       [&](const std::string& failed) { return isPathAtOrBelow(path, failed); });
  };
  size_t deletions = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!seen[i] && !belowFailed(items[i].path)) ++deletions;
  }
  const size_t total = deletions + updates.size() + inserts.size();
  const size_t rowsAfter = items.size() - deletions + inserts.size();
  const bool bulk = total >= kBulkLoadMinimum && total * 3 >= rowsAfter;
  const Date now = clock_.wallNow();
  // One transaction: the catalog moves from one snapshot to the next at once.
  BatchWriter writer(catalog_, SIZE_MAX, bulk);
  size_t written = 0;
  report({IndexingProgress::Phase::saving, 0, total});
  auto mutated = [&]() -> Status {
    if (++written % kSaveProgressInterval == 0) report({IndexingProgress::Phase::saving, written, total});
    return writer.mutated();
  };
  for (size_t i = 0; i < items.size(); ++i) {
    if (seen[i] || belowFailed(items[i].path)) continue;
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    PALLIX_RETURN_IF_ERROR(catalog_.deleteById(items[i].id));
    ++summary.deleted;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  for (auto& [index, candidate] : updates) {
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    candidate->applyTo(items[index], now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(items[index]));
    ++summary.updated;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  for (IndexCandidate* candidate : inserts) {
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    IndexedItem item = candidate->takeItem(now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(item));
    ++summary.inserted;
    PALLIX_RETURN_IF_ERROR(mutated());
  }
  if (bulk) report({IndexingProgress::Phase::indexingNames, written, total});
  PALLIX_RETURN_IF_ERROR(writer.save());
  summary.mutated = summary.inserted + summary.updated + summary.deleted > 0;
  return okStatus();
}

CatalogWriter::IncrementalOutcome CatalogWriter::applyIncrementalChanges(std::vector<ExaminedChange>& examined) {
  IncrementalOutcome outcome;
  IncrementalRunSummary& summary = outcome.summary;
  std::vector<std::string>& changedApps = outcome.changedApps;
  summary.changeCount = examined.size();
  const Date now = clock_.wallNow();
  BatchWriter writer(catalog_, kIndexingBatchSize);

  // Returns whether a record was created.
  auto insertOrUpdate = [&](const IndexCandidate& candidate, bool logCreation) -> Result<bool> {
    PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> existing, IndexedItemLookup::fetchOne(catalog_, candidate));
    const bool isApp = candidate.itemType == IndexedItem::ItemType::app;
    if (!existing) {
      PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
      IndexedItem item = candidate.makeItem(now);
      PALLIX_RETURN_IF_ERROR(catalog_.save(item));
      ++summary.created;
      if (logCreation) {
        logger_.info(isApp ? "Incremental: created app %s" : "Incremental: created file %s",
                     candidate.canonicalPath.c_str());
      }
      if (isApp) changedApps.push_back(candidate.canonicalPath);
      PALLIX_RETURN_IF_ERROR(writer.mutated());
      return true;
    }
    if (candidate.matches(*existing)) return false;
    if (isApp && existing->path != candidate.canonicalPath && !candidate.isPreferred(candidateFromItem(*existing))) {
      return false;
    }
    PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
    if (isApp) changedApps.push_back(existing->path);
    candidate.applyTo(*existing, now);
    PALLIX_RETURN_IF_ERROR(catalog_.save(*existing));
    ++summary.modified;
    logger_.info(isApp ? "Incremental: modified app %s" : "Incremental: modified file %s",
                 candidate.canonicalPath.c_str());
    if (isApp) changedApps.push_back(candidate.canonicalPath);
    PALLIX_RETURN_IF_ERROR(writer.mutated());
    return false;
  };

  for (auto& [change, exam] : examined) {
    Status status = [&]() -> Status {
      if (exam.candidate) {
        PALLIX_ASSIGN_OR_RETURN(bool created, insertOrUpdate(*exam.candidate, true));
        if (!created) return okStatus();
        for (const IndexCandidate& descendant : exam.descendants) {
          PALLIX_RETURN_IF_ERROR(insertOrUpdate(descendant, false));
        }
        return okStatus();
      }
      if (exam.contentsBelong) {
        // The folder's own record goes (if it ever had one); its contents stay.
        PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> own, catalog_.fetchByPath(change.path));
        if (own) {
          PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
          PALLIX_RETURN_IF_ERROR(catalog_.deleteById(own->id));
          ++summary.removed;
          logger_.info("Incremental: removed %s", change.path.c_str());
          PALLIX_RETURN_IF_ERROR(writer.mutated());
        }
        for (const IndexCandidate& descendant : exam.descendants) {
          PALLIX_RETURN_IF_ERROR(insertOrUpdate(descendant, false));
        }
        if (!exam.walked) return okStatus();
        // What the walk no longer found went while nobody was listening
        // (a folder walked again after its watches were rebuilt); what lies
        // in a folder that could not be read stays, as a full scan keeps it.
        std::unordered_set<std::string_view> found;
        for (const IndexCandidate& descendant : exam.descendants) found.insert(descendant.canonicalPath);
        PALLIX_ASSIGN_OR_RETURN(auto records, catalog_.fileRecordsBelow(change.path));
        for (const auto& [id, path] : records) {
          if (found.count(path)) continue;
          const bool unreadable = std::any_of(exam.unreadableBelow.begin(), exam.unreadableBelow.end(),
                                              [&](const std::string& folder) { return isPathBelow(path, folder); });
          if (unreadable) continue;
          PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
          PALLIX_RETURN_IF_ERROR(catalog_.deleteById(id));
          ++summary.removed;
          logger_.info("Incremental: removed %s", path.c_str());
          PALLIX_RETURN_IF_ERROR(writer.mutated());
        }
        return okStatus();
      }
      // Gone, excluded, or an app that no longer reads as one.
      std::string recordPath = change.path;
      if (exam.isApp) {
        size_t appPos = change.path.find(".app/");
        if (appPos != std::string::npos) {
          if (exam.existsOnDisk) return okStatus();  // a change inside a bundle that still exists
          recordPath = change.path.substr(0, appPos + 4);
        }
      }
      PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> existing, catalog_.fetchByPath(recordPath));
      int64_t removed = 0;
      if (existing) {
        PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
        PALLIX_RETURN_IF_ERROR(catalog_.deleteById(existing->id));
        removed = 1;
        if (existing->itemType() == IndexedItem::ItemType::app) changedApps.push_back(recordPath);
      }
      if (!existing || existing->itemType() == IndexedItem::ItemType::folder) {
        PALLIX_RETURN_IF_ERROR(writer.ensureOpen());
        PALLIX_ASSIGN_OR_RETURN(int64_t below, catalog_.deleteBelow(recordPath));
        removed += below;
      }
      if (removed > 0) {
        summary.removed += static_cast<size_t>(removed);
        logger_.info("Incremental: removed %s", recordPath.c_str());
        return writer.mutated();
      }
      return okStatus();
    }();
    if (!status.ok()) {
      ++summary.failed;
      logger_.error("Failed to process change at %s: %s", change.path.c_str(), status.error().description().c_str());
    }
  }
  if (summary.created + summary.modified + summary.removed > 0) {
    // The stored catalog no longer matches the last full snapshot.
    Status opened = writer.ensureOpen();
    if (opened.ok()) persistSignature("");
  }
  Status saved = writer.save();
  if (!saved.ok()) logger_.error("Failed to save incremental changes: %s", saved.error().description().c_str());
  return outcome;
}

}  // namespace pallix
