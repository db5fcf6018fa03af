// MessageSearchService: which rows the text search finds (against a model
// over the generated fixture) and how they read, the statements it runs,
// contact names, databases it cannot use, and the messages-mode provider.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <unordered_set>

#include "app/messages/MessageModeSearchProvider.h"
#include "app/messages/MessageSearchService.h"
#include "app/messages/MessageStatements.h"
#include "app/messages/MessageText.h"
#include "testing/FakeContactStore.h"
#include "testing/RecordingWorkspace.h"
#include "testing/VirtualTime.h"
#include "tests/messages/MessagesTestSupport.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

using testing::TempDir;
using testing::TestMessagesDatabase;
using testing::UnchangedFileCheck;

constexpr double kNow = testing::kFixtureNow;
constexpr double kMinute = 60;

class TextSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestMessagesDatabase db(path);
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
    db.addMessage({.text = "sure, lunch at noon", .date = at(-9), .fromMe = true, .handle = alice, .chat = aliceChat});
    m.hotel = db.addMessage({.text = "who books the hotel?", .date = at(-8), .fromMe = true, .chat = group});
    db.addMessage({.text = "unknown sender says hi", .date = at(-7), .chat = bobChat});
    db.addMessage({.text = "stranger lunch offer", .date = at(-6), .handle = stranger});
    db.addMessage({.text = "Alice here, call me", .date = at(-4), .handle = alice, .chat = aliceChat});
  }

  MessageSearchResult only(const std::string& query) {
    auto results = service->searchTextOnly(query);
    EXPECT_EQ(results.size(), 1u) << query;
    return results.empty() ? MessageSearchResult() : results.front();
  }

  TempDir dir;
  std::string path = dir / "chat.db";
  struct {
    int64_t lunch, hotel;
  } m{};
  std::shared_ptr<FakeContactStore> contacts = std::make_shared<FakeContactStore>(std::vector<ContactRecord>{
      {.identifier = "Alice",
       .givenName = "Alice",
       .familyName = "Adams",
       .phoneNumbers = {{"cell", "+1 (555) 010-0001"}},
       .thumbnailImageData = "PNG"},
      {.identifier = "Bob", .givenName = "Bob", .familyName = "Berg", .emailAddresses = {{"", "Bob@Example.com"}}}});
  testing::SearchRig rig{path, contacts};
  std::shared_ptr<MessageSearchService>& service = rig.service;
};

TEST_F(TextSearchTest, ResultsCarrySendersConversationsAndAttachments) {
  UnchangedFileCheck unchanged(path);
  EXPECT_TRUE(service->searchTextOnly(" \n\t ").empty());
  EXPECT_EQ(service->connectionsOpened(), 0u) << "an empty query opens no database";
  EXPECT_TRUE(contacts->requests().empty());
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
  const std::string columns =
      "SELECT\n    m.ROWID,\n    m.guid,\n    m.text,\n    m.date,\n    m.is_from_me,\n    h.id as sender_id,\n"
      "    c.guid as chat_guid,\n    c.display_name as chat_display_name,\n"
      "    (SELECT COUNT(*) FROM chat_handle_join WHERE chat_id = c.ROWID) as participant_count";
  const std::string joins =
      "\nFROM message m\nLEFT JOIN handle h ON m.handle_id = h.ROWID\n"
      "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\nLEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";
  const std::string head = columns + joins;
  const std::string tail = "\n    AND m.text IS NOT NULL\n    AND m.text != ''\nORDER BY m.date DESC\nLIMIT ?";
  const std::string attachments =
      "SELECT\n    maj.message_id,\n    a.ROWID,\n    a.filename,\n    a.mime_type,\n    a.filename\n"
      "FROM attachment a\nINNER JOIN message_attachment_join maj ON a.ROWID = maj.attachment_id\n"
      "WHERE maj.message_id IN ";
  service->searchTextOnly("Alice");
  const std::set<std::string> expected = {head + "WHERE m.text LIKE ?" + tail,
                                          head + "WHERE ((h.id LIKE ? OR c.display_name LIKE ?) OR (h.id = ?))" + tail,
                                          attachments + "(?)", attachments + "(?,?,?)"};
  EXPECT_EQ(rig.statements, expected);
  rig.statements.clear();
  service->searchTextOnly("hotel");
  EXPECT_TRUE(rig.statements.count(head + "WHERE ((h.id LIKE ? OR c.display_name LIKE ?))" + tail));
  // The semantic search's hydration statements read the archived text too.
  const std::string hydrate = columns + ",\n    m.attributedBody" + joins;
  EXPECT_EQ(message_sql::hydrateByRowIDs(3), hydrate + "WHERE m.ROWID IN (?,?,?)");
  EXPECT_EQ(message_sql::hydrateByGUIDs(1), hydrate + "WHERE m.guid IN (?)");
  EXPECT_EQ(message_sql::hydrateByTimeRange(),
            hydrate + "WHERE c.guid = ?\n  AND m.date >= ?\n  AND m.date <= ?\nORDER BY m.date ASC\nLIMIT 100");
}

// Databases the search cannot use: empty results, one clear message, the file
// left alone (damaged and locked databases run through the command line in
// the integration tests).
TEST(BadMessagesDatabaseTest, GivesEmptyResultsAndOneMessage) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    MessageSearchErrorCode code;
    const char* fragment;
  };
  auto write = [](const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, MessageSearchErrorCode::fullDiskAccessNotGranted, "Full Disk"},
      {"a folder", [](const std::string& p) { std::filesystem::create_directory(p); },
       MessageSearchErrorCode::fullDiskAccessNotGranted, "Full Disk"},
      {"not SQLite", [&](const std::string& p) { write(p, std::string(4096, '\x5a')); },
       MessageSearchErrorCode::queryPrepareFailed, "file is not a database"},
      {"empty file", [&](const std::string& p) { write(p, ""); }, MessageSearchErrorCode::queryPrepareFailed,
       "no such table: message"},
  };
  testing::ScopedLogCapture log;
  for (const Case& c : cases) {
    TempDir home;
    home.mkdir("Library/Messages");
    const std::string path = home / "Library/Messages/Chat.db";
    c.make(path);
    UnchangedFileCheck unchanged(path);
    ManualClock clock;
    MessageSearchService service(
        {std::make_shared<FullDiskAccessController>(home.path(), nullptr), nullptr, &clock, {}});
    auto result = service.searchText("lunch");
    ASSERT_TRUE(testing::failsWith(result, c.fragment)) << c.name;
    EXPECT_EQ(messageSearchErrorCode(result.error()), c.code) << c.name;
    log.sink().clear();
    EXPECT_TRUE(service.searchTextOnly("lunch").empty()) << c.name;
    EXPECT_EQ(log.messages().size(), 1u) << c.name;
  }
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

// SQLite's LIKE: % any run, _ one character, ASCII letters without case.
bool like(const std::u32string& text, const std::u32string& pattern) {
  auto fold = [](char32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  size_t t = 0, p = 0, starP = std::u32string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || fold(pattern[p]) == fold(text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::u32string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

std::u32string utf32(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += static_cast<size_t>(n);
  }
  return out;
}

std::vector<int64_t> modelSearch(const std::vector<testing::FixtureRow>& rows, const std::string& query,
                                 const std::vector<std::string>& identifiers) {
  const std::u32string pattern = utf32("%" + query + "%");
  auto matches = [&](const std::optional<std::string>& s) { return s && like(utf32(*s), pattern); };
  auto top = [&](auto condition) {
    std::vector<const testing::FixtureRow*> hits;
    for (const testing::FixtureRow& r : rows) {
      if (r.text && !r.text->empty() && condition(r)) hits.push_back(&r);
    }
    std::sort(hits.begin(), hits.end(),
              [](const testing::FixtureRow* a, const testing::FixtureRow* b) { return a->date > b->date; });
    if (hits.size() > 50) hits.resize(50);  // the statement's limit comes before the decode rules
    std::vector<int64_t> out;
    for (const testing::FixtureRow* r : hits) {
      double seconds = static_cast<double>(r->date) / 1e9;
      if (r->guid && seconds > 0 && seconds < testing::kFixtureNow - 978307200.0 + 31536000.0) out.push_back(r->rowID);
    }
    return out;
  };
  std::vector<int64_t> merged = top([&](const testing::FixtureRow& r) { return matches(r.text); });
  std::vector<int64_t> byContact = top([&](const testing::FixtureRow& r) {
    return matches(r.handle) || matches(r.chatName) ||
           (r.handle && std::find(identifiers.begin(), identifiers.end(), *r.handle) != identifiers.end());
  });
  std::unordered_set<int64_t> seen(merged.begin(), merged.end());
  for (int64_t id : byContact) {
    if (seen.insert(id).second) merged.push_back(id);
  }
  if (merged.size() > 50) merged.resize(50);
  return merged;
}

// The text search over the generated fixture agrees with a brute-force model
// of its two statements (LIKE, limits, the decode rules, the merge).
TEST(FixtureSearchTest, AgreesWithTheModelOfItsStatements) {
  testing::SearchRig rig(testing::fixturePath("chat.db"),
                         std::make_shared<FakeContactStore>(testing::fixtureContacts()));
  const std::vector<testing::FixtureRow> rows = testing::loadFixtureRows();
  for (const std::string query : {"lunch", "meeting", "the station", "Café",  "明日",        "20%",    "final_",
                                  "a_c",   "Martin",  "Dubois",      "+1555", "example.org", "Family", "Book",
                                  "%",     "_",       "ok 👍🏽", "zzzz",  "grandma",     "dated",  " \tdated\n"}) {
    std::vector<int64_t> got;
    for (const auto& r : rig.service->searchTextOnly(query)) got.push_back(r.id);
    const std::string trimmed(trimWhitespaceAndNewlines(query));
    EXPECT_EQ(got, modelSearch(rows, trimmed, rig.service->searchContactIdentifiers(trimmed))) << query;
  }
}

}  // namespace
}  // namespace pallix
