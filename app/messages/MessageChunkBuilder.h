// MessageChunkBuilder: which messages of a conversation form which chunks,
// and what each chunk's identifier, text and metadata are. The chunk
// indexer embeds and stores what this builds; `pallix messages chunks` shows
// it without a model.
//
// Rules: only the user's own messages and messages from senders with a
// contact name take part. Messages (in ROWID order) join the current run
// until the run holds 15 or the gap since its last message exceeds 4 hours.
// A closed run of 2 or more is a chunk; a single message is merged into the
// conversation's previous chunk, or stands alone when there is none. The
// chunk text is a short transcript (title line, date line, one "speaker:
// text" line per message) of at most 600 characters.
//
// Pure apart from the time zone used for the date line. Not thread-safe
// (it keeps a date formatter); use one builder per thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/messages/MessageRecords.h"
#include "app/platform/ContactStore.h"
#include "app/semantic/MessageEmbeddingStore.h"
#include "core/Error.h"

namespace pallix {

// What the message embedding store keeps with every chunk (one record for
// the builder, the indexer and the store).
using ChunkMetadata = MessageChunkMetadata;

struct PendingChunk {
  std::vector<RawMessage> messages;  // in ROWID order
  std::string chatGUID;
  std::optional<std::string> chatDisplayName;
};

struct MessageChunkRecord {
  std::string identifier;  // chatGUID "_" first message time
  std::string text;        // the text that is embedded (= metadata.combinedText)
  ChunkMetadata metadata;
};

// Contact names by handle, built once per indexing run from all contacts:
// phone numbers as digits (11 or more digits keyed by the last 10, fewer
// than 7 ignored), e-mail addresses lower-cased; at most kMaxEntries.
class ContactNameLookup {
 public:
  static constexpr size_t kMaxEntries = 10'000;
  static constexpr size_t kMinPhoneDigits = 7;

  ContactNameLookup() = default;
  // Logs its size ("Built contact lookup table with %ld entries").
  static ContactNameLookup build(const std::vector<ContactRecord>& contacts);
  // Reads the store; a failure is logged and gives an empty table.
  static ContactNameLookup build(ContactStore& contacts);

  // The table key of a handle, nullopt when it cannot be one.
  static std::optional<std::string> key(std::string_view handle);
  std::optional<std::string> name(std::string_view handle) const;
  size_t size() const { return names_.size(); }
  bool wasCapped() const { return capped_; }

 private:
  std::unordered_map<std::string, std::string> names_;
  bool capped_ = false;
};

// How an unknown handle is shown: an e-mail address by its part before the
// at sign with the first letter upper-cased, a phone number as "***" and its
// last 4 digits (shorter numbers as they are).
std::string handleDisplayForm(std::string_view handle);

class MessageChunkBuilder {
 public:
  static constexpr double kConversationGapThreshold = 14'400;
  static constexpr size_t kMaxChunkSize = 15;
  static constexpr size_t kMinChunkSize = 2;
  static constexpr size_t kMaxMessageLength = 500;
  static constexpr size_t kMaxChunkTextLength = 600;

  // `timeZoneID` names the zone of the date line ("Europe/Paris"); empty
  // means the system's zone.
  MessageChunkBuilder(const ContactNameLookup& names, const std::string& timeZoneID = "");
  ~MessageChunkBuilder();
  MessageChunkBuilder(const MessageChunkBuilder&) = delete;
  MessageChunkBuilder& operator=(const MessageChunkBuilder&) = delete;

  // Chunks of one conversation's messages (in ROWID order).
  std::vector<PendingChunk> buildTemporalChunks(const std::vector<RawMessage>& messages, const std::string& chatGUID,
                                                const std::optional<std::string>& chatDisplayName) const;
  std::string formatChunkText(const PendingChunk& chunk) const;
  // "Monday, June 3, 2024 in the morning", or "From ... to ..." across days.
  std::string formatDateContext(double startDate, double endDate) const;
  static std::string chunkIdentifier(const PendingChunk& chunk);
  MessageChunkRecord makeRecord(const PendingChunk& chunk) const;
  // buildTemporalChunks then makeRecord for each chunk.
  std::vector<MessageChunkRecord> buildRecords(const std::vector<RawMessage>& messages, const std::string& chatGUID,
                                               const std::optional<std::string>& chatDisplayName) const;

  // The speaker of a message: "Me", the contact name, the display form, or "Someone".
  std::string speakerName(const RawMessage& message) const;
  bool takesPart(const RawMessage& message) const;

 private:
  struct DateFormatting;
  const ContactNameLookup& names_;
  std::unique_ptr<DateFormatting> dates_;
};

}  // namespace pallix
