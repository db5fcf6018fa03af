// MessageHistoryReader: the chunk indexer's reads of the Messages database
// (highest ROWID, messages in the rolling window, conversations with their
// counts, one conversation's messages, new messages, messages by ROWID).
//
// Each call opens its own read-only connection. Errors are in domain
// "IndexingError": "Failed to open Messages database: " or "Message query
// failed: " followed by SQLite's message. Stateless apart from its inputs;
// callable from any one thread at a time per call.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/messages/MessageRecords.h"
#include "app/messages/MessagesDatabase.h"
#include "core/Clock.h"

namespace pallix {

class MessageHistoryReader {
 public:
  static constexpr int kRollingWindowMonths = 12;
  static constexpr int kMinMessageLength = 2;

  MessageHistoryReader(std::shared_ptr<const FullDiskAccessController> access, const Clock& clock,
                       StatementObserver observer = {});

  // 0 for an empty message table.
  Result<int64_t> maxRowID();
  // `cutoff` is seconds since 1970 (converted to the database encoding).
  Result<int64_t> messagesInWindowCount(double cutoff);
  // Conversations with messages after `afterRowID` in the window, largest first.
  Result<std::vector<ChatInfo>> chatsWithCounts(int64_t afterRowID, double cutoff);
  Result<std::vector<RawMessage>> chatMessages(const std::string& chatGUID, int64_t afterRowID, double cutoff);
  Result<std::vector<RawMessage>> newMessages(int64_t afterRowID, double cutoff, int64_t limit);
  Result<std::vector<RawMessage>> messagesByRowIDs(const std::vector<int64_t>& rowIDs);
  // Which database this is: its path and a digest of the oldest
  // kIdentityRows rows of its chat and handle tables. Messages only appends
  // to those tables, so the identity stays while the history grows, and a
  // different database (another Mac's copy, a phone backup) has another.
  Result<std::string> databaseIdentity();
  static constexpr int kIdentityRows = 64;

  // The window start: now minus 12 calendar months in `timeZoneID` (empty:
  // the system's zone), in seconds since 1970.
  static double rollingWindowCutoff(Date now, const std::string& timeZoneID = "");

  const FullDiskAccessController& access() const { return *access_; }

 private:
  Result<std::unique_ptr<MessagesDatabaseConnection>> open();
  Result<SqliteStatement> prepare(MessagesDatabaseConnection& connection, const std::string& sql);

  std::shared_ptr<const FullDiskAccessController> access_;
  const Clock& clock_;
  StatementObserver observer_;
};

}  // namespace pallix
