// CatalogNameIndex: "IndexedItemNameIndex", the FTS5 trigram index of the
// catalog's folded names that file search matches against, its vocabulary
// table "IndexedItemNameIndexTerms", the triggers that keep it in step with
// IndexedItem, and the IndexedItem column indexes the search filters use.
//
// The index keeps no copy of the names: it is an external-content table over
// the view "IndexedItemNameIndexSource", which gives each row's folded
// "name.extension" followed by two U+0001 sentinels (so that every character
// of a name starts a trigram, which lets one- and two-character queries use
// the index). Because the index trusts the table for the text it deletes, the
// table must never change behind its back: row by row the triggers maintain
// it; a bulk load drops the triggers inside its own transaction and rebuilds
// the whole index in one statement before it commits, so a failed or
// interrupted load rolls back the rows, the index and the triggers together.
//
// Stateless; every function runs on the caller's connection (one thread at a
// time), and the bulk-load pair inside the caller's transaction.
#pragma once

#include <sqlite3.h>

#include "core/Error.h"

namespace pallix {

class CatalogNameIndex {
 public:
  // Creates the index, its triggers and the filter column indexes, and
  // indexes the rows already stored. An index of an earlier layout (one that
  // kept its own copy of the names) is replaced; a current one is kept, its
  // triggers restored if missing. Idempotent; runs as a migration step.
  static Status install(sqlite3* db);
  static Result<bool> exists(sqlite3* db);

  // The start of a bulk load, inside an open transaction: rows written from
  // now on are not indexed one by one. Does nothing without an index.
  static Status suspendMaintenance(sqlite3* db);
  // The end of a bulk load, in the same transaction: indexes every row of the
  // table in one pass and restores the triggers.
  static Status rebuild(sqlite3* db);
};

}  // namespace pallix
