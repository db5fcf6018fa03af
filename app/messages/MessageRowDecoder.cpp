#include "app/messages/MessageRowDecoder.h"

#include "app/messages/MessageText.h"

namespace pallix {
namespace {

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

}  // namespace

bool MessageRowDecoder::isPlausibleDate(int64_t nanoseconds) const {
  double seconds = messageDateSecondsSince1970(nanoseconds);
  return seconds > kMessagesReferenceDateOffset && seconds < secondsSince1970(now_) + kFutureLimitSeconds;
}

std::optional<std::string> MessageRowDecoder::rowText(const SqliteStatement& row,
                                                      std::optional<int> archivedTextColumn) const {
  std::optional<std::string> text = nonEmpty(row.columnOptionalText(2));
  if (text) return text;
  if (!archivedTextColumn) return std::nullopt;
  std::string_view blob = row.columnBlob(*archivedTextColumn);
  if (blob.empty()) return std::nullopt;
  std::optional<std::string> extracted = extractTextFromBinary(blob);
  if (!extracted) return std::nullopt;
  return sanitizeExtractedText(*extracted);
}

std::optional<PartialMessage> MessageRowDecoder::decodePartial(const SqliteStatement& row,
                                                               std::optional<int> archivedTextColumn) const {
  std::optional<std::string> guid = row.columnOptionalText(1);
  if (!guid) return std::nullopt;
  std::optional<std::string> text = rowText(row, archivedTextColumn);
  if (!text) return std::nullopt;
  int64_t date = row.columnInt(3);
  if (!isPlausibleDate(date)) return std::nullopt;
  PartialMessage m;
  m.rowID = row.columnInt(0);
  m.guid = std::move(*guid);
  m.text = std::move(*text);
  m.date = dateFromSecondsSince1970(messageDateSecondsSince1970(date));
  m.isFromMe = row.columnInt(4) != 0;
  std::optional<std::string> sender = row.columnOptionalText(5);
  m.senderIdentifier = sender ? std::move(*sender) : std::string(m.isFromMe ? "Me" : "Unknown");
  m.chatGUID = row.columnOptionalText(6).value_or("");
  m.chatDisplayName = nonEmpty(row.columnOptionalText(7));
  m.isGroupChat = row.columnInt(8) > 1 || m.chatDisplayName.has_value();
  return m;
}

Result<std::vector<PartialMessage>> MessageRowDecoder::decodeAllPartial(SqliteStatement& statement,
                                                                        std::optional<int> archivedTextColumn) const {
  std::vector<PartialMessage> out;
  for (;;) {
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    if (!row) break;
    if (auto m = decodePartial(statement, archivedTextColumn)) out.push_back(std::move(*m));
  }
  return out;
}

std::optional<RawMessage> MessageRowDecoder::decodeRaw(const SqliteStatement& row) const {
  std::optional<std::string> guid = row.columnOptionalText(1);
  if (!guid) return std::nullopt;
  std::optional<std::string> text = rowText(row, 8);
  if (!text) return std::nullopt;
  std::string_view trimmed = trimWhitespaceAndNewlines(*text);
  if (trimmed.size() < static_cast<size_t>(kMinMessageLength) ||
      characterCount(trimmed) < static_cast<size_t>(kMinMessageLength)) {
    return std::nullopt;
  }
  int64_t date = row.columnInt(3);
  if (!isPlausibleDate(date)) return std::nullopt;
  RawMessage m;
  m.rowID = row.columnInt(0);
  m.guid = std::move(*guid);
  m.text = std::string(trimmed);
  m.date = messageDateSecondsSince1970(date);
  m.isFromMe = row.columnInt(4) != 0;
  m.senderID = row.columnOptionalText(5);
  if (!m.senderID && !m.isFromMe) m.senderID = "unknown";
  m.chatGUID = row.columnOptionalText(6);
  m.chatDisplayName = nonEmpty(row.columnOptionalText(7));
  return m;
}

Result<std::vector<RawMessage>> MessageRowDecoder::decodeAllRaw(SqliteStatement& statement) const {
  std::vector<RawMessage> out;
  for (;;) {
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    if (!row) break;
    if (auto m = decodeRaw(statement)) out.push_back(std::move(*m));
  }
  return out;
}

}  // namespace pallix
