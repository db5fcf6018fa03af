// IndexedItemRow: how an IndexedItem is laid out in the catalog's
// "IndexedItem" table: the one column list, reader and binder that the
// catalog store and the file searcher share. Plain functions over a
// statement; the caller owns the statement and its thread.
#pragma once

#include <string>
#include <string_view>

#include "app/platform/SqliteStatement.h"
#include "app/search/IndexedItem.h"

namespace pallix {

// The record's columns in the order readIndexedItem reads them (id first,
// keywords last), each prefixed with "alias." when an alias is given.
std::string indexedItemColumns(std::string_view alias = {});
// Reads a row selected with indexedItemColumns().
IndexedItem readIndexedItem(const SqliteStatement& row);
// Binds every field but the id to placeholders 1..18, in column order.
void bindIndexedItem(SqliteStatement& statement, const IndexedItem& item);
inline constexpr int kIndexedItemBoundFields = 18;

}  // namespace pallix
