#include "app/platform/ClipboardStoreSchema.h"

namespace pallix {

Status createClipboardTables(PersistentStore& store) {
  return store.execute(
      "CREATE TABLE IF NOT EXISTS ClipboardItem ("
      " id INTEGER PRIMARY KEY,"
      " createdAt REAL NOT NULL,"
      " pasteboardChangeCount INTEGER NOT NULL DEFAULT 0,"
      " contentHash TEXT,"
      " sourceAppBundleIdentifier TEXT,"
      " sourceAppName TEXT,"
      " primaryText TEXT,"
      " normalizedSearchText TEXT,"
      " detectedURLString TEXT,"
      " contentKindRaw INTEGER NOT NULL DEFAULT 0);"
      "CREATE INDEX IF NOT EXISTS ClipboardItem_createdAt ON ClipboardItem (createdAt);"
      "CREATE UNIQUE INDEX IF NOT EXISTS ClipboardItem_contentHash ON ClipboardItem (contentHash)"
      " WHERE contentHash IS NOT NULL;"
      "CREATE TABLE IF NOT EXISTS ClipboardRepresentation ("
      " id INTEGER PRIMARY KEY,"
      " item INTEGER,"
      " typeIdentifier TEXT NOT NULL,"
      " stringValue TEXT,"
      " \"order\" INTEGER NOT NULL,"
      " byteCount INTEGER NOT NULL DEFAULT 0,"
      " hasData INTEGER NOT NULL DEFAULT 0);"
      "CREATE INDEX IF NOT EXISTS ClipboardRepresentation_item ON ClipboardRepresentation (item);"
      "CREATE TABLE IF NOT EXISTS ClipboardRepresentationData ("
      " representation INTEGER PRIMARY KEY,"
      " data BLOB NOT NULL);"
      "CREATE TRIGGER IF NOT EXISTS ClipboardItem_cascade AFTER DELETE ON ClipboardItem BEGIN"
      " DELETE FROM ClipboardRepresentation WHERE item = OLD.id; END;"
      "CREATE TRIGGER IF NOT EXISTS ClipboardRepresentation_cascade AFTER DELETE ON ClipboardRepresentation BEGIN"
      " DELETE FROM ClipboardRepresentationData WHERE representation = OLD.id; END;");
}

Status storeClipboardTextOnce(PersistentStore& store) {
  return store.execute(
      "UPDATE ClipboardRepresentation SET stringValue = NULL WHERE hasData = 1 AND stringValue IS NOT NULL AND"
      " EXISTS (SELECT 1 FROM ClipboardRepresentationData d WHERE d.representation = ClipboardRepresentation.id"
      " AND d.data = CAST(ClipboardRepresentation.stringValue AS BLOB))");
}

Status addClipboardPins(PersistentStore& store) {
  return store.execute(
      "ALTER TABLE ClipboardItem ADD COLUMN pinned INTEGER NOT NULL DEFAULT 0;"
      "CREATE INDEX IF NOT EXISTS ClipboardItem_pinned_createdAt ON ClipboardItem (pinned, createdAt);");
}

Status addClipboardEmbeddings(PersistentStore& store) {
  return store.execute(
      "CREATE TABLE IF NOT EXISTS ClipboardItemEmbedding ("
      " item INTEGER PRIMARY KEY,"
      " model TEXT NOT NULL,"
      " vector BLOB NOT NULL);"
      "CREATE TRIGGER IF NOT EXISTS ClipboardItem_embedding_cascade AFTER DELETE ON ClipboardItem BEGIN"
      " DELETE FROM ClipboardItemEmbedding WHERE item = OLD.id; END;");
}

}  // namespace pallix
