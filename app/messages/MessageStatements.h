// MessageStatements: the SQL texts run against the Messages database, kept
// in one place and exactly as the readers expect (column order matters to
// the row decoders: 0 ROWID, 1 guid, 2 text, 3 date, 4 is_from_me,
// 5 sender_id, 6 chat_guid, 7 chat_display_name, then participant_count
// and/or attributedBody). Every statement only reads.
#pragma once

#include <cstddef>
#include <string>

namespace pallix::message_sql {

// Text search by message body: binds the LIKE pattern and the limit.
std::string textSearch();
// Text search by sender or conversation name: binds the pattern twice, then
// `identifierCount` contact handles, then the limit.
std::string contactSearch(size_t identifierCount);
// The handles that are phone numbers (column 0).
std::string phoneHandles();
// Attachments of `messageCount` messages (ROWIDs bound as integers).
std::string attachments(size_t messageCount);

// Hydration of stored chunks (archived text in column 9).
std::string hydrateByRowIDs(size_t count);
std::string hydrateByGUIDs(size_t count);
// Binds the conversation GUID and the first and last dates (database encoding).
std::string hydrateByTimeRange();

// The chunk indexer's statements (archived text in column 8). `minLength`
// is the shortest message text considered.
std::string maxRowID();
std::string messagesInWindowCount(int minLength);
std::string chatsWithCounts(int minLength);
std::string chatMessages();
std::string newMessages();
std::string messagesByRowIDs(size_t count);
// The oldest rows of the chat and handle tables (ROWID and GUID or handle),
// which name the database the index was built from.
std::string identityChats(int limit);
std::string identityHandles(int limit);

// "?,?,?" with `count` placeholders.
std::string placeholders(size_t count);

}  // namespace pallix::message_sql
