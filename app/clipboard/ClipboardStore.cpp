#include "app/clipboard/ClipboardStore.h"

#include <map>

#include "app/platform/PasteboardTypes.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kItemColumns =
    "id, createdAt, pasteboardChangeCount, contentHash, sourceAppBundleIdentifier, sourceAppName, primaryText,"
    " normalizedSearchText, detectedURLString, contentKindRaw, pinned";

ClipboardItem itemFromRow(const SqliteStatement& row) {
  ClipboardItem item;
  item.id = row.columnInt(0);
  item.createdAt = dateFromSecondsSince1970(row.columnDouble(1));
  item.pasteboardChangeCount = row.columnInt(2);
  item.contentHash = row.columnOptionalText(3);
  item.sourceAppBundleIdentifier = row.columnOptionalText(4);
  item.sourceAppName = row.columnOptionalText(5);
  item.primaryText = row.columnOptionalText(6);
  item.normalizedSearchText = row.columnOptionalText(7);
  item.detectedURLString = row.columnOptionalText(8);
  item.contentKindRaw = static_cast<int>(row.columnInt(9));
  item.pinned = row.columnInt(10) != 0;
  return item;
}

}  // namespace

ClipboardStore::~ClipboardStore() {
  if (inTransaction_) (void)save();
}

Status ClipboardStore::ensureTransaction() {
  if (inTransaction_) return okStatus();
  PALLIX_RETURN_IF_ERROR(store_.execute("BEGIN IMMEDIATE"));
  inTransaction_ = true;
  return okStatus();
}

Status ClipboardStore::save() {
  if (!inTransaction_) return okStatus();
  Status committed = store_.commit();
  if (committed.ok()) inTransaction_ = false;
  return committed;
}

void ClipboardStore::discardUncommitted() {
  if (!inTransaction_) return;
  store_.rollback();
  inTransaction_ = false;
}

Result<std::vector<ClipboardItem>> ClipboardStore::query(const std::string& where,
                                                         const std::vector<std::string>& textArgs,
                                                         std::optional<int64_t> intArg, std::optional<int64_t> limit) {
  std::string sql = std::string("SELECT ") + kItemColumns + " FROM ClipboardItem " + where +
                    " ORDER BY pinned DESC, createdAt DESC, id DESC";
  if (limit) sql += " LIMIT " + std::to_string(*limit);
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare(sql));
  int index = 1;
  for (const std::string& arg : textArgs) stmt.bind(index++, std::string_view(arg));
  if (intArg) stmt.bind(index++, *intArg);
  std::vector<ClipboardItem> items;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    items.push_back(itemFromRow(stmt));
  }
  PALLIX_RETURN_IF_ERROR(loadMetadata(items));
  return items;
}

Status ClipboardStore::loadMetadata(std::vector<ClipboardItem>& items) {
  if (items.empty()) return okStatus();
  std::map<int64_t, ClipboardItem*> byId;
  for (ClipboardItem& item : items) byId[item.id] = &item;
  // One pass over the representation rows: of the listed items, or of all
  // when most are listed.
  std::string sql = "SELECT item, typeIdentifier, \"order\", byteCount FROM ClipboardRepresentation";
  if (items.size() <= 500) {
    sql += " WHERE item IN (";
    for (size_t i = 0; i < items.size(); ++i) sql += (i ? "," : "") + std::to_string(items[i].id);
    sql += ")";
  }
  sql += " ORDER BY item, \"order\"";
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare(sql));
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    auto it = byId.find(stmt.columnInt(0));
    if (it == byId.end()) continue;
    ClipboardRepresentation rep;
    rep.typeIdentifier = stmt.columnText(1);
    rep.order = static_cast<int>(stmt.columnInt(2));
    rep.byteCount = stmt.columnInt(3);
    it->second->representations.push_back(std::move(rep));
  }
  return okStatus();
}

Result<std::optional<ClipboardItem>> ClipboardStore::findByHash(const std::string& contentHash) {
  PALLIX_ASSIGN_OR_RETURN(auto items, query("WHERE contentHash = ?", {contentHash}, std::nullopt, 1));
  if (items.empty()) return std::optional<ClipboardItem>();
  return std::optional<ClipboardItem>(std::move(items.front()));
}

Result<std::optional<ClipboardItem>> ClipboardStore::findById(int64_t id) {
  PALLIX_ASSIGN_OR_RETURN(auto items, query("WHERE id = ?", {}, id, 1));
  if (items.empty()) return std::optional<ClipboardItem>();
  return std::optional<ClipboardItem>(std::move(items.front()));
}

Status ClipboardStore::insert(ClipboardItem& item) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement stmt,
      store_.prepare("INSERT INTO ClipboardItem (createdAt, pasteboardChangeCount, contentHash,"
                     " sourceAppBundleIdentifier, sourceAppName, primaryText, normalizedSearchText,"
                     " detectedURLString, contentKindRaw, pinned) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  stmt.bind(1, secondsSince1970(item.createdAt));
  stmt.bind(2, item.pasteboardChangeCount);
  stmt.bind(3, item.contentHash);
  stmt.bind(4, item.sourceAppBundleIdentifier);
  stmt.bind(5, item.sourceAppName);
  stmt.bind(6, item.primaryText);
  stmt.bind(7, item.normalizedSearchText);
  stmt.bind(8, item.detectedURLString);
  stmt.bind(9, static_cast<int64_t>(item.contentKindRaw));
  stmt.bind(10, static_cast<int64_t>(item.pinned ? 1 : 0));
  PALLIX_RETURN_IF_ERROR(stmt.run());
  item.id = sqlite3_last_insert_rowid(store_.handle());

  PALLIX_ASSIGN_OR_RETURN(SqliteStatement rep,
                          store_.prepare("INSERT INTO ClipboardRepresentation (item, typeIdentifier, stringValue,"
                                         " \"order\", byteCount, hasData) VALUES (?, ?, ?, ?, ?, ?)"));
  sqlite3_stmt* data = nullptr;
  const char* dataSql = "INSERT INTO ClipboardRepresentationData (representation, data) VALUES (?, ?)";
  int rc = sqlite3_prepare_v2(store_.handle(), dataSql, -1, &data, nullptr);
  if (rc != SQLITE_OK) return store_.sqliteError("Cannot prepare the representation data insert", rc);
  SqliteStatement dataOwner(store_.handle(), data);
  for (ClipboardRepresentation& r : item.representations) {
    rep.bind(1, item.id);
    rep.bind(2, std::string_view(r.typeIdentifier));
    // Text with bytes is stored once, as data.
    if (r.data) {
      rep.bindNull(3);
    } else {
      rep.bind(3, r.stringValue);
    }
    rep.bind(4, static_cast<int64_t>(r.order));
    rep.bind(5, r.data ? static_cast<int64_t>(r.data->size()) : r.byteCount);
    rep.bind(6, static_cast<int64_t>(r.data ? 1 : 0));
    PALLIX_RETURN_IF_ERROR(rep.run());
    if (!r.data) continue;
    r.byteCount = static_cast<int64_t>(r.data->size());
    sqlite3_bind_int64(data, 1, sqlite3_last_insert_rowid(store_.handle()));
    sqlite3_bind_blob64(data, 2, r.data->data(), r.data->size(), SQLITE_STATIC);
    rc = sqlite3_step(data);
    sqlite3_reset(data);
    if (rc != SQLITE_DONE) return store_.sqliteError("Cannot store the bytes of " + r.typeIdentifier, rc);
  }
  return okStatus();
}

Status ClipboardStore::touch(int64_t id, Date createdAt, int64_t changeCount) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          store_.prepare("UPDATE ClipboardItem SET createdAt = ?, pasteboardChangeCount = ? "
                                         "WHERE id = ?"));
  stmt.bind(1, secondsSince1970(createdAt));
  stmt.bind(2, changeCount);
  stmt.bind(3, id);
  return stmt.run();
}

Status ClipboardStore::setPinned(int64_t id, bool pinned) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare("UPDATE ClipboardItem SET pinned = ? WHERE id = ?"));
  stmt.bind(1, static_cast<int64_t>(pinned ? 1 : 0));
  stmt.bind(2, id);
  return stmt.run();
}

Status ClipboardStore::remove(int64_t id) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare("DELETE FROM ClipboardItem WHERE id = ?"));
  stmt.bind(1, id);
  return stmt.run();
}

Result<int64_t> ClipboardStore::removeUnpinned() {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  int64_t pinned = 0;
  {
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement pins,
                            store_.prepare("SELECT count(*) FROM ClipboardItem WHERE pinned != 0"));
    PALLIX_ASSIGN_OR_RETURN(bool row, pins.step());
    if (row) pinned = pins.columnInt(0);
  }
  if (pinned == 0) {
    PALLIX_ASSIGN_OR_RETURN(int64_t all, count());
    // Direct deletes: the row-by-row cascade is needless when everything goes.
    PALLIX_RETURN_IF_ERROR(
        store_.execute("DELETE FROM ClipboardItemEmbedding; DELETE FROM ClipboardRepresentationData;"
                       " DELETE FROM ClipboardRepresentation; DELETE FROM ClipboardItem;"));
    return all;
  }
  PALLIX_RETURN_IF_ERROR(store_.execute("DELETE FROM ClipboardItem WHERE pinned = 0"));
  return static_cast<int64_t>(sqlite3_changes64(store_.handle()));
}

Result<int64_t> ClipboardStore::removeCreatedBefore(Date cutoff) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          store_.prepare("DELETE FROM ClipboardItem WHERE createdAt < ? AND pinned = 0"));
  stmt.bind(1, secondsSince1970(cutoff));
  PALLIX_RETURN_IF_ERROR(stmt.run());
  return static_cast<int64_t>(sqlite3_changes64(store_.handle()));
}

Result<int64_t> ClipboardStore::removeOldestBeyond(int64_t bytes) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  // Pinned first, then newest first, each item with the bytes of itself and
  // of everything before it; of the unpinned, the newest (place 1) stays.
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement stmt,
      store_.prepare("DELETE FROM ClipboardItem WHERE id IN (SELECT id FROM (SELECT i.id AS id, i.pinned AS pinned,"
                     " sum(s.bytes) OVER (ORDER BY i.pinned DESC, i.createdAt DESC, i.id DESC) AS running,"
                     " row_number() OVER (PARTITION BY i.pinned ORDER BY i.createdAt DESC, i.id DESC) AS place"
                     " FROM ClipboardItem i"
                     " JOIN (SELECT item, total(byteCount) AS bytes FROM ClipboardRepresentation GROUP BY item) s"
                     " ON s.item = i.id) WHERE pinned = 0 AND place > 1 AND running > ?1)"));
  stmt.bind(1, bytes);
  PALLIX_RETURN_IF_ERROR(stmt.run());
  return static_cast<int64_t>(sqlite3_changes64(store_.handle()));
}

Result<int64_t> ClipboardStore::payloadBytes() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          store_.prepare("SELECT CAST(total(byteCount) AS INTEGER) FROM ClipboardRepresentation"));
  PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
  return row ? stmt.columnInt(0) : 0;
}

Result<std::pair<int64_t, int64_t>> ClipboardStore::reclaimableSpace() {
  auto pragma = [&](const char* sql) -> Result<int64_t> {
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare(sql));
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    return row ? stmt.columnInt(0) : 0;
  };
  PALLIX_ASSIGN_OR_RETURN(int64_t pageSize, pragma("PRAGMA page_size"));
  PALLIX_ASSIGN_OR_RETURN(int64_t free, pragma("PRAGMA freelist_count"));
  PALLIX_ASSIGN_OR_RETURN(int64_t pages, pragma("PRAGMA page_count"));
  return std::pair<int64_t, int64_t>(free * pageSize, pages * pageSize);
}

Result<std::vector<ClipboardItem>> ClipboardStore::fetchAll(std::optional<int64_t> limit) {
  return query("", {}, std::nullopt, limit);
}

Result<std::vector<ClipboardRepresentation>> ClipboardStore::loadRepresentations(int64_t id) {
  sqlite3_stmt* raw = nullptr;
  const char* sql =
      "SELECT r.typeIdentifier, r.stringValue, r.\"order\", r.byteCount, d.data FROM ClipboardRepresentation r"
      " LEFT JOIN ClipboardRepresentationData d ON d.representation = r.id WHERE r.item = ? ORDER BY r.\"order\"";
  int rc = sqlite3_prepare_v2(store_.handle(), sql, -1, &raw, nullptr);
  if (rc != SQLITE_OK) return store_.sqliteError("Cannot read the representations", rc);
  SqliteStatement owner(store_.handle(), raw);
  sqlite3_bind_int64(raw, 1, id);
  std::vector<ClipboardRepresentation> reps;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    ClipboardRepresentation r;
    r.typeIdentifier = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    if (sqlite3_column_type(raw, 1) != SQLITE_NULL) {
      r.stringValue = std::string(reinterpret_cast<const char*>(sqlite3_column_text(raw, 1)),
                                  static_cast<size_t>(sqlite3_column_bytes(raw, 1)));
    }
    r.order = sqlite3_column_int(raw, 2);
    r.byteCount = sqlite3_column_int64(raw, 3);
    if (sqlite3_column_type(raw, 4) != SQLITE_NULL) {
      const void* blob = sqlite3_column_blob(raw, 4);
      r.data = std::string(static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(raw, 4)));
      if (!r.stringValue && pasteboardTypeCategory(r.typeIdentifier) == PasteboardTypeCategory::plainText) {
        r.stringValue = r.data;
      }
    }
    reps.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) return store_.sqliteError("Cannot read the representations", rc);
  return reps;
}

Result<int64_t> ClipboardStore::count() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare("SELECT count(*) FROM ClipboardItem"));
  PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
  return row ? stmt.columnInt(0) : 0;
}

}  // namespace pallix
