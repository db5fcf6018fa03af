// The clipboard history's tables in "Pallix.sqlite": ClipboardItem,
// ClipboardRepresentation and ClipboardRepresentationData (the bytes, kept
// out of the representation rows so listing the history never reads them),
// and ClipboardItemEmbedding (text items' vectors, when search by meaning is on).
// Deleting an item deletes its representations and their bytes (triggers,
// so the cascade holds on every connection). Dates are seconds since 1970.
#pragma once

#include "app/platform/PersistentStore.h"

namespace pallix {

// The migration step that creates the tables; appended to the store's
// migration list (see app/search/CatalogSchema.cpp).
Status createClipboardTables(PersistentStore& store);
// Text was stored twice (its bytes, and again as stringValue): keeps the
// bytes only, where the two are the same.
Status storeClipboardTextOnce(PersistentStore& store);
// Items the user pinned: a `pinned` flag (0 for every item before it) and the
// index the pinned-first, newest-first listing reads in order.
Status addClipboardPins(PersistentStore& store);
// Vectors of text items for search by meaning: one row per item, naming the
// model (its digest) that embedded it; deleting an item deletes its row.
Status addClipboardEmbeddings(PersistentStore& store);

}  // namespace pallix
