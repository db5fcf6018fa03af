// Message chunks: the builder's chunking rules as a table and against a
// simple model over random conversations, the chunk text, identifiers,
// metadata and contact-name rules; then the reads of the generated fixture
// (the statements as written, the window, the chunks of every conversation,
// errors).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "app/messages/MessageChunkBuilder.h"
#include "app/messages/MessageChunkCollector.h"
#include "app/messages/MessageText.h"
#include "core/Utf8.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

constexpr double kJune3 = 1717372800;  // Monday, June 3, 2024 00:00 UTC
constexpr double kHour = 3600;
const char* const kAlice = "+15550100001";

ContactNameLookup names() {
  return ContactNameLookup::build({{.formattedName = "Alice Adams", .phoneNumbers = {{"cell", "+1 (555) 010-0001"}}},
                                   {.givenName = "Bob", .emailAddresses = {{"", "Bob@Example.com"}}}});
}

RawMessage message(int64_t rowID, double date, std::optional<std::string> sender = kAlice,
                   std::string text = "hello there") {
  RawMessage m;
  m.rowID = rowID;
  m.guid = "G" + std::to_string(rowID);
  m.date = date;
  m.isFromMe = !sender;
  m.senderID = std::move(sender);
  m.text = std::move(text);
  return m;
}

std::vector<std::vector<int64_t>> partition(const std::vector<PendingChunk>& chunks) {
  std::vector<std::vector<int64_t>> out;
  for (const auto& c : chunks) {
    out.emplace_back();
    for (const auto& m : c.messages) out.back().push_back(m.rowID);
  }
  return out;
}

class ChunkBuilderTest : public ::testing::Test {
 protected:
  std::vector<PendingChunk> chunk(const std::vector<RawMessage>& messages) const {
    return builder.buildTemporalChunks(messages, "chat", std::nullopt);
  }
  ContactNameLookup lookup = names();
  MessageChunkBuilder builder{lookup, "UTC"};
};

// Bytes that are not UTF-8 in a message text or a conversation name (a bad
// lead byte, a cut sequence, a stray continuation byte, a surrogate) reach
// the chunk as U+FFFD, wherever the text is cut.
TEST_F(ChunkBuilderTest, ChunkTextIsValidUtf8WhateverTheDatabaseHolds) {
  const std::string bad[] = {"caf\xC3 au lait",   "\xFF\xFEwide",           "euro \xE2\x82",
                             "\x80\x80\x80 lone", "\xED\xA0\x80 surrogate", "ok \xF0\x9F\x98\x80 ok"};
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    for (size_t pad : {0u, 495u, 590u}) {
      std::vector<RawMessage> messages = {message(1, kJune3, std::nullopt, std::string(pad, 'a') + text),
                                          message(2, kJune3 + 60, kAlice, text + text)};
      auto records = builder.buildRecords(messages, "chat", "Trip " + text);
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(firstInvalidUtf8Offset(records[0].text), std::string_view::npos) << records[0].text;
      EXPECT_EQ(records[0].metadata.combinedText, records[0].text);
      if (pad == 0) {
        EXPECT_NE(records[0].text.find(toValidUtf8(text)), std::string::npos) << records[0].text;
      }
    }
  }
  EXPECT_EQ(toValidUtf8("caf\xC3 au"), "caf\uFFFD au");
  EXPECT_EQ(toValidUtf8("\xFF\xFE"), "\uFFFD\uFFFD");
  EXPECT_EQ(toValidUtf8("euro \xE2\x82"), "euro \uFFFD");
  EXPECT_EQ(toValidUtf8("\x80\x80 x"), "\uFFFD\uFFFD x");
  EXPECT_EQ(toValidUtf8("\xED\xA0\x80 \xF0\x9F\x8E \xC0\xAF"), "\uFFFD\uFFFD\uFFFD \uFFFD \uFFFD\uFFFD");
  EXPECT_EQ(toValidUtf8("ok \xF0\x9F\x98\x80"), "ok \xF0\x9F\x98\x80");
}

TEST_F(ChunkBuilderTest, FollowsTheChunkingRules) {
  auto spaced = [](int count, double gap) {
    std::vector<RawMessage> out;
    for (int i = 0; i < count; ++i)
      out.push_back(message(i + 1, kJune3 + i * gap, i % 2 ? std::optional<std::string>(kAlice) : std::nullopt));
    return out;
  };
  struct Case {
    const char* name;
    std::vector<RawMessage> messages;
    std::vector<std::vector<int64_t>> expected;
  };
  const Case cases[] = {
      {"exactly 4 hours apart stay", spaced(3, 4 * kHour), {{1, 2, 3}}},
      {"5 hours apart start a new chunk",
       {message(1, kJune3), message(2, kJune3 + 60), message(3, kJune3 + 5 * kHour + 60),
        message(4, kJune3 + 5 * kHour + 120)},
       {{1, 2}, {3, 4}}},
      {"senders without a contact name stay out",
       {message(1, kJune3, "+15550199999"), message(2, kJune3 + 1, "unknown"), message(3, kJune3 + 2),
        message(4, kJune3 + 3, std::nullopt), message(5, kJune3 + 4, "bob@example.COM")},
       {{3, 4, 5}}},
  };
  for (const Case& c : cases) EXPECT_EQ(partition(chunk(c.messages)), c.expected) << c.name;
}

// The same rules said another way: split at gaps of more than 4 hours, cut
// each stretch into pieces of 15, and fold each single piece into the chunk
// before it. The model borrows the gap and who takes part from the builder;
// the table above pins them.
std::vector<std::vector<int64_t>> model(const std::vector<RawMessage>& all, const MessageChunkBuilder& builder) {
  std::vector<std::vector<RawMessage>> stretches;
  for (const RawMessage& m : all) {
    if (!builder.takesPart(m)) continue;
    if (stretches.empty() || m.date - stretches.back().back().date > MessageChunkBuilder::kConversationGapThreshold) {
      stretches.emplace_back();
    }
    stretches.back().push_back(m);
  }
  std::vector<std::vector<int64_t>> chunks;
  for (const auto& stretch : stretches) {
    for (size_t start = 0; start < stretch.size(); start += 15) {
      std::vector<int64_t> piece;
      for (size_t i = start; i < std::min(start + 15, stretch.size()); ++i) piece.push_back(stretch[i].rowID);
      if (piece.size() == 1 && !chunks.empty()) {
        chunks.back().push_back(piece.front());
      } else {
        chunks.push_back(piece);
      }
    }
  }
  return chunks;
}

TEST_F(ChunkBuilderTest, RandomConversationsMatchTheModel) {
  std::mt19937 rng(7);
  const double gaps[] = {10, 300, 3 * kHour, 4 * kHour, 4 * kHour + 1, 6 * kHour, 3 * 86400};
  const std::optional<std::string> senders[] = {std::nullopt, kAlice, "bob@example.com", "+15550199999", "unknown"};
  for (int round = 0; round < 500; ++round) {
    std::vector<RawMessage> messages;
    double t = kJune3;
    int count = static_cast<int>(rng() % 60);
    for (int i = 0; i < count; ++i) {
      t += gaps[rng() % (1 + round % 7)];  // some rounds without long gaps: long stretches
      messages.push_back(message(i + 1, t, senders[rng() % 5]));
    }
    ASSERT_EQ(partition(chunk(messages)), model(messages, builder)) << "round " << round;
  }
}

TEST_F(ChunkBuilderTest, WritesAShortTranscript) {
  std::vector<RawMessage> messages = {message(1, kJune3 + 9 * kHour, std::nullopt, "Are we on for lunch?"),
                                      message(2, kJune3 + 9 * kHour + 60, kAlice, "Yes, at noon")};
  EXPECT_EQ(builder.formatChunkText({messages, "chat", "Trip planning"}),
            "Trip planning:\nMonday, June 3, 2024 in the morning\nMe: Are we on for lunch?\nAlice Adams: Yes, at noon");
  EXPECT_EQ(builder.formatChunkText({messages, "chat", std::nullopt}).substr(0, 31),
            "Conversation with Alice Adams:\n");
  EXPECT_EQ(builder.formatChunkText({{messages[0]}, "chat", std::nullopt}).substr(0, 27),
            "Conversation with Someone:\n");

  std::string longText(800, 'x');
  std::string text = builder.formatChunkText({{message(1, kJune3, std::nullopt, longText)}, "chat", "T"});
  EXPECT_NE(text.find("Me: " + std::string(500, 'x') + "..."), std::string::npos);
  EXPECT_EQ(text.find(std::string(501, 'x')), std::string::npos);

  std::vector<RawMessage> many;
  for (int i = 0; i < 20; ++i) many.push_back(message(i + 1, kJune3 + i, std::nullopt, std::string(100, 'a' + i)));
  std::string capped = builder.formatChunkText({many, "chat", "T"});
  EXPECT_EQ(characterCount(capped), 603u);
  EXPECT_EQ(capped.substr(capped.size() - 3), "...");
  EXPECT_EQ(capped.find(std::string(10, 'a' + 6)), std::string::npos);  // no line once 600 characters are there
}

TEST_F(ChunkBuilderTest, DateLineNamesThePartOfTheDay) {
  struct Case {
    double hour;
    const char* part;
  };
  const Case cases[] = {{4, "at night"},           {5, "in the morning"},      {11.99, "in the morning"},
                        {12, "in the afternoon"},  {16.5, "in the afternoon"}, {17, "in the evening"},
                        {20.99, "in the evening"}, {21, "at night"},           {0, "at night"}};
  for (const Case& c : cases) {
    double start = kJune3 + c.hour * kHour;
    EXPECT_EQ(builder.formatDateContext(start, start), std::string("Monday, June 3, 2024 ") + c.part) << c.hour;
  }
  EXPECT_EQ(builder.formatDateContext(kJune3 + 23 * kHour, kJune3 + 25 * kHour),
            "From Monday, June 3, 2024 to Tuesday, June 4, 2024");
  MessageChunkBuilder pacific(lookup, "America/Los_Angeles");
  EXPECT_EQ(pacific.formatDateContext(kJune3 + 9 * kHour, kJune3 + 9 * kHour), "Monday, June 3, 2024 at night");
}

TEST_F(ChunkBuilderTest, IdentifiersAndMetadataAreStable) {
  std::vector<RawMessage> messages = {message(7, kJune3 + 0.25), message(9, kJune3 + 120)};
  MessageChunkRecord record = builder.makeRecord({messages, "iMessage;-;+15550100001", std::nullopt});
  EXPECT_EQ(record.identifier, "iMessage;-;+15550100001_1717372800.25");
  EXPECT_EQ(MessageChunkBuilder::chunkIdentifier({{}, "c", std::nullopt}), "c_0.0");
  // Dates print shortest, with a fraction.
  EXPECT_EQ(formatShortestDouble(1717401600.123456), "1717401600.123456");
  EXPECT_EQ(formatShortestDouble(-2.5), "-2.5");
  const std::map<std::string, std::string> expected = {
      {"chatGUID", "iMessage;-;+15550100001"}, {"messageRowIDs", "[7,9]"},  {"messageGUIDs", "[\"G7\",\"G9\"]"},
      {"startDate", "1717372800.25"},          {"endDate", "1717372920.0"}, {"combinedText", record.text}};
  EXPECT_EQ(record.metadata.toMap(), expected);
  auto back = ChunkMetadata::fromMap(expected);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), record.metadata);
}

TEST(ContactNameLookupTest, KeysPhonesByTheirLastTenDigitsAndMailsLowerCased) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {{"+1 (555) 010-0001", "5550100001"},
                                                                      {"5550100001", "5550100001"},
                                                                      {"010-0001", "0100001"},
                                                                      {"12345", std::nullopt},
                                                                      {"Bob@Example.COM", "bob@example.com"}};
  for (const auto& [handle, key] : cases) EXPECT_EQ(ContactNameLookup::key(handle), key) << handle;

  std::vector<ContactRecord> crowd(10'001);
  for (size_t i = 0; i < crowd.size(); ++i) {
    crowd[i].formattedName = "P" + std::to_string(i);
    crowd[i].phoneNumbers = {{"", std::to_string(5550000000 + i)}};
  }
  ContactNameLookup table = ContactNameLookup::build(crowd);
  EXPECT_EQ(table.size(), ContactNameLookup::kMaxEntries);
  EXPECT_TRUE(table.wasCapped());
  EXPECT_EQ(table.name("+1 555 000 0000"), "P0");
}

TEST(ContactNameLookupTest, InternationalHandlesFindContactsWithNationalNumbers) {
  ContactNameLookup table =
      ContactNameLookup::build({{.formattedName = "Camille", .phoneNumbers = {{"", "06 12 34 56 78"}}},
                                {.formattedName = "Jonas", .phoneNumbers = {{"", "030 12345678"}}},
                                {.formattedName = "Lucía", .phoneNumbers = {{"", "612 345 679"}}}});
  EXPECT_EQ(table.name("+33612345678"), "Camille");
  EXPECT_EQ(table.name("+49 30 12345678"), "Jonas");
  EXPECT_EQ(table.name("+34612345679"), "Lucía");
  EXPECT_EQ(table.name("+33712345678"), std::nullopt);
}

TEST(ContactNameLookupTest, UnknownHandlesHaveADisplayForm) {
  const std::pair<const char*, const char*> cases[] = {{"bob.smith@x.org", "Bob.smith"},
                                                       {"élodie@x.fr", "Élodie"},
                                                       {"+15550100001", "***0001"},
                                                       {"123", "123"},
                                                       {"unknown", "unknown"}};
  for (auto [handle, form] : cases) EXPECT_EQ(handleDisplayForm(handle), form) << handle;
}

using testing::fixturePath;

class FixtureReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock.setWallNow(dateFromSecondsSince1970(testing::kFixtureNow));
    reader = std::make_unique<MessageHistoryReader>(testing::accessTo(fixturePath("chat.db")), clock,
                                                    [this](const std::string& sql) { statements.push_back(sql); });
    cutoff = MessageHistoryReader::rollingWindowCutoff(clock.wallNow(), "UTC");
  }

  ManualClock clock;
  std::vector<std::string> statements;
  std::unique_ptr<MessageHistoryReader> reader;
  ContactNameLookup names = ContactNameLookup::build(testing::fixtureContacts());
  double cutoff = 0;
};

TEST_F(FixtureReaderTest, RunsTheStatementsAsWritten) {
  const std::string columns =
      "SELECT\n    m.ROWID,\n    m.guid,\n    m.text,\n    m.date,\n    m.is_from_me,\n    h.id as sender_id,\n"
      "    c.guid as chat_guid,\n    c.display_name as chat_display_name,\n    m.attributedBody\n"
      "FROM message m\nLEFT JOIN handle h ON m.handle_id = h.ROWID\n";
  const std::string leftJoins =
      "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\nLEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";
  ASSERT_TRUE(reader->maxRowID().ok());
  ASSERT_TRUE(reader->messagesInWindowCount(cutoff).ok());
  ASSERT_TRUE(reader->chatsWithCounts(0, cutoff).ok());
  ASSERT_TRUE(reader->chatMessages("x", 0, cutoff).ok());
  ASSERT_TRUE(reader->newMessages(0, cutoff, 10).ok());
  ASSERT_TRUE(reader->messagesByRowIDs({1, 2}).ok());
  const std::vector<std::string> expected = {
      "SELECT MAX(ROWID) FROM message",
      "SELECT COUNT(*) FROM message\nWHERE date > ?\n    AND (\n        (text IS NOT NULL AND LENGTH(text) >= 2)\n"
      "        OR attributedBody IS NOT NULL\n    )",
      "SELECT c.guid, c.display_name, COUNT(m.ROWID) as msg_count\nFROM chat c\n"
      "JOIN chat_message_join cmj ON c.ROWID = cmj.chat_id\nJOIN message m ON cmj.message_id = m.ROWID\n"
      "WHERE m.ROWID > ?\n    AND m.date > ?\n    AND (\n        (m.text IS NOT NULL AND LENGTH(m.text) >= 2)\n"
      "        OR m.attributedBody IS NOT NULL\n    )\nGROUP BY c.guid\nORDER BY msg_count DESC",
      columns +
          "JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\nJOIN chat c ON cmj.chat_id = c.ROWID\n"
          "WHERE c.guid = ?\n    AND m.ROWID > ?\n    AND m.date > ?\n"
          "    AND (m.text IS NOT NULL OR m.attributedBody IS NOT NULL)\nORDER BY m.ROWID ASC",
      columns + leftJoins +
          "WHERE m.ROWID > ?\n    AND m.date > ?\n    AND (m.text IS NOT NULL OR m.attributedBody IS NOT NULL)\n"
          "ORDER BY m.ROWID ASC\nLIMIT ?",
      columns + leftJoins + "WHERE m.ROWID IN (?,?)\nORDER BY m.ROWID ASC",
  };
  EXPECT_EQ(statements, expected);
}

TEST_F(FixtureReaderTest, ChunksEveryConversationOfTheWindowOnce) {
  MessageChunkBuilder builder(names, "UTC");
  int64_t progressCalls = 0;
  ChunkCollectionOptions options{cutoff, std::nullopt, [&](int64_t, int64_t) { ++progressCalls; }, {}};
  auto collected = collectWindowChunks(*reader, builder, options);
  ASSERT_TRUE(collected.ok()) << collected.error().description();
  const ChunkCollection& c = collected.value();
  ASSERT_GT(c.chunks.size(), 50u);
  EXPECT_EQ(progressCalls, c.chatCount);
  EXPECT_LE(c.messageCount, c.windowMessageCount);

  std::set<std::string> identifiers;
  std::set<int64_t> seen;
  size_t inChunks = 0;
  for (const MessageChunkRecord& chunk : c.chunks) {
    EXPECT_TRUE(identifiers.insert(chunk.identifier).second) << chunk.identifier;
    EXPECT_GT(chunk.metadata.startDate, cutoff);
    EXPECT_LE(chunk.metadata.startDate, chunk.metadata.endDate);
    EXPECT_TRUE(std::is_sorted(chunk.metadata.messageRowIDs.begin(), chunk.metadata.messageRowIDs.end()));
    EXPECT_EQ(chunk.metadata.messageRowIDs.size(), chunk.metadata.messageGUIDs.size());
    for (int64_t id : chunk.metadata.messageRowIDs) EXPECT_TRUE(seen.insert(id).second) << id;
    inChunks += chunk.metadata.messageRowIDs.size();
  }
  // Messages of a conversation taking part are exactly those in its chunks.
  size_t takingPart = 0;
  auto chats = reader->chatsWithCounts(0, cutoff);
  ASSERT_TRUE(chats.ok());
  for (const ChatInfo& chat : chats.value()) {
    auto messages = reader->chatMessages(chat.guid, 0, cutoff);
    ASSERT_TRUE(messages.ok());
    for (const RawMessage& m : messages.value()) takingPart += builder.takesPart(m);
  }
  EXPECT_EQ(inChunks, takingPart);

  ChunkCollectionOptions one{cutoff, c.chunks.front().metadata.chatGUID, {}, {}};
  auto single = collectWindowChunks(*reader, builder, one);
  ASSERT_TRUE(single.ok());
  EXPECT_EQ(single.value().chatCount, 1);
  for (const auto& chunk : single.value().chunks) EXPECT_EQ(chunk.metadata.chatGUID, *one.chatGUID);
}

TEST_F(FixtureReaderTest, ArchivedBodiesAndOddRowsDecodeByTheRules) {
  auto rows = reader->newMessages(0, 0, 1'000'000);
  ASSERT_TRUE(rows.ok());
  std::set<std::string> guids;
  for (const RawMessage& m : rows.value()) {
    guids.insert(m.guid);
    EXPECT_GE(characterCount(m.text), 2u);
    EXPECT_EQ(m.text.find("kIM"), std::string::npos);
    if (!m.isFromMe) {
      EXPECT_TRUE(m.senderID.has_value());
    }
  }
  EXPECT_TRUE(guids.count("ODD-TOMORROW"));
  EXPECT_FALSE(guids.count("ODD-REFERENCE-INSTANT"));
  EXPECT_FALSE(guids.count("ODD-TWO-YEARS-AHEAD"));
  int64_t largest = 0;
  for (const auto& row : testing::loadFixtureRows()) largest = std::max(largest, row.rowID);
  EXPECT_EQ(reader->maxRowID().value(), largest);
}

TEST(MessageHistoryReaderTest, ErrorsNameTheStepThatFailed) {
  testing::TempDir dir;
  ManualClock clock;
  MessageHistoryReader missing(testing::accessTo(dir / "missing.db"), clock);
  EXPECT_TRUE(testing::failsWith(missing.maxRowID(), "Failed to open Messages database: unable to open"));
  std::filesystem::copy_file(testing::fixturePath("empty.db"), dir / "foreign.db");
  testing::execSQL(dir / "foreign.db", "DROP TABLE message");
  MessageHistoryReader foreign(testing::accessTo(dir / "foreign.db"), clock);
  EXPECT_TRUE(testing::failsWith(foreign.chatMessages("x", 0, 0), "Message query failed: no such table: message"));
}

TEST(MessageHistoryReaderTest, WindowIsTwelveCalendarMonths) {
  EXPECT_EQ(MessageHistoryReader::rollingWindowCutoff(dateFromSecondsSince1970(1767225600), "UTC"), 1735689600);
  // 2024-02-29 minus a year is 2023-02-28.
  EXPECT_EQ(MessageHistoryReader::rollingWindowCutoff(dateFromSecondsSince1970(1709164800), "UTC"), 1677542400);
}

}  // namespace
}  // namespace pallix
