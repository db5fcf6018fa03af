#include "app/messages/MessageChunkBuilder.h"

#include <unicode/calendar.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cmath>

#include "app/messages/MessageText.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger instance("MessageChunkIndexer");
  return instance;
}

std::string digitsOf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c >= '0' && c <= '9') out.push_back(c);
  }
  return out;
}

// Appends `text` cut to `limit` characters (with "...") and returns its character count.
size_t appendCut(std::string& out, std::string_view text, size_t limit) {
  if (text.size() <= limit) {
    out.append(text);
    return characterCount(text);
  }
  size_t count = characterCount(text);
  if (count <= limit) {
    out.append(text);
    return count;
  }
  out.append(prefixCharacters(text, limit));
  out.append("...");
  return limit + 3;
}

}  // namespace

// ---------------------------------------------------------------------------
// Contact names

std::optional<std::string> ContactNameLookup::key(std::string_view handle) {
  handle = trimWhitespaceAndNewlines(handle);
  if (handle.find('@') != std::string_view::npos) return asciiLowercase(handle);
  std::string digits = digitsOf(handle);
  if (digits.size() < kMinPhoneDigits) return std::nullopt;
  if (digits.size() >= 11) digits = digits.substr(digits.size() - 10);
  return digits;
}

ContactNameLookup ContactNameLookup::build(const std::vector<ContactRecord>& contacts) {
  ContactNameLookup table;
  for (const ContactRecord& contact : contacts) {
    std::optional<std::string> name = formattedFullName(contact);
    if (!name) continue;
    std::vector<std::string> handles;
    for (const LabeledValue& p : contact.phoneNumbers) handles.push_back(p.value);
    for (const LabeledValue& e : contact.emailAddresses) handles.push_back(e.value);
    for (const std::string& handle : handles) {
      std::optional<std::string> k = key(handle);
      if (!k) continue;
      if (table.names_.size() >= kMaxEntries) {
        table.capped_ = true;
        break;
      }
      table.names_.emplace(std::move(*k), *name);
    }
    if (table.capped_) break;
  }
  if (table.capped_) logger().info("Contact lookup table capped at %ld entries", static_cast<long>(kMaxEntries));
  logger().debug("Built contact lookup table with %ld entries", static_cast<long>(table.names_.size()));
  return table;
}

ContactNameLookup ContactNameLookup::build(ContactStore& contacts) {
  if (contacts.authorizationStatus() != ContactsAuthorizationStatus::authorized) return {};
  auto all = contacts.allContacts();
  if (!all.ok()) {
    logger().error("Failed to build contact lookup table: %s", all.error().description().c_str());
    return {};
  }
  return build(all.value());
}

std::optional<std::string> ContactNameLookup::name(std::string_view handle) const {
  std::optional<std::string> k = key(handle);
  if (!k) return std::nullopt;
  if (auto it = names_.find(*k); it != names_.end()) return it->second;
  // An international number whose contact has it in national form: what
  // follows a country code of one to three digits, with or without the trunk 0.
  const std::string digits = digitsOf(handle);
  if (k->find('@') != std::string::npos || digits.size() < 11) return std::nullopt;
  for (size_t codeLength = 1; codeLength <= 3; ++codeLength) {
    const std::string national = digits.substr(codeLength);
    if (national.size() < 9) break;
    for (const std::string& candidate : {"0" + national, national}) {
      if (auto it = names_.find(candidate); it != names_.end()) return it->second;
    }
  }
  return std::nullopt;
}

std::string handleDisplayForm(std::string_view handle) {
  size_t at = handle.find('@');
  if (at != std::string_view::npos) {
    std::string_view local = handle.substr(0, at);
    if (local.empty()) return std::string();
    int32_t i = 0, n = static_cast<int32_t>(local.size());
    UChar32 first;
    U8_NEXT(local.data(), i, n, first);
    if (first < 0) return std::string(local);
    std::string out;
    appendUtf8(out, static_cast<char32_t>(u_toupper(first)));
    out.append(local.substr(static_cast<size_t>(i)));
    return out;
  }
  std::string digits = digitsOf(handle);
  if (digits.size() < 4) return std::string(handle);
  return "***" + digits.substr(digits.size() - 4);
}

// ---------------------------------------------------------------------------
// Chunks

struct MessageChunkBuilder::DateFormatting {
  std::unique_ptr<icu::TimeZone> zone;
  std::unique_ptr<icu::SimpleDateFormat> format;
  std::unique_ptr<icu::Calendar> calendar;

  std::string formatDay(double seconds) const {
    icu::UnicodeString text;
    format->format(seconds * 1000.0, text);
    std::string out;
    text.toUTF8String(out);
    return out;
  }
  // Year, day of year and hour in the zone.
  std::tuple<int, int, int> fields(double seconds) const {
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(seconds * 1000.0, status);
    return {calendar->get(UCAL_EXTENDED_YEAR, status), calendar->get(UCAL_DAY_OF_YEAR, status),
            calendar->get(UCAL_HOUR_OF_DAY, status)};
  }
};

MessageChunkBuilder::MessageChunkBuilder(const ContactNameLookup& names, const std::string& timeZoneID)
    : names_(names), dates_(std::make_unique<DateFormatting>()) {
  dates_->zone.reset(timeZoneID.empty() ? icu::TimeZone::createDefault()
                                        : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZoneID)));
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale english("en_US_POSIX");
  dates_->format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString("EEEE, MMMM d, yyyy"), english, status);
  dates_->format->setTimeZone(*dates_->zone);
  dates_->calendar.reset(icu::Calendar::createInstance(dates_->zone->clone(), english, status));
}

MessageChunkBuilder::~MessageChunkBuilder() = default;

bool MessageChunkBuilder::takesPart(const RawMessage& message) const {
  if (message.isFromMe) return true;
  return message.senderID && names_.name(*message.senderID).has_value();
}

std::string MessageChunkBuilder::speakerName(const RawMessage& message) const {
  if (message.isFromMe) return "Me";
  if (message.senderID) {
    if (auto name = names_.name(*message.senderID)) return *name;
    std::string form = handleDisplayForm(*message.senderID);
    if (!form.empty()) return form;
  }
  return "Someone";
}

std::vector<PendingChunk> MessageChunkBuilder::buildTemporalChunks(
    const std::vector<RawMessage>& messages, const std::string& chatGUID,
    const std::optional<std::string>& chatDisplayName) const {
  std::vector<PendingChunk> chunks;
  std::vector<RawMessage> run;
  auto close = [&] {
    if (run.empty()) return;
    if (run.size() == 1 && !chunks.empty()) {
      chunks.back().messages.push_back(std::move(run.front()));
    } else {
      chunks.push_back(PendingChunk{std::move(run), chatGUID, chatDisplayName});
    }
    run.clear();
  };
  for (const RawMessage& message : messages) {
    if (!takesPart(message)) continue;
    if (!run.empty() && (run.size() >= kMaxChunkSize || message.date - run.back().date > kConversationGapThreshold)) {
      close();
    }
    run.push_back(message);
  }
  close();
  return chunks;
}

std::string MessageChunkBuilder::formatDateContext(double startDate, double endDate) const {
  auto [startYear, startDay, startHour] = dates_->fields(startDate);
  auto [endYear, endDay, endHour] = dates_->fields(endDate);
  (void)endHour;
  if (startYear != endYear || startDay != endDay) {
    return "From " + dates_->formatDay(startDate) + " to " + dates_->formatDay(endDate);
  }
  const char* part = startHour >= 5 && startHour <= 11    ? "in the morning"
                     : startHour >= 12 && startHour <= 16 ? "in the afternoon"
                     : startHour >= 17 && startHour <= 20 ? "in the evening"
                                                          : "at night";
  return dates_->formatDay(startDate) + " " + part;
}

// Names and texts are made valid UTF-8 first, so what is embedded and stored
// is text whatever bytes the database holds, and the cuts count characters.
std::string MessageChunkBuilder::formatChunkText(const PendingChunk& chunk) const {
  std::string text;
  if (chunk.chatDisplayName) {
    text = toValidUtf8(*chunk.chatDisplayName) + ":";
  } else {
    std::string with = "Someone";
    for (const RawMessage& m : chunk.messages) {
      if (!m.isFromMe) {
        with = toValidUtf8(speakerName(m));
        break;
      }
    }
    text = "Conversation with " + with + ":";
  }
  double start = chunk.messages.empty() ? 0 : chunk.messages.front().date;
  double end = chunk.messages.empty() ? 0 : chunk.messages.back().date;
  text += "\n" + formatDateContext(start, end) + "\n";
  // Character counts add up across line breaks, so the running count is exact.
  size_t count = characterCount(text);
  bool first = true;
  for (const RawMessage& m : chunk.messages) {
    if (count >= kMaxChunkTextLength) break;
    std::string line = toValidUtf8(speakerName(m)) + ": ";
    appendCut(line, toValidUtf8(m.text), kMaxMessageLength);
    if (!first) {
      text += "\n";
      ++count;
    }
    first = false;
    text += line;
    count += characterCount(line);
  }
  if (count > kMaxChunkTextLength) {
    std::string cut(prefixCharacters(text, kMaxChunkTextLength));
    return cut + "...";
  }
  return text;
}

std::string MessageChunkBuilder::chunkIdentifier(const PendingChunk& chunk) {
  double first = chunk.messages.empty() ? 0.0 : chunk.messages.front().date;
  return chunk.chatGUID + "_" + formatShortestDouble(first);
}

MessageChunkRecord MessageChunkBuilder::makeRecord(const PendingChunk& chunk) const {
  MessageChunkRecord record;
  record.identifier = chunkIdentifier(chunk);
  record.text = formatChunkText(chunk);
  record.metadata.chatGUID = chunk.chatGUID;
  for (const RawMessage& m : chunk.messages) {
    record.metadata.messageRowIDs.push_back(m.rowID);
    record.metadata.messageGUIDs.push_back(m.guid);
  }
  record.metadata.startDate = chunk.messages.empty() ? 0 : chunk.messages.front().date;
  record.metadata.endDate = chunk.messages.empty() ? 0 : chunk.messages.back().date;
  record.metadata.combinedText = record.text;
  return record;
}

std::vector<MessageChunkRecord> MessageChunkBuilder::buildRecords(
    const std::vector<RawMessage>& messages, const std::string& chatGUID,
    const std::optional<std::string>& chatDisplayName) const {
  std::vector<MessageChunkRecord> records;
  for (const PendingChunk& chunk : buildTemporalChunks(messages, chatGUID, chatDisplayName)) {
    records.push_back(makeRecord(chunk));
  }
  return records;
}

}  // namespace pallix
