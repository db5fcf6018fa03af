#include "app/messages/MessageStatements.h"

namespace pallix::message_sql {
namespace {

constexpr const char* kSearchColumns =
    "SELECT\n"
    "    m.ROWID,\n"
    "    m.guid,\n"
    "    m.text,\n"
    "    m.date,\n"
    "    m.is_from_me,\n"
    "    h.id as sender_id,\n"
    "    c.guid as chat_guid,\n"
    "    c.display_name as chat_display_name,\n"
    "    (SELECT COUNT(*) FROM chat_handle_join WHERE chat_id = c.ROWID) as participant_count";

constexpr const char* kIndexerColumns =
    "SELECT\n"
    "    m.ROWID,\n"
    "    m.guid,\n"
    "    m.text,\n"
    "    m.date,\n"
    "    m.is_from_me,\n"
    "    h.id as sender_id,\n"
    "    c.guid as chat_guid,\n"
    "    c.display_name as chat_display_name,\n"
    "    m.attributedBody\n";

constexpr const char* kLeftJoins =
    "FROM message m\n"
    "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
    "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
    "LEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";

constexpr const char* kSearchTail =
    "    AND m.text IS NOT NULL\n"
    "    AND m.text != ''\n"
    "ORDER BY m.date DESC\n"
    "LIMIT ?";

std::string hydrationHead() {
  return std::string(kSearchColumns) + ",\n    m.attributedBody\n" + kLeftJoins;
}

std::string textCondition(int minLength, const char* prefix) {
  std::string p(prefix);
  return "        (" + p + "text IS NOT NULL AND LENGTH(" + p + "text) >= " + std::to_string(minLength) +
         ")\n        OR " + p + "attributedBody IS NOT NULL\n";
}

}  // namespace

std::string placeholders(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += i == 0 ? "?" : ",?";
  return out;
}

std::string textSearch() {
  return std::string(kSearchColumns) + "\n" + kLeftJoins + "WHERE m.text LIKE ? ESCAPE '\\'\n" + kSearchTail;
}

std::string contactSearch(size_t identifierCount) {
  std::string conditions = "(h.id LIKE ? ESCAPE '\\' OR c.display_name LIKE ? ESCAPE '\\')";
  if (identifierCount > 0) {
    std::string ids;
    for (size_t i = 0; i < identifierCount; ++i) ids += i == 0 ? "h.id = ?" : " OR h.id = ?";
    conditions += " OR (" + ids + ")";
  }
  return std::string(kSearchColumns) + "\n" + kLeftJoins + "WHERE (" + conditions + ")\n" + kSearchTail;
}

std::string phoneHandles() {
  return "SELECT id FROM handle WHERE id NOT LIKE '%@%'";
}

std::string attachments(size_t messageCount) {
  return "SELECT\n"
         "    maj.message_id,\n"
         "    a.ROWID,\n"
         "    a.filename,\n"
         "    a.mime_type,\n"
         "    a.filename\n"
         "FROM attachment a\n"
         "INNER JOIN message_attachment_join maj ON a.ROWID = maj.attachment_id\n"
         "WHERE maj.message_id IN (" +
         placeholders(messageCount) + ")";
}

std::string hydrateByRowIDs(size_t count) {
  return hydrationHead() + "WHERE m.ROWID IN (" + placeholders(count) + ")";
}

std::string hydrateByGUIDs(size_t count) {
  return hydrationHead() + "WHERE m.guid IN (" + placeholders(count) + ")";
}

std::string hydrateByTimeRange() {
  return hydrationHead() +
         "WHERE c.guid = ?\n"
         "  AND m.date >= ?\n"
         "  AND m.date <= ?\n"
         "ORDER BY m.date ASC\n"
         "LIMIT 100";
}

std::string identityChats(int limit) {
  return "SELECT ROWID, guid FROM chat ORDER BY ROWID ASC LIMIT " + std::to_string(limit);
}

std::string identityHandles(int limit) {
  return "SELECT ROWID, id FROM handle ORDER BY ROWID ASC LIMIT " + std::to_string(limit);
}

std::string maxRowID() {
  return "SELECT MAX(ROWID) FROM message";
}

std::string messagesInWindowCount(int minLength) {
  return "SELECT COUNT(*) FROM message\n"
         "WHERE date > ?\n"
         "    AND (\n" +
         textCondition(minLength, "") + "    )";
}

std::string chatsWithCounts(int minLength) {
  return "SELECT c.guid, c.display_name, COUNT(m.ROWID) as msg_count\n"
         "FROM chat c\n"
         "JOIN chat_message_join cmj ON c.ROWID = cmj.chat_id\n"
         "JOIN message m ON cmj.message_id = m.ROWID\n"
         "WHERE m.ROWID > ?\n"
         "    AND m.date > ?\n"
         "    AND (\n" +
         textCondition(minLength, "m.") +
         "    )\n"
         "GROUP BY c.guid\n"
         "ORDER BY msg_count DESC";
}

std::string chatMessages() {
  return std::string(kIndexerColumns) +
         "FROM message m\n"
         "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
         "JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
         "JOIN chat c ON cmj.chat_id = c.ROWID\n"
         "WHERE c.guid = ?\n"
         "    AND m.ROWID > ?\n"
         "    AND m.date > ?\n"
         "    AND (m.text IS NOT NULL OR m.attributedBody IS NOT NULL)\n"
         "ORDER BY m.ROWID ASC";
}

std::string newMessages() {
  return std::string(kIndexerColumns) + kLeftJoins +
         "WHERE m.ROWID > ?\n"
         "    AND m.date > ?\n"
         "    AND (m.text IS NOT NULL OR m.attributedBody IS NOT NULL)\n"
         "ORDER BY m.ROWID ASC\n"
         "LIMIT ?";
}

std::string messagesByRowIDs(size_t count) {
  return std::string(kIndexerColumns) + kLeftJoins + "WHERE m.ROWID IN (" + placeholders(count) +
         ")\nORDER BY m.ROWID ASC";
}

}  // namespace pallix::message_sql
