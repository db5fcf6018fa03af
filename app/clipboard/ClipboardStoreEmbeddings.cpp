// ClipboardStore: the vectors of text items (table ClipboardItemEmbedding).
#include <cstring>

#include "app/clipboard/ClipboardItem.h"
#include "app/clipboard/ClipboardStore.h"

namespace pallix {
namespace {

// The kinds whose primary text is what the item says.
constexpr int kTextKind = static_cast<int>(ClipboardContentKind::text);
constexpr int kRichTextKind = static_cast<int>(ClipboardContentKind::richText);

}  // namespace

Result<std::vector<ClipboardStore::TextToEmbed>> ClipboardStore::textsWithoutEmbedding(const std::string& model,
                                                                                       int64_t limit) {
  PALLIX_ASSIGN_OR_RETURN(
      SqliteStatement stmt,
      store_.prepare("SELECT i.id, i.primaryText FROM ClipboardItem i"
                     " LEFT JOIN ClipboardItemEmbedding e ON e.item = i.id AND e.model = ?1"
                     " WHERE e.item IS NULL AND i.contentKindRaw IN (?2, ?3) AND length(trim(i.primaryText)) > 0"
                     " ORDER BY i.createdAt DESC, i.id DESC LIMIT ?4"));
  stmt.bind(1, model);
  stmt.bind(2, int64_t{kTextKind});
  stmt.bind(3, int64_t{kRichTextKind});
  stmt.bind(4, limit);
  std::vector<TextToEmbed> out;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    out.push_back({stmt.columnInt(0), stmt.columnText(1)});
  }
  return out;
}

Result<bool> ClipboardStore::storeEmbedding(int64_t id, const std::string& text, const std::string& model,
                                            const std::vector<float>& vector) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          store_.prepare("INSERT OR REPLACE INTO ClipboardItemEmbedding (item, model, vector)"
                                         " SELECT ?1, ?2, ?3 WHERE EXISTS"
                                         " (SELECT 1 FROM ClipboardItem WHERE id = ?1 AND primaryText = ?4)"));
  stmt.bind(1, id);
  stmt.bind(2, model);
  stmt.bindBlob(3, std::string_view(reinterpret_cast<const char*>(vector.data()), vector.size() * sizeof(float)));
  stmt.bind(4, text);
  PALLIX_RETURN_IF_ERROR(stmt.run());
  return sqlite3_changes64(store_.handle()) > 0;
}

Result<std::vector<ClipboardStore::StoredEmbedding>> ClipboardStore::embeddings(const std::string& model) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt,
                          store_.prepare("SELECT item, vector FROM ClipboardItemEmbedding WHERE model = ?"));
  stmt.bind(1, model);
  std::vector<StoredEmbedding> out;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
    if (!row) break;
    const std::string_view bytes = stmt.columnBlob(1);
    StoredEmbedding e;
    e.id = stmt.columnInt(0);
    e.vector.resize(bytes.size() / sizeof(float));
    if (!e.vector.empty()) std::memcpy(e.vector.data(), bytes.data(), e.vector.size() * sizeof(float));
    out.push_back(std::move(e));
  }
  return out;
}

Result<int64_t> ClipboardStore::removeEmbeddingsNotOf(const std::string& model) {
  PALLIX_RETURN_IF_ERROR(ensureTransaction());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare("DELETE FROM ClipboardItemEmbedding WHERE model != ?"));
  stmt.bind(1, model);
  PALLIX_RETURN_IF_ERROR(stmt.run());
  return static_cast<int64_t>(sqlite3_changes64(store_.handle()));
}

Result<int64_t> ClipboardStore::embeddingCount() {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement stmt, store_.prepare("SELECT count(*) FROM ClipboardItemEmbedding"));
  PALLIX_ASSIGN_OR_RETURN(bool row, stmt.step());
  return row ? stmt.columnInt(0) : 0;
}

}  // namespace pallix
