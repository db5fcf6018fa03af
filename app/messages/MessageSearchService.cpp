#include "app/messages/MessageSearchService.h"

#include <future>
#include <set>
#include <unordered_set>

#include "app/messages/MessageRowDecoder.h"
#include "app/messages/MessageStatements.h"
#include "app/messages/MessageText.h"
#include "core/Logger.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger instance("MessageSearchService");
  return instance;
}

constexpr const char* kErrorDomain = "MessageSearchError";
constexpr const char* kFullDiskAccessMessage = "Full Disk Access not granted; cannot search messages";

}  // namespace

Error messageSearchError(MessageSearchErrorCode code, const std::string& cause) {
  const char* prefix = "";
  switch (code) {
    case MessageSearchErrorCode::databaseOpenFailed:
      prefix = "Unable to open the Messages database: ";
      break;
    case MessageSearchErrorCode::queryPrepareFailed:
      prefix = "Unable to prepare the search query: ";
      break;
    case MessageSearchErrorCode::queryFailed:
      prefix = "Unable to read the Messages database: ";
      break;
    case MessageSearchErrorCode::fullDiskAccessNotGranted:
      return Error(kErrorDomain, static_cast<int>(code), kFullDiskAccessMessage);
  }
  return Error(kErrorDomain, static_cast<int>(code), prefix + cause);
}

std::optional<MessageSearchErrorCode> messageSearchErrorCode(const Error& error) {
  if (error.domain() != kErrorDomain) return std::nullopt;
  return static_cast<MessageSearchErrorCode>(error.code());
}

MessageSearchService::MessageSearchService(Dependencies deps) : deps_(std::move(deps)) {}

std::vector<MessageSearchResult> MessageSearchService::searchTextOnly(const std::string& query) {
  auto results = searchText(query);
  if (results.ok()) return std::move(results).value();
  if (messageSearchErrorCode(results.error()) == MessageSearchErrorCode::fullDiskAccessNotGranted) {
    logger().error("%s", kFullDiskAccessMessage);
  } else {
    logger().error("Text search failed: %s", results.error().description().c_str());
  }
  return {};
}

Result<std::vector<MessageSearchResult>> MessageSearchService::searchText(const std::string& query) {
  std::string trimmed(trimWhitespaceAndNewlines(query));
  if (trimmed.empty()) return std::vector<MessageSearchResult>();
  if (!deps_.access->isFullDiskAccessGranted()) {
    return messageSearchError(MessageSearchErrorCode::fullDiskAccessNotGranted, "");
  }
  std::vector<std::string> identifiers = withHandlesOfTheSameNumbers(searchContactIdentifiers(trimmed));
  // The sender/conversation statement runs beside the body statement.
  auto contactSearch = std::async(std::launch::async, [this, &trimmed, &identifiers] {
    return searchDatabase(Mode::contact, trimmed, identifiers);
  });
  auto textResults = searchDatabase(Mode::text, trimmed, identifiers);
  auto contactResults = contactSearch.get();
  if (!textResults.ok()) return textResults.error();
  if (!contactResults.ok()) return contactResults.error();

  std::vector<MessageSearchResult> merged;
  std::unordered_set<int64_t> seen;
  for (auto* list : {&textResults.value(), &contactResults.value()}) {
    for (MessageSearchResult& r : *list) {
      if (seen.insert(r.id).second) merged.push_back(std::move(r));
    }
  }
  if (merged.size() > static_cast<size_t>(kMaxResults)) merged.resize(kMaxResults);
  return merged;
}

Result<std::vector<MessageSearchResult>> MessageSearchService::searchDatabase(
    Mode mode, const std::string& query, const std::vector<std::string>& identifiers) {
  // The user's "%" and "_" are characters to find, not wildcards.
  std::string pattern = "%";
  for (char c : query) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  if (mode == Mode::text) {
    return queryMessageResults(
        message_sql::textSearch(),
        [&](SqliteStatement& s) {
          s.bind(1, pattern);
          s.bind(2, int64_t{kMaxResults});
        },
        std::nullopt);
  }
  return queryMessageResults(
      message_sql::contactSearch(identifiers.size()),
      [&](SqliteStatement& s) {
        s.bind(1, pattern);
        s.bind(2, pattern);
        int index = 3;
        for (const std::string& id : identifiers) s.bind(index++, id);
        s.bind(index, int64_t{kMaxResults});
      },
      std::nullopt);
}

Result<std::vector<MessageSearchResult>> MessageSearchService::queryMessageResults(
    const std::string& sql, const std::function<void(SqliteStatement&)>& bind, std::optional<int> archivedTextColumn) {
  ++connectionsOpened_;
  auto connection = access().openDatabase(deps_.statementObserver);
  if (!connection.ok()) {
    return messageSearchError(MessageSearchErrorCode::databaseOpenFailed, connection.error().description());
  }
  std::vector<PartialMessage> messages;
  {
    auto statement = connection.value()->prepare(sql);
    if (!statement.ok()) {
      return messageSearchError(MessageSearchErrorCode::queryPrepareFailed, statement.error().description());
    }
    bind(statement.value());
    MessageRowDecoder decoder(deps_.clock->wallNow());
    auto decoded = decoder.decodeAllPartial(statement.value(), archivedTextColumn);
    if (!decoded.ok()) return messageSearchError(MessageSearchErrorCode::queryFailed, decoded.error().description());
    messages = std::move(decoded).value();
  }
  return buildMessageResults(*connection.value(), std::move(messages));
}

std::map<int64_t, std::vector<MessageAttachment>> MessageSearchService::fetchAttachments(
    MessagesDatabaseConnection& connection, const std::vector<PartialMessage>& messages) {
  std::map<int64_t, std::vector<MessageAttachment>> byMessage;
  if (messages.empty()) return byMessage;
  auto statement = connection.prepare(message_sql::attachments(messages.size()));
  if (!statement.ok()) return byMessage;
  for (size_t i = 0; i < messages.size(); ++i) statement.value().bind(static_cast<int>(i + 1), messages[i].rowID);
  for (;;) {
    auto row = statement.value().step();
    if (!row.ok()) return {};  // a failure here gives no attachments
    if (!row.value()) break;
    const SqliteStatement& s = statement.value();
    std::optional<std::string> filename = s.columnOptionalText(2);
    if (!filename) continue;
    MessageAttachment a;
    a.id = s.columnInt(1);
    a.filename = *filename;
    a.mimeType = s.columnOptionalText(3);
    a.filePath = s.columnOptionalText(4).value_or(*filename);
    byMessage[s.columnInt(0)].push_back(std::move(a));
  }
  return byMessage;
}

std::vector<MessageSearchResult> MessageSearchService::buildMessageResults(MessagesDatabaseConnection& connection,
                                                                           std::vector<PartialMessage> messages) {
  auto attachments = fetchAttachments(connection, messages);
  std::vector<std::string> senders;
  std::set<std::string> distinct;
  for (const PartialMessage& m : messages) {
    if (m.isFromMe || m.senderIdentifier == "Unknown") continue;
    if (distinct.insert(m.senderIdentifier).second) senders.push_back(m.senderIdentifier);
  }
  std::map<std::string, ContactCacheEntry> contacts = resolveContactsBatch(senders);

  std::vector<MessageSearchResult> results;
  results.reserve(messages.size());
  for (PartialMessage& m : messages) {
    MessageSearchResult r;
    r.id = m.rowID;
    r.guid = std::move(m.guid);
    r.text = std::move(m.text);
    r.date = m.date;
    r.isFromMe = m.isFromMe;
    if (!m.isFromMe) {
      if (auto it = contacts.find(m.senderIdentifier); it != contacts.end()) {
        r.senderDisplayName = it->second.displayName;
        r.senderImageData = it->second.imageData;
      }
    }
    r.senderIdentifier = std::move(m.senderIdentifier);
    r.chatGUID = std::move(m.chatGUID);
    r.chatDisplayName = std::move(m.chatDisplayName);
    r.isGroupChat = m.isGroupChat;
    if (auto it = attachments.find(m.rowID); it != attachments.end()) {
      r.attachmentCount = static_cast<int>(it->second.size());
      for (const MessageAttachment& a : it->second) r.attachmentPaths.push_back(a.filePath);
    }
    results.push_back(std::move(r));
  }
  return results;
}

std::vector<std::string> MessageSearchService::searchContactIdentifiers(const std::string& query) {
  if (!deps_.contacts || deps_.contacts->authorizationStatus() != ContactsAuthorizationStatus::authorized) return {};
  auto found = deps_.contacts->contactsMatchingName(query);
  if (!found.ok()) {
    logger().error("Contact search failed: %s", found.error().description().c_str());
    return {};
  }
  std::vector<std::string> identifiers;
  for (const ContactRecord& contact : found.value()) {
    for (const LabeledValue& phone : contact.phoneNumbers) {
      std::string kept;
      for (char c : phone.value) {
        if ((c >= '0' && c <= '9') || c == '+') kept.push_back(c);
      }
      if (!kept.empty()) identifiers.push_back(std::move(kept));
    }
    for (const LabeledValue& email : contact.emailAddresses) identifiers.push_back(email.value);
  }
  if (identifiers.size() > kMaxContactIdentifiers) {
    logger().debug("Contact identifiers capped at %ld (had %ld)", static_cast<long>(kMaxContactIdentifiers),
                   static_cast<long>(identifiers.size()));
    identifiers.resize(kMaxContactIdentifiers);
  }
  return identifiers;
}

std::vector<std::string> MessageSearchService::withHandlesOfTheSameNumbers(std::vector<std::string> identifiers) {
  std::vector<std::string> numbers;
  for (const std::string& id : identifiers) {
    if (id.find('@') == std::string::npos) numbers.push_back(id);
  }
  if (numbers.empty()) return identifiers;
  auto connection = access().openDatabase(deps_.statementObserver);
  if (!connection.ok()) return identifiers;  // the searches report it
  auto statement = connection.value()->prepare(message_sql::phoneHandles());
  if (!statement.ok()) return identifiers;
  std::unordered_set<std::string> known(identifiers.begin(), identifiers.end());
  for (;;) {
    auto row = statement.value().step();
    if (!row.ok()) {
      logger().error("Reading the handles failed: %s", row.error().description().c_str());
      break;
    }
    if (!row.value()) break;
    std::optional<std::string> handle = statement.value().columnOptionalText(0);
    if (!handle || known.count(*handle)) continue;
    for (const std::string& number : numbers) {
      if (ContactMatcher::matchesPhoneNumber(*handle, number)) {
        known.insert(*handle);
        identifiers.push_back(*handle);
        break;
      }
    }
  }
  return identifiers;
}

std::optional<ContactCacheEntry> MessageSearchService::resolveContactInfo(const std::string& handle) {
  if (auto cached = contactNameCache_.find(handle)) return cached;
  bool isEmail = handle.find('@') != std::string::npos;
  auto found = isEmail ? deps_.contacts->contactsMatchingEmailAddress(handle)
                       : deps_.contacts->contactsMatchingPhoneNumber(handle);
  if (!found.ok()) {
    // The handle is private; only the failure is logged.
    logger().error("Contact lookup failed for %s: %s", "<private>", found.error().description().c_str());
    return std::nullopt;
  }
  ContactCacheEntry entry;
  if (!found.value().empty()) {
    const ContactRecord& contact = found.value().front();
    entry.displayName = formattedFullName(contact);
    entry.imageData = contact.thumbnailImageData;
  }
  contactNameCache_.store(handle, entry);
  return entry;
}

std::map<std::string, ContactCacheEntry> MessageSearchService::resolveContactsBatch(
    const std::vector<std::string>& handles) {
  std::map<std::string, ContactCacheEntry> resolved;
  if (!deps_.contacts || deps_.contacts->authorizationStatus() != ContactsAuthorizationStatus::authorized) {
    return resolved;
  }
  // Look-ups are in memory (vCard files read once), so they run in turn.
  for (const std::string& handle : handles) {
    if (auto entry = resolveContactInfo(handle)) resolved.emplace(handle, std::move(*entry));
  }
  return resolved;
}

}  // namespace pallix
