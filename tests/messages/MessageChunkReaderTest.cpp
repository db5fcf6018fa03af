// The chunk indexer's reads of the generated fixture: the statements as
// written, the window, the chunks of every conversation, errors, an
// unchanged database and logs free of message text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/messages/MessageChunkCollector.h"
#include "app/messages/MessageText.h"
#include "core/Strings.h"
#include "testing/FakeContactStore.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

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
    EXPECT_EQ(chunk.identifier, chunk.metadata.chatGUID + "_" + formatShortestDouble(chunk.metadata.startDate));
    EXPECT_GT(chunk.metadata.startDate, cutoff);
    EXPECT_LE(chunk.metadata.startDate, chunk.metadata.endDate);
    EXPECT_TRUE(std::is_sorted(chunk.metadata.messageRowIDs.begin(), chunk.metadata.messageRowIDs.end()));
    EXPECT_EQ(chunk.metadata.messageRowIDs.size(), chunk.metadata.messageGUIDs.size());
    EXPECT_LE(characterCount(chunk.text), MessageChunkBuilder::kMaxChunkTextLength + 3);
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
