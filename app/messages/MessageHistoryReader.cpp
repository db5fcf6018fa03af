#include "app/messages/MessageHistoryReader.h"

#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include "app/messages/MessageRowDecoder.h"
#include "app/messages/MessageStatements.h"
#include "core/ContentDigest.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "IndexingError";

Error openFailed(const Error& cause) {
  return Error(kDomain, 1, "Failed to open Messages database: " + cause.description());
}
Error queryFailed(const Error& cause) {
  return Error(kDomain, 2, "Message query failed: " + cause.description());
}

}  // namespace

MessageHistoryReader::MessageHistoryReader(std::shared_ptr<const FullDiskAccessController> access, const Clock& clock,
                                           StatementObserver observer)
    : access_(std::move(access)), clock_(clock), observer_(std::move(observer)) {}

Result<std::unique_ptr<MessagesDatabaseConnection>> MessageHistoryReader::open() {
  auto connection = access_->openDatabase(observer_);
  if (!connection.ok()) return openFailed(connection.error());
  return connection;
}

Result<SqliteStatement> MessageHistoryReader::prepare(MessagesDatabaseConnection& connection, const std::string& sql) {
  auto statement = connection.prepare(sql);
  if (!statement.ok()) return queryFailed(statement.error());
  return statement;
}

Result<int64_t> MessageHistoryReader::maxRowID() {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, message_sql::maxRowID()));
  auto row = s.step();
  if (!row.ok()) return queryFailed(row.error());
  return row.value() ? s.columnInt(0) : int64_t{0};
}

Result<int64_t> MessageHistoryReader::messagesInWindowCount(double cutoff) {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s,
                          prepare(*connection, message_sql::messagesInWindowCount(kMinMessageLength)));
  s.bind(1, messageDateNanoseconds(cutoff));
  auto row = s.step();
  if (!row.ok()) return queryFailed(row.error());
  return row.value() ? s.columnInt(0) : int64_t{0};
}

Result<std::vector<ChatInfo>> MessageHistoryReader::chatsWithCounts(int64_t afterRowID, double cutoff) {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, message_sql::chatsWithCounts(kMinMessageLength)));
  s.bind(1, afterRowID);
  s.bind(2, messageDateNanoseconds(cutoff));
  std::vector<ChatInfo> chats;
  for (;;) {
    auto row = s.step();
    if (!row.ok()) return queryFailed(row.error());
    if (!row.value()) break;
    std::optional<std::string> guid = s.columnOptionalText(0);
    if (!guid) continue;
    std::optional<std::string> name = s.columnOptionalText(1);
    if (name && name->empty()) name.reset();
    chats.push_back(ChatInfo{std::move(*guid), std::move(name), s.columnInt(2)});
  }
  return chats;
}

Result<std::vector<RawMessage>> MessageHistoryReader::chatMessages(const std::string& chatGUID, int64_t afterRowID,
                                                                   double cutoff) {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, message_sql::chatMessages()));
  s.bind(1, chatGUID);
  s.bind(2, afterRowID);
  s.bind(3, messageDateNanoseconds(cutoff));
  auto rows = MessageRowDecoder(clock_.wallNow()).decodeAllRaw(s);
  if (!rows.ok()) return queryFailed(rows.error());
  return rows;
}

Result<std::vector<RawMessage>> MessageHistoryReader::newMessages(int64_t afterRowID, double cutoff, int64_t limit) {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, message_sql::newMessages()));
  s.bind(1, afterRowID);
  s.bind(2, messageDateNanoseconds(cutoff));
  s.bind(3, limit);
  auto rows = MessageRowDecoder(clock_.wallNow()).decodeAllRaw(s);
  if (!rows.ok()) return queryFailed(rows.error());
  return rows;
}

Result<std::vector<RawMessage>> MessageHistoryReader::messagesByRowIDs(const std::vector<int64_t>& rowIDs) {
  if (rowIDs.empty()) return std::vector<RawMessage>();
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, message_sql::messagesByRowIDs(rowIDs.size())));
  for (size_t i = 0; i < rowIDs.size(); ++i) s.bind(static_cast<int>(i + 1), rowIDs[i]);
  auto rows = MessageRowDecoder(clock_.wallNow()).decodeAllRaw(s);
  if (!rows.ok()) return queryFailed(rows.error());
  return rows;
}

Result<std::string> MessageHistoryReader::databaseIdentity() {
  PALLIX_ASSIGN_OR_RETURN(auto connection, open());
  Sha256 digest;
  for (const std::string& sql :
       {message_sql::identityChats(kIdentityRows), message_sql::identityHandles(kIdentityRows)}) {
    PALLIX_ASSIGN_OR_RETURN(SqliteStatement s, prepare(*connection, sql));
    for (;;) {
      auto row = s.step();
      if (!row.ok()) return queryFailed(row.error());
      if (!row.value()) break;
      const std::string value = s.columnOptionalText(1).value_or("");
      digest.update(std::to_string(s.columnInt(0)) + ":" + std::to_string(value.size()) + ":" + value + "\n");
    }
    digest.update("|");
  }
  return access_->chatDatabasePath() + "#" + digest.finishHex();
}

double MessageHistoryReader::rollingWindowCutoff(Date now, const std::string& timeZoneID) {
  icu::TimeZone* zone = timeZoneID.empty() ? icu::TimeZone::createDefault()
                                           : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZoneID));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(zone, icu::Locale("en_US_POSIX"), status));
  double nowSeconds = secondsSince1970(now);
  if (U_FAILURE(status)) return nowSeconds - 365.0 * 86400.0;
  calendar->setTime(nowSeconds * 1000.0, status);
  calendar->add(UCAL_MONTH, -kRollingWindowMonths, status);
  UDate cutoff = calendar->getTime(status);
  if (U_FAILURE(status)) return nowSeconds - 365.0 * 86400.0;
  return cutoff / 1000.0;
}

}  // namespace pallix
