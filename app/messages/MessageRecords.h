// Message records: what the Messages database reader hands out.
//
// PartialMessage is one decoded row of the search and hydration statements;
// MessageSearchResult is the value the panel shows; RawMessage and ChatInfo
// are the chunk indexer's rows. Plain values, copied freely between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace pallix {

struct PartialMessage {
  int64_t rowID = 0;
  std::string guid;
  std::string text;
  Date date;
  bool isFromMe = false;
  std::string senderIdentifier;  // the handle, "Me" or "Unknown"
  std::string chatGUID;          // empty when the message is in no conversation
  std::optional<std::string> chatDisplayName;
  bool isGroupChat = false;
  friend bool operator==(const PartialMessage&, const PartialMessage&) = default;
};

struct MessageAttachment {
  int64_t id = 0;
  std::string filename;
  std::optional<std::string> mimeType;
  std::string filePath;  // the filename column as stored (may begin with "~")
  friend bool operator==(const MessageAttachment&, const MessageAttachment&) = default;
};

struct MessageSearchResult {
  int64_t id = 0;  // message ROWID; negative for results made from stored chunk text
  std::string guid;
  std::string text;
  Date date;
  bool isFromMe = false;
  std::string senderIdentifier;
  std::optional<std::string> senderDisplayName;
  std::optional<std::string> senderImageData;
  std::string chatGUID;
  std::optional<std::string> chatDisplayName;
  bool isGroupChat = false;
  int attachmentCount = 0;
  std::vector<std::string> attachmentPaths;
  friend bool operator==(const MessageSearchResult&, const MessageSearchResult&) = default;
};

struct ContactCacheEntry {
  std::optional<std::string> displayName;
  std::optional<std::string> imageData;
};

// One row of the chunk indexer's statements.
struct RawMessage {
  int64_t rowID = 0;
  std::string guid;
  std::string text;  // trimmed, at least 2 characters
  double date = 0;   // seconds since 1970
  bool isFromMe = false;
  std::optional<std::string> senderID;  // the handle; "unknown" for an inbound message without one
  std::optional<std::string> chatGUID;
  std::optional<std::string> chatDisplayName;
  friend bool operator==(const RawMessage&, const RawMessage&) = default;
};

struct ChatInfo {
  std::string guid;
  std::optional<std::string> displayName;
  int64_t messageCount = 0;
  friend bool operator==(const ChatInfo&, const ChatInfo&) = default;
};

// The conversation URL that opens a message: "sms://open?message-guid=" and
// the GUID, or, when the GUID cannot stand in that URL as it is,
// "messages://open?guid=" and the percent-encoded GUID.
std::string conversationURL(const std::string& messageGUID);

}  // namespace pallix
