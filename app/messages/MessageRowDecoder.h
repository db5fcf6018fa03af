// MessageRowDecoder: turns rows of the message statements into records.
//
// Rules shared by every reader: a row without a GUID is dropped; an empty
// or NULL text falls back to the archived column when the statement has one
// (extracted and cleaned up; plain text is used as it is); a row still
// without text is dropped; and so is a row dated at or before 2001-01-01 or
// 365 days or more after `now`. Pure; used on the calling thread.
#pragma once

#include <optional>
#include <vector>

#include "app/messages/MessageRecords.h"
#include "app/messages/MessagesDatabase.h"

namespace pallix {

class MessageRowDecoder {
 public:
  static constexpr double kFutureLimitSeconds = 31'536'000;  // 365 days
  static constexpr int kMinMessageLength = 2;

  explicit MessageRowDecoder(Date now) : now_(now) {}

  // Search and hydration rows (columns 0-8, the archived text at
  // `archivedTextColumn` when given).
  std::optional<PartialMessage> decodePartial(const SqliteStatement& row, std::optional<int> archivedTextColumn) const;
  // Steps `statement` to its end. A step error ends the read with that error.
  Result<std::vector<PartialMessage>> decodeAllPartial(SqliteStatement& statement,
                                                       std::optional<int> archivedTextColumn) const;

  // Chunk indexer rows (columns 0-7, archived text in column 8): the text is
  // trimmed and must have at least kMinMessageLength characters; an inbound
  // message without a handle has the sender "unknown".
  std::optional<RawMessage> decodeRaw(const SqliteStatement& row) const;
  Result<std::vector<RawMessage>> decodeAllRaw(SqliteStatement& statement) const;

  // The date rule above, on a database date.
  bool isPlausibleDate(int64_t nanoseconds) const;

 private:
  // The row's text: plain, else archived (extracted and cleaned up).
  std::optional<std::string> rowText(const SqliteStatement& row, std::optional<int> archivedTextColumn) const;

  Date now_;
};

}  // namespace pallix
