// CatalogReader: the catalog opened read-only for one-shot searches. It
// never creates, migrates, verifies or deletes the store (the indexing
// service and `pallix index` do), so opening costs one SQLite connection and
// nothing else: no session, no intelligence, no threads.
//
// Threading: one thread, the caller's.
#pragma once

#include <memory>
#include <string>

#include "app/platform/DataDirectories.h"
#include "app/platform/PersistentStore.h"

namespace pallix {

// What a read-only command says (before exiting with 3) when the catalog
// cannot be opened: a hint to run `pallix index` when there is none yet, it
// is damaged or it needs an upgrade.
struct CatalogOpenFailure {
  std::string message;
  std::string hint;
};
CatalogOpenFailure describeCatalogOpenFailure(const Error& error);

// Whether a full scan ever finished writing the catalog in `store`: a first
// index that was killed leaves it partial (or empty).
bool catalogFinishedAFullScan(PersistentStore& store);
// What a search says on stderr when it read a catalog that is not complete.
inline constexpr const char* kIncompleteCatalogNote =
    "pallix: the catalog is not complete: its first index did not finish. Run 'pallix index' to build it.\n";

class CatalogReader {
 public:
  static Result<CatalogReader> open(const DataDirectories& dirs);
  // Reads the store `store`, which the caller opened.
  explicit CatalogReader(std::unique_ptr<PersistentStore> store) : store_(std::move(store)) {}

  PersistentStore& store() { return *store_; }
  int64_t size();
  bool complete() { return catalogFinishedAFullScan(*store_); }
  // After a read failed: the store's damage when a check finds some (reads
  // every page), none when the store is sound.
  std::optional<Error> damage();

 private:
  std::unique_ptr<PersistentStore> store_;
};

}  // namespace pallix
