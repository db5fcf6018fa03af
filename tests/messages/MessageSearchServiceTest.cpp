// MessageSearchService over small hand-built databases: which rows the text
// search finds and how they read, the statements it runs, contact names,
// databases it cannot use, and the messages-mode provider.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "app/messages/MessageModeSearchProvider.h"
#include "app/messages/MessageSearchService.h"
#include "app/messages/MessageStatements.h"
#include "core/Logger.h"
#include "testing/FakeContactStore.h"
#include "testing/RecordingWorkspace.h"
#include "testing/VirtualTime.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

using testing::TempDir;
using testing::TestMessagesDatabase;
using testing::UnchangedFileCheck;

constexpr double kNow = testing::kFixtureNow;
constexpr double kMinute = 60;

ContactRecord contact(const std::string& given, const std::string& family, std::vector<LabeledValue> phones,
                      std::vector<LabeledValue> emails, std::optional<std::string> photo = std::nullopt) {
  ContactRecord c;
  c.identifier = given;
  c.givenName = given;
  c.familyName = family;
  c.phoneNumbers = std::move(phones);
  c.emailAddresses = std::move(emails);
  c.thumbnailImageData = std::move(photo);
  return c;
}

std::vector<int64_t> ids(const std::vector<MessageSearchResult>& results) {
  std::vector<int64_t> out;
  for (const auto& r : results) out.push_back(r.id);
  return out;
}

class TextSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.mkdir("Library/Messages");
    TestMessagesDatabase db(path());
    int64_t alice = db.addHandle("+15550100001");
    int64_t bob = db.addHandle("bob@example.com");
    int64_t stranger = db.addHandle("+15550199999");
    int64_t aliceChat = db.addChat("iMessage;-;+15550100001", std::nullopt, {alice});
    int64_t group = db.addChat("iMessage;+;chat1", "Trip planning", {alice, bob});
    int64_t bobChat = db.addChat("iMessage;-;bob@example.com", "", {bob});
    auto at = [](double minutes) { return kNow + minutes * kMinute; };
    m.lunch = db.addMessage({.text = "Lunch tomorrow?", .date = at(-10), .handle = alice, .chat = aliceChat});
    db.addAttachment(m.lunch, "~/Library/Messages/Attachments/a.jpg", "image/jpeg");
    db.addAttachment(m.lunch, std::nullopt, "image/png");
    m.mine = db.addMessage(
        {.text = "sure, lunch at noon", .date = at(-9), .fromMe = true, .handle = alice, .chat = aliceChat});
    m.hotel = db.addMessage({.text = "who books the hotel?", .date = at(-8), .fromMe = true, .chat = group});
    m.nobody = db.addMessage({.text = "unknown sender says hi", .date = at(-7), .chat = bobChat});
    m.stranger = db.addMessage({.text = "stranger lunch offer", .date = at(-6), .handle = stranger});
    m.archived = db.addMessage({.text = std::nullopt,
                                .date = at(-5),
                                .handle = alice,
                                .chat = aliceChat,
                                .attributedBody = std::string("\x01\x02"
                                                              "archived lunch plans for friday\x00",
                                                              35)});
    db.addMessage({.text = "future lunch", .date = kNow + 2 * 365 * 86400.0, .handle = alice, .chat = aliceChat});
    db.addMessage({.text = "ancient lunch", .date = 978307200.0, .handle = alice, .chat = aliceChat});
    m.tomorrow =
        db.addMessage({.text = "lunch again tomorrow", .date = at(24 * 60), .handle = alice, .chat = aliceChat});
    db.addMessage(
        {.guid = std::nullopt, .text = "guidless lunch", .date = at(-4.5), .handle = alice, .chat = aliceChat});
    m.alice = db.addMessage({.text = "Alice here, call me", .date = at(-4), .handle = alice, .chat = aliceChat});
    m.discount = db.addMessage({.text = "50% off the hotel", .date = at(-3), .handle = bob, .chat = group});
    m.stars = db.addMessage({.text = "5 star hotel offer", .date = at(-2), .handle = bob, .chat = group});
    db.addMessage({.text = "",
                   .date = at(-1),
                   .handle = bob,
                   .chat = group,
                   .attributedBody = std::string("\x01"
                                                 "an archived hotel note\x00",
                                                 24)});
    contacts = std::make_shared<FakeContactStore>(
        std::vector<ContactRecord>{contact("Alice", "Adams", {{"cell", "+1 (555) 010-0001"}}, {}, "PNG"),
                                   contact("Bob", "Berg", {}, {{"", "Bob@Example.com"}})});
    clock.setWallNow(dateFromSecondsSince1970(kNow));
    service = std::make_shared<MessageSearchService>(
        MessageSearchService::Dependencies{std::make_shared<FullDiskAccessController>(home.path(), nullptr), contacts,
                                           &clock, [this](const std::string& sql) {
                                             std::lock_guard<std::mutex> lock(mutex);
                                             statements.insert(sql);
                                           }});
  }

  std::string path() const { return home / "Library/Messages/Chat.db"; }
  MessageSearchResult only(const std::string& query) {
    auto results = service->searchTextOnly(query);
    EXPECT_EQ(results.size(), 1u) << query;
    return results.empty() ? MessageSearchResult() : results.front();
  }

  TempDir home;
  struct {
    int64_t lunch, mine, hotel, nobody, stranger, archived, tomorrow, alice, discount, stars;
  } m{};
  std::shared_ptr<FakeContactStore> contacts;
  ManualClock clock;
  std::shared_ptr<MessageSearchService> service;
  std::mutex mutex;
  std::set<std::string> statements;
};

TEST_F(TextSearchTest, FindsBodiesSendersAndConversationsNewestFirst) {
  UnchangedFileCheck unchanged(path());
  EXPECT_TRUE(service->searchTextOnly(" \n\t ").empty());
  EXPECT_EQ(service->connectionsOpened(), 0u) << "an empty query opens no database";
  EXPECT_TRUE(contacts->requests().empty());
  struct Case {
    const char* query;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      // Archived-only, empty-text, GUID-less and implausibly dated rows never show.
      {"lunch", {m.tomorrow, m.stranger, m.mine, m.lunch}},
      {"  lunch\n", {m.tomorrow, m.stranger, m.mine, m.lunch}},
      {"trip", {m.stars, m.discount, m.hotel}},  // the conversation's name
      {"bob@", {m.stars, m.discount}},           // the sender's handle
      // The contact's handle: once, from the body search first.
      {"Alice", {m.alice, m.tomorrow, m.mine, m.lunch}},
      {"Adams", {m.tomorrow, m.alice, m.mine, m.lunch}},
      {"5%off", {m.stars, m.discount}},  // % and _ are wildcards
      {"h_tel", {m.stars, m.discount, m.hotel}},
      {"archived", {}},
      {"nothing like this", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ids(service->searchTextOnly(c.query)), c.expected) << c.query;
}

TEST_F(TextSearchTest, ResultsCarrySendersConversationsAndAttachments) {
  MessageSearchResult lunch = only("Lunch tomorrow");
  EXPECT_EQ(lunch.senderIdentifier, "+15550100001");
  EXPECT_EQ(lunch.senderDisplayName, "Alice Adams");
  EXPECT_EQ(lunch.senderImageData, "PNG");
  EXPECT_EQ(lunch.attachmentCount, 1);  // the attachment without a filename is skipped
  EXPECT_EQ(lunch.attachmentPaths, std::vector<std::string>{"~/Library/Messages/Attachments/a.jpg"});
  EXPECT_FALSE(lunch.isGroupChat);
  EXPECT_EQ(lunch.chatGUID, "iMessage;-;+15550100001");
  EXPECT_EQ(lunch.date, dateFromSecondsSince1970(kNow - 10 * kMinute));

  MessageSearchResult hotel = only("books the hotel");
  EXPECT_EQ(hotel.senderIdentifier, "Me");
  EXPECT_TRUE(hotel.isGroupChat);
  EXPECT_EQ(hotel.chatDisplayName, "Trip planning");

  contacts->clearRequests();
  MessageSearchResult nobody = only("unknown sender");
  EXPECT_EQ(nobody.senderIdentifier, "Unknown");
  EXPECT_EQ(nobody.chatDisplayName, std::nullopt);  // "" is no name
  EXPECT_FALSE(nobody.isGroupChat);
  for (const auto& request : contacts->requests()) EXPECT_NE(request.argument, "Unknown");

  EXPECT_EQ(only("stranger").chatGUID, "");
  EXPECT_EQ(only("stranger").senderDisplayName, std::nullopt);
}

TEST_F(TextSearchTest, WithoutContactsNamesStayEmpty) {
  contacts->setStatus(ContactsAuthorizationStatus::notDetermined);
  contacts->clearRequests();
  EXPECT_EQ(only("Lunch tomorrow").senderDisplayName, std::nullopt);
  EXPECT_TRUE(service->searchTextOnly("Adams").empty());
  EXPECT_TRUE(contacts->requests().empty()) << "nothing is asked without permission";
  contacts->setStatus(ContactsAuthorizationStatus::authorized);
  contacts->failWith(Error("Contacts", 1, "store unavailable"));
  EXPECT_EQ(only("Lunch tomorrow").senderDisplayName, std::nullopt);
}

TEST_F(TextSearchTest, RunsTheStatementsAsWritten) {
  const std::string head =
      "SELECT\n    m.ROWID,\n    m.guid,\n    m.text,\n    m.date,\n    m.is_from_me,\n    h.id as sender_id,\n"
      "    c.guid as chat_guid,\n    c.display_name as chat_display_name,\n"
      "    (SELECT COUNT(*) FROM chat_handle_join WHERE chat_id = c.ROWID) as participant_count\n"
      "FROM message m\nLEFT JOIN handle h ON m.handle_id = h.ROWID\n"
      "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\nLEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";
  const std::string tail = "\n    AND m.text IS NOT NULL\n    AND m.text != ''\nORDER BY m.date DESC\nLIMIT ?";
  const std::string attachments =
      "SELECT\n    maj.message_id,\n    a.ROWID,\n    a.filename,\n    a.mime_type,\n    a.filename\n"
      "FROM attachment a\nINNER JOIN message_attachment_join maj ON a.ROWID = maj.attachment_id\n"
      "WHERE maj.message_id IN ";
  service->searchTextOnly("Alice");
  const std::set<std::string> expected = {head + "WHERE m.text LIKE ?" + tail,
                                          head + "WHERE ((h.id LIKE ? OR c.display_name LIKE ?) OR (h.id = ?))" + tail,
                                          attachments + "(?)", attachments + "(?,?,?,?)"};
  EXPECT_EQ(statements, expected);
  statements.clear();
  service->searchTextOnly("hotel");
  EXPECT_TRUE(statements.count(head + "WHERE ((h.id LIKE ? OR c.display_name LIKE ?))" + tail));
}

TEST(MessageStatementsTest, HydrationStatementsAreWrittenOut) {
  const std::string head =
      "SELECT\n    m.ROWID,\n    m.guid,\n    m.text,\n    m.date,\n    m.is_from_me,\n    h.id as sender_id,\n"
      "    c.guid as chat_guid,\n    c.display_name as chat_display_name,\n"
      "    (SELECT COUNT(*) FROM chat_handle_join WHERE chat_id = c.ROWID) as participant_count,\n"
      "    m.attributedBody\nFROM message m\nLEFT JOIN handle h ON m.handle_id = h.ROWID\n"
      "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\nLEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";
  EXPECT_EQ(message_sql::hydrateByRowIDs(3), head + "WHERE m.ROWID IN (?,?,?)");
  EXPECT_EQ(message_sql::hydrateByGUIDs(1), head + "WHERE m.guid IN (?)");
  EXPECT_EQ(message_sql::hydrateByTimeRange(),
            head + "WHERE c.guid = ?\n  AND m.date >= ?\n  AND m.date <= ?\nORDER BY m.date ASC\nLIMIT 100");
}

// Databases the search cannot use: empty results, one clear message, the file left alone.
TEST(BadMessagesDatabaseTest, GivesEmptyResultsAndOneMessage) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path, std::vector<std::shared_ptr<void>>& keep)> make;
    std::optional<MessageSearchErrorCode> code;
    const char* fragment;
  };
  auto write = [](const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  };
  const Case cases[] = {
      {"missing", [](const std::string&, auto&) {}, MessageSearchErrorCode::fullDiskAccessNotGranted, "Full Disk"},
      {"a folder", [](const std::string& p, auto&) { std::filesystem::create_directory(p); },
       MessageSearchErrorCode::fullDiskAccessNotGranted, "Full Disk"},
      {"not SQLite", [&](const std::string& p, auto&) { write(p, std::string(4096, '\x5a')); },
       MessageSearchErrorCode::queryPrepareFailed, "file is not a database"},
      {"empty file", [&](const std::string& p, auto&) { write(p, ""); }, MessageSearchErrorCode::queryPrepareFailed,
       "no such table: message"},
      {"foreign",
       [](const std::string& p, auto&) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE notes (body TEXT)", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       MessageSearchErrorCode::queryPrepareFailed, "no such table: message"},
      {"truncated",
       [](const std::string& p, auto&) {
         std::filesystem::copy_file(testing::fixturePath("chat.db"), p);
         std::filesystem::resize_file(p, std::filesystem::file_size(p) / 3);
       },
       std::nullopt, "malformed"},
      {"locked",
       [](const std::string& p, std::vector<std::shared_ptr<void>>& keep) {
         std::filesystem::copy_file(testing::fixturePath("chat.db"), p);
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
         keep.push_back(std::shared_ptr<void>(db, [](void* d) { sqlite3_close(static_cast<sqlite3*>(d)); }));
       },
       MessageSearchErrorCode::queryPrepareFailed, "database is locked"},
  };
  auto sink = std::make_shared<RecordingLogSink>();
  auto previous = Logger::setSink(sink);
  for (const Case& c : cases) {
    TempDir home;
    home.mkdir("Library/Messages");
    const std::string path = home / "Library/Messages/Chat.db";
    std::vector<std::shared_ptr<void>> keep;
    c.make(path, keep);
    UnchangedFileCheck unchanged(path);
    ManualClock clock;
    MessageSearchService service(
        {std::make_shared<FullDiskAccessController>(home.path(), nullptr), nullptr, &clock, {}});
    auto result = service.searchText("lunch");
    ASSERT_FALSE(result.ok()) << c.name;
    if (c.code) {
      EXPECT_EQ(messageSearchErrorCode(result.error()), c.code) << c.name;
    }
    EXPECT_NE(result.error().description().find(c.fragment), std::string::npos)
        << c.name << ": " << result.error().description();
    sink->clear();
    EXPECT_TRUE(service.searchTextOnly("lunch").empty()) << c.name;
    EXPECT_EQ(sink->records().size(), 1u) << c.name;
  }
  Logger::setSink(previous);
}

TEST_F(TextSearchTest, ModeProviderSearchesOnItsExecutorAndOpensTheConversation) {
  VirtualTimeEnvironment env;
  auto workspace = std::make_shared<RecordingWorkspace>();
  auto provider = std::make_shared<MessageModeSearchProvider>(service, env.makeRunner("messages"), workspace);
  std::vector<ModeResult> rows;
  provider->search("books the hotel", [&](std::vector<ModeResult> r) { rows = std::move(r); });
  EXPECT_TRUE(rows.empty());  // nothing runs until the executor does
  env.runUntilIdle();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].identifier, std::to_string(m.hotel));
  EXPECT_EQ(rows[0].title, "Me in Trip planning");
  EXPECT_TRUE(provider->activate(rows[0]));
  auto guid = provider->resultFor(rows[0].identifier)->guid;
  EXPECT_EQ(workspace->requests().back().target, "sms://open?message-guid=" + guid);
  EXPECT_FALSE(provider->activate(ModeResult{"999999", "", ""}));
}

TEST(ConversationURLTest, UsesTheMessageGUIDOrEncodesIt) {
  EXPECT_EQ(conversationURL("p:0/0A1B-C2"), "sms://open?message-guid=p:0/0A1B-C2");
  EXPECT_EQ(conversationURL("has space#1"), "messages://open?guid=has%20space%231");
  EXPECT_EQ(conversationURL(""), "messages://open?guid=");
}

TEST(ContactNameCacheTest, EvictsTheLeastRecentlyUsedByCountAndCost) {
  ContactNameCache cache(2, 10);
  cache.store("a", {"Ann", std::nullopt});
  cache.store("b", {"Bo", std::nullopt});
  ASSERT_TRUE(cache.find("a"));  // a is now the most recent
  cache.store("c", {"Cy", std::nullopt});
  EXPECT_FALSE(cache.find("b"));
  EXPECT_TRUE(cache.find("a"));
  cache.store("d", {"D", std::string(8, 'x')});  // 9 bytes: only d and nothing else fits
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_EQ(cache.totalCost(), 9u);
  cache.store("huge", {"H", std::string(20, 'x')});  // larger than the whole cache: not kept
  EXPECT_FALSE(cache.find("huge"));
}

}  // namespace
}  // namespace pallix
