// MessageSearchService: finds messages in the user's Messages database.
//
// The plain text search runs two statements at once, one over message
// bodies and one over senders and conversation names (including the
// handles of contacts whose name matches the query), and merges them; each
// result carries its sender's contact name and thumbnail and its
// attachments. Every operation checks access first and opens its own
// read-only connection; none is kept between calls.
//
// Threading: an actor. Its operations are meant to run one at a time on the
// service's executor (MessageModeSearchProvider posts them there); inside a
// text search the sender/conversation statement runs on a second thread. The
// contact cache is thread-safe. Owned by the composition (MessagesComponents).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/messages/ContactNameCache.h"
#include "app/messages/MessageRecords.h"
#include "app/messages/MessageSemanticRules.h"
#include "app/messages/MessagesDatabase.h"
#include "app/messages/SemanticChunkSource.h"
#include "app/platform/ContactStore.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

// Errors of the message search, in domain "MessageSearchError". Each
// description is the case's prefix and the underlying SQLite message.
enum class MessageSearchErrorCode {
  databaseOpenFailed = 1,  // "Unable to open the Messages database: "
  queryPrepareFailed = 2,  // "Unable to prepare the search query: "
  queryFailed = 3,         // "Unable to read the Messages database: " (a row could not be read)
  fullDiskAccessNotGranted = 4,
};
Error messageSearchError(MessageSearchErrorCode code, const std::string& cause);
std::optional<MessageSearchErrorCode> messageSearchErrorCode(const Error& error);

class MessageSearchService {
 public:
  static constexpr int kMaxResults = 50;
  static constexpr int kMinMessageLength = 2;
  static constexpr size_t kContactCacheCountLimit = 500;
  static constexpr size_t kContactCacheCostLimit = 52'428'800;
  static constexpr size_t kMaxContactIdentifiers = 100;

  struct Dependencies {
    std::shared_ptr<const FullDiskAccessController> access;
    std::shared_ptr<ContactStore> contacts;
    const Clock* clock = &SystemClock::instance();
    // Sees every statement before it is prepared (may be empty).
    StatementObserver statementObserver;
    // The zone in which time phrases of semantic queries are read (empty: the system's).
    std::string timeZoneID;
  };

  explicit MessageSearchService(Dependencies deps);

  // The panel's text search: never fails; failures are logged and give an
  // empty list.
  std::vector<MessageSearchResult> searchTextOnly(const std::string& query);
  // The same search, with the reason when it could not run (for callers that
  // tell a person what went wrong).
  Result<std::vector<MessageSearchResult>> searchText(const std::string& query);

  // Handles (phone digits with "+", e-mail addresses) of the contacts whose
  // name matches `query`, at most kMaxContactIdentifiers.
  std::vector<std::string> searchContactIdentifiers(const std::string& query);
  // `identifiers` and the database's handles that are one of its phone
  // numbers in another form (with a country code where the contact has a
  // national form, or the other way round).
  std::vector<std::string> withHandlesOfTheSameNumbers(std::vector<std::string> identifiers);
  // Contact name and thumbnail per handle; empty unless contacts are authorised.
  std::map<std::string, ContactCacheEntry> resolveContactsBatch(const std::vector<std::string>& handles);

  // Runs one message statement (columns as MessageRowDecoder expects) on a
  // fresh connection and builds results with contacts and attachments. The
  // text search uses it; so does hydration of stored conversation chunks.
  Result<std::vector<MessageSearchResult>> queryMessageResults(const std::string& sql,
                                                               const std::function<void(SqliteStatement&)>& bind,
                                                               std::optional<int> archivedTextColumn);

  // Semantic conversation search (MessageSemanticSearch.cpp): the chunks
  // nearest in meaning, a diverse few of them, each turned back into its
  // messages. Attached when semantic message search is switched on; null
  // detaches. Callable from any thread.
  void setEmbeddingStore(std::shared_ptr<SemanticChunkSource> store);
  bool hasEmbeddingStore() const;
  // At most 50 conversations, most similar first; stops between steps when
  // `cancellation` fires and returns what it has.
  std::vector<SemanticConversationResult> searchSemanticConversations(const std::string& query, int limit,
                                                                      const CancellationToken& cancellation = {});
  // One representative message per conversation (default 10, at most 50).
  std::vector<MessageSearchResult> searchSemanticFallbackResults(const std::string& query, std::optional<int> limit,
                                                                 const CancellationToken& cancellation = {});
  // Hydration of candidates: all in one statement by ROWID (the conversations
  // that got messages), and the per-chunk chain (ROWIDs, GUIDs, time range,
  // stored text) for one chunk; nullopt when every step failed.
  std::vector<SemanticConversationResult> hydrateConversationsUsingBatchRowIDs(
      const std::vector<MessageChunkSearchResult>& candidates);
  std::optional<SemanticConversationResult> hydrateSemanticConversation(const MessageChunkSearchResult& candidate,
                                                                        const CancellationToken& cancellation = {});

  const FullDiskAccessController& access() const { return *deps_.access; }
  ContactNameCache& contactNameCache() { return contactNameCache_; }
  // Connections opened so far (diagnostics and tests).
  uint64_t connectionsOpened() const { return connectionsOpened_.load(); }

 private:
  enum class Mode { text, contact };
  Result<std::vector<MessageSearchResult>> searchDatabase(Mode mode, const std::string& query,
                                                          const std::vector<std::string>& identifiers);
  std::vector<MessageSearchResult> buildMessageResults(MessagesDatabaseConnection& connection,
                                                       std::vector<PartialMessage> messages);
  std::map<int64_t, std::vector<MessageAttachment>> fetchAttachments(MessagesDatabaseConnection& connection,
                                                                     const std::vector<PartialMessage>& messages);
  std::optional<ContactCacheEntry> resolveContactInfo(const std::string& handle);

  std::vector<SemanticConversationResult> hydrateCandidates(const std::vector<MessageChunkSearchResult>& candidates,
                                                            const CancellationToken& cancellation);

  Dependencies deps_;
  mutable std::mutex storeMutex_;
  std::shared_ptr<SemanticChunkSource> embeddingStore_;  // guarded by storeMutex_
  ContactNameCache contactNameCache_{kContactCacheCountLimit, kContactCacheCostLimit};
  std::atomic<uint64_t> connectionsOpened_{0};
};

}  // namespace pallix
