// MessageSearchService: which rows the text search finds (against a model
// over the generated fixture) and how they read, the statements it runs,
// contact names, databases it cannot use and the messages-mode provider;
// then the semantic conversation search: candidate selection, the session's
// augmentation and merge rules, stored-text messages, the hydration chain
// against a database whose rows were deleted after indexing, and a whole
// indexing and search run over the fixture that keeps message text out of
// the logs.
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
#include "app/platform/VCardContactStore.h"
#include "testing/FakeContactStore.h"
#include "testing/RecordingWorkspace.h"
#include "testing/VirtualTime.h"
#include "tests/messages/MessageIndexerTestSupport.h"
#include "tests/messages/MessagesTestSupport.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

using testing::TempDir;
using testing::TestMessagesDatabase;
using testing::UnchangedFileCheck;

namespace rules = semantic_rules;
using testing::kFixtureNow;
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
    auto at = [](double minutes) { return kFixtureNow + minutes * kMinute; };
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
  EXPECT_EQ(lunch.date, dateFromSecondsSince1970(kFixtureNow - 10 * kMinute));

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

TEST(TextSearchContactsTest, SendersAreNamedFromAPhonesShiftJisExport) {
  TempDir dir;
  const std::string path = dir / "chat.db";
  {
    TestMessagesDatabase db(path);
    int64_t taro = db.addHandle("+819012345678");
    int64_t sou = db.addHandle("+818055550101");
    db.addMessage({.text = "meeting at ten", .date = kFixtureNow - 60, .handle = taro});
    db.addMessage({.text = "ok, meeting room", .date = kFixtureNow - 30, .handle = sou});
  }
  auto imported = VCardContactStore::importFile(dir / "Contacts",
                                                PALLIX_SOURCE_ROOT "/tests/data/platform/vcards/shift_jis_phone.vcf");
  ASSERT_TRUE(imported.ok()) << imported.error().description();
  testing::SearchRig rig{path, std::make_shared<VCardContactStore>(dir / "Contacts")};
  auto results = rig.service->searchTextOnly("meeting");
  ASSERT_EQ(results.size(), 2u);
  std::map<std::string, std::optional<std::string>> names;
  for (const auto& r : results) names[r.senderIdentifier] = r.senderDisplayName;
  EXPECT_EQ(names["+819012345678"], "山田 太郎");
  EXPECT_EQ(names["+818055550101"], "能登 ソウ");
}

// Address books keep numbers as people type them; the messages database keeps them with their country code.
TEST(TextSearchContactsTest, AContactsNameFindsTheMessagesOfItsNumberInNationalForm) {
  TempDir dir;
  const std::string path = dir / "chat.db";
  {
    TestMessagesDatabase db(path);
    int64_t camille = db.addHandle("+33612345678");
    int64_t other = db.addHandle("+33712345678");
    db.addMessage({.text = "see you at eight", .date = kFixtureNow - 60, .handle = camille});
    db.addMessage({.text = "wrong number", .date = kFixtureNow - 30, .handle = other});
  }
  auto contacts = std::make_shared<FakeContactStore>(std::vector<ContactRecord>{
      {.givenName = "Camille", .familyName = "Martin", .phoneNumbers = {{"mobile", "06 12 34 56 78"}}}});
  testing::SearchRig rig{path, contacts};
  auto results = rig.service->searchTextOnly("Camille");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].text, "see you at eight");
  EXPECT_EQ(results[0].senderDisplayName, "Camille Martin");
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
  const std::set<std::string> expected = {
      head + "WHERE m.text LIKE ? ESCAPE '\\'" + tail,
      head + "WHERE ((h.id LIKE ? ESCAPE '\\' OR c.display_name LIKE ? ESCAPE '\\') OR (h.id = ?))" + tail,
      attachments + "(?)", attachments + "(?,?,?)", "SELECT id FROM handle WHERE id NOT LIKE '%@%'"};
  EXPECT_EQ(rig.statements, expected);
  rig.statements.clear();
  service->searchTextOnly("hotel");
  EXPECT_TRUE(
      rig.statements.count(head + "WHERE ((h.id LIKE ? ESCAPE '\\' OR c.display_name LIKE ? ESCAPE '\\'))" + tail));
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
  // The message below, the query's words in it highlighted ("the" says nothing).
  EXPECT_EQ(rows[0].detail, "who books the hotel?");
  std::vector<std::string> highlighted;
  for (const TextSpan& span : rows[0].detailHighlights) {
    highlighted.push_back(rows[0].detail.substr(span.byteStart, span.byteLength));
  }
  EXPECT_EQ(highlighted, (std::vector<std::string>{"books", "hotel"}));
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

// What the search means by "contains": the query's characters as they are
// ("%" and "_" included), ASCII letters without case.
bool containsIgnoringAsciiCase(const std::string& text, const std::string& query) {
  auto lower = [](std::string v) {
    for (char& c : v) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return v;
  };
  return lower(text).find(lower(query)) != std::string::npos;
}

std::vector<int64_t> modelSearch(const std::vector<testing::FixtureRow>& rows, const std::string& query,
                                 const std::vector<std::string>& identifiers) {
  auto matches = [&](const std::optional<std::string>& s) { return s && containsIgnoringAsciiCase(*s, query); };
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
    auto isIdentifier = [&](const std::string& id) {
      return id == *r.handle ||
             (id.find('@') == std::string::npos && ContactMatcher::matchesPhoneNumber(id, *r.handle));
    };
    return matches(r.handle) || matches(r.chatName) ||
           (r.handle && std::any_of(identifiers.begin(), identifiers.end(), isIdentifier));
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

MessageChunkSearchResult chunk(const std::string& id, float similarity, const std::string& chat) {
  MessageChunkSearchResult r;
  r.chunkID = id;
  r.similarity = similarity;
  r.metadata.chatGUID = chat;
  return r;
}

std::vector<std::string> ids(const std::vector<MessageChunkSearchResult>& results) {
  std::vector<std::string> out;
  for (const auto& r : results) out.push_back(r.chunkID);
  return out;
}

TEST(SemanticCandidateSelectionTest, PicksAFewDiverseChunks) {
  std::vector<MessageChunkSearchResult> tenOfOneChat;
  for (int k = 0; k < 10; ++k) tenOfOneChat.push_back(chunk("a" + std::to_string(k), 0.9f - 0.01f * k, "A"));
  auto withOthers = tenOfOneChat;
  withOthers.push_back(chunk("b0", 0.30f, "B"));
  withOthers.push_back(chunk("c0", 0.10f, "C"));
  withOthers.push_back(chunk("d0", 0.05f, "D"));
  struct Case {
    const char* name;
    std::vector<MessageChunkSearchResult> results;
    int limit;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"empty", {}, 5, {}},
      {"two per conversation, topped up below the threshold", withOthers, 5, {"a0", "a1", "b0"}},
      {"limit 2 needs only 2", withOthers, 2, {"a0", "a1"}},
      {"limit below 1 takes the best", withOthers, 0, {"a0"}},
      {"threshold 0.68 for a top of 0.90",
       {chunk("x", 0.90f, "X"), chunk("y", 0.69f, "Y"), chunk("z", 0.67f, "Z"), chunk("w", 0.66f, "W")},
       2,
       {"x", "y"}},
      {"threshold floor 0.18 for a top of 0.30",
       {chunk("x", 0.30f, "X"), chunk("y", 0.19f, "Y"), chunk("z", 0.17f, "Z"), chunk("w", 0.09f, "W")},
       10,
       {"x", "y", "z"}},
      {"chunks without a conversation are not capped",
       {chunk("x", 0.5f, ""), chunk("y", 0.5f, ""), chunk("z", 0.5f, "")},
       3,
       {"x", "y", "z"}},
      {"a chunk is taken once", {chunk("x", 0.5f, "X"), chunk("x", 0.5f, "X"), chunk("y", 0.1f, "Y")}, 3, {"x", "y"}},
      {"nothing above the floor: the minimum anyway", {chunk("x", 0.05f, "X"), chunk("y", 0.04f, "Y")}, 5, {"x", "y"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ids(rules::selectSemanticCandidates(c.results, c.limit)), c.expected) << c.name;
  }
  EXPECT_EQ(rules::candidateCount(5), 30);
}

MessageSearchResult message(int64_t id, std::string guid, std::string text = "t") {
  MessageSearchResult r;
  r.id = id;
  r.guid = std::move(guid);
  r.text = std::move(text);
  return r;
}

TEST(SemanticSessionRulesTest, AugmentationAndMerge) {
  const std::pair<const char*, size_t> run[] = {
      {"hotel", 7}, {"hotel?", 8}, {"Where is it", 8}, {"one two three four", 8}};
  for (auto [query, count] : run) EXPECT_TRUE(rules::shouldRunSemanticAugmentation(query, count)) << query;
  const std::pair<const char*, size_t> skip[] = {{"hotel", 8}, {"  ", 0}, {"whom is it", 9}, {"one two three", 20}};
  for (auto [query, count] : skip) EXPECT_FALSE(rules::shouldRunSemanticAugmentation(query, count)) << query;

  std::vector<MessageSearchResult> text, semantic;
  for (int k = 1; k <= 6; ++k) text.push_back(message(k, "G" + std::to_string(k)));
  semantic = {message(3, "G3"),   message(-1, "synthetic-a"), message(-2, "G5"),
              message(20, "G20"), message(-1, "synthetic-a"), message(21, "G21"),
              message(22, "G22"), message(23, "G23"),         message(24, "G24")};
  std::vector<int64_t> merged;
  for (const auto& r : rules::mergeTextAndSemanticResults(text, semantic)) merged.push_back(r.id);
  EXPECT_EQ(merged, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, -1, 20, 21, 22}));
}

TEST(SemanticSessionRulesTest, StoredTextBecomesMessagesAndTermsPickTheRepresentative) {
  MessageChunkSearchResult c = chunk("chat_1.0", 0.5f, "chat");
  c.metadata.startDate = 1000;
  c.metadata.endDate = 1200;
  c.metadata.combinedText =
      "Trip:\nMonday, June 3, 2024 in the morning\nMe: booked the hotel\nAlice Adams: which one?\nno speaker here\n"
      "A speaker name far too long to be a speaker: ignored";
  auto synthetic = rules::createSyntheticResults(c);
  ASSERT_EQ(synthetic.size(), 2u);
  EXPECT_TRUE(synthetic[0].isFromMe);
  EXPECT_EQ(synthetic[1].senderDisplayName, "Alice Adams");
  EXPECT_EQ(synthetic[1].text, "which one?");
  EXPECT_EQ(synthetic[0].chatDisplayName, "Trip");
  EXPECT_LT(synthetic[1].id, 0);
  EXPECT_EQ(synthetic[1].guid.rfind("synthetic", 0), 0u);
  EXPECT_DOUBLE_EQ(secondsSince1970(synthetic[1].date), 1200);

  c.metadata.combinedText = "just words";
  auto whole = rules::createSyntheticResults(c);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].senderIdentifier, "Unknown");
  EXPECT_EQ(whole[0].chatDisplayName, "Conversation");

  EXPECT_EQ(rules::tokenizedTerms("Where is the HOTEL, in Paris?"), (std::vector<std::string>{"hotel", "paris"}));
  SemanticConversationResult conversation;
  conversation.messages = {message(1, "a", "nothing"), message(2, "b", "the hotel"), message(3, "c", "Paris hotel")};
  EXPECT_EQ(rules::representativeMessage(conversation, {"hotel", "paris"})->id, 3);
  EXPECT_EQ(rules::representativeMessage(conversation, {"zebra"})->id, 1);
}

// Chunks as the store would hand them back, from an indexing run.
class FakeChunkSource final : public SemanticChunkSource {
 public:
  State state() override { return {ready, int64_t(chunks.size())}; }
  std::vector<MessageChunkSearchResult> search(const std::string& query, int limit,
                                               const std::optional<ChunkDateRange>& range,
                                               const CancellationToken&) override {
    queries.push_back(query);
    limits.push_back(limit);
    ranges.push_back(range);
    return chunks;
  }
  bool ready = true;
  std::vector<MessageChunkSearchResult> chunks;
  std::vector<std::string> queries;
  std::vector<int> limits;
  std::vector<std::optional<ChunkDateRange>> ranges;
};

std::vector<MessageChunkSearchResult> storedChunks(const testing::FakeMessageChunkStore& store) {
  std::vector<MessageChunkSearchResult> out;
  float similarity = 0.9f;
  for (const auto& [id, m] : store.metadata()) out.push_back({id, similarity -= 0.01f, m});
  return out;
}

class HydrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alice = db.addHandle("+15550100001");
    stranger = db.addHandle("+15550109999");
    const int64_t kept = db.addChat("chat-kept", std::nullopt, {alice, stranger});
    const int64_t gone = db.addChat("chat-gone", std::string("Gone"), {alice});
    const int64_t renumbered = db.addChat("chat-renumbered", std::nullopt, {alice});
    const int64_t deleted = db.addChat("chat-deleted", std::nullopt, {alice, stranger});
    const double t = kFixtureNow - 86400 * 3;
    for (int64_t chat : {kept, gone, renumbered, deleted}) {
      db.addMessage({.text = "are we still on for lunch", .date = t, .handle = alice, .chat = chat});
      if (chat == deleted) {  // a message the chunk left out (unknown sender), in its time span
        db.addMessage({.text = "stranger in between", .date = t + 30, .handle = stranger, .chat = chat});
      }
      db.addMessage({.text = "yes, noon at the usual place", .date = t + 60, .fromMe = true, .chat = chat});
    }
    db.commit();
    testing::IndexerRig rig(db.path());
    ASSERT_TRUE(rig.catchUp());
    source->chunks = storedChunks(*rig.store);
    ASSERT_EQ(source->chunks.size(), 4u);
    // After indexing: one conversation loses its messages, one loses
    // everything, one has its rows renumbered (a restored backup).
    auto messagesOf = [](int64_t chat) {
      return "ROWID IN (SELECT message_id FROM chat_message_join WHERE chat_id = " + std::to_string(chat) + ")";
    };
    db.exec("DELETE FROM message WHERE " + messagesOf(gone));
    db.exec("DELETE FROM chat WHERE ROWID = " + std::to_string(gone));
    db.exec("DELETE FROM message WHERE " + messagesOf(deleted) + " AND handle_id != " + std::to_string(stranger));
    db.exec("UPDATE message SET ROWID = ROWID + 1000 WHERE " + messagesOf(renumbered));
    db.exec("UPDATE chat_message_join SET message_id = message_id + 1000 WHERE chat_id = " +
            std::to_string(renumbered));
    db.close();
    service->setEmbeddingStore(source);
  }

  testing::TempDir dir;
  testing::TestMessagesDatabase db{dir.path() + "/chat.db"};
  int64_t alice = 0, stranger = 0;
  std::shared_ptr<FakeChunkSource> source = std::make_shared<FakeChunkSource>();
  std::shared_ptr<FakeContactStore> contacts = std::make_shared<FakeContactStore>(
      std::vector<ContactRecord>{testing::contactNamed("Alice Adams", "+1 555 010 0001")});
  testing::SearchRig rig{db.path(), contacts};
  std::shared_ptr<MessageSearchService>& service = rig.service;
};

TEST_F(HydrationTest, EachChunkFallsBackAsFarAsItMust) {
  auto results = service->searchSemanticConversations("lunch plans", 10);
  std::map<std::string, std::string> methods;
  for (const auto& r : results) methods[r.chatGUID] = r.fallbackMethod;
  EXPECT_EQ(methods, (std::map<std::string, std::string>{{"chat-kept", "rowid_batch"},
                                                         {"chat-renumbered", "guid"},
                                                         {"chat-deleted", "timerange"},
                                                         {"chat-gone", "synthetic"}}));
  for (const auto& r : results) {
    if (r.fallbackMethod == "rowid_batch" || r.fallbackMethod == "guid") {
      ASSERT_EQ(r.messages.size(), 2u) << r.chatGUID;
      EXPECT_EQ(r.messages[0].text, "are we still on for lunch");
      EXPECT_EQ(r.messages[0].senderDisplayName, "Alice Adams");
    }
    if (r.fallbackMethod == "timerange") {
      EXPECT_EQ(r.messages.at(0).text, "stranger in between");
    }
    if (r.fallbackMethod == "synthetic") {
      ASSERT_EQ(r.messages.size(), 2u);
      EXPECT_EQ(r.chatDisplayName, "Gone");
      EXPECT_EQ(r.messages[1].text, "yes, noon at the usual place");
      EXPECT_TRUE(r.messages[1].isFromMe);
    }
  }
  for (const std::string& sql : {message_sql::hydrateByRowIDs(8), message_sql::hydrateByRowIDs(2),
                                 message_sql::hydrateByGUIDs(2), message_sql::hydrateByTimeRange()}) {
    EXPECT_EQ(rig.statements.count(sql), 1u) << sql;
  }
}

TEST_F(HydrationTest, LimitsStoreStateAndRepresentatives) {
  service->searchSemanticConversations("lunch", 100);
  EXPECT_EQ(source->limits.back(), 120);
  EXPECT_EQ(service->searchSemanticConversations("lunch", 1).size(), 1u);
  auto representatives = service->searchSemanticFallbackResults("noon place", std::nullopt);
  ASSERT_EQ(representatives.size(), 4u);
  size_t noon = 0;
  for (const auto& r : representatives) noon += r.text == "yes, noon at the usual place";
  EXPECT_EQ(noon, 3u) << "the message with the query's words stands for its conversation";
  // Time phrases filter by date and leave the query's meaning.
  service->searchSemanticConversations("lunch last week", 5);
  EXPECT_EQ(source->queries.back(), "lunch");
  ASSERT_TRUE(source->ranges.back().has_value());

  ScopedTelemetryRecorder telemetry;
  source->ready = false;
  EXPECT_TRUE(service->searchSemanticConversations("lunch", 5).empty());
  source->ready = true;
  source->chunks.clear();
  EXPECT_TRUE(service->searchSemanticConversations("lunch", 5).empty());
  service->setEmbeddingStore(nullptr);
  EXPECT_TRUE(service->searchSemanticFallbackResults("lunch", 5).empty());
  EXPECT_EQ(telemetry.sink().count("MessageSearch.semanticConversationSkipped"), 3u);
}

TEST_F(HydrationTest, TheMessagesModeFallsBackToMeaningAndAugmentsFewResults) {
  // Nothing matches the text: the conversations found by meaning stand in.
  auto fallback = MessageModeSearchProvider::searchWithSemanticRules(*service, "midday meal");
  EXPECT_EQ(fallback.size(), 4u);
  // Few text results: augmented, without repeating a message.
  auto augmented = MessageModeSearchProvider::searchWithSemanticRules(*service, "noon");
  std::set<std::string> guids;
  for (const auto& r : augmented) EXPECT_TRUE(guids.insert(r.guid).second) << r.guid;
  EXPECT_GT(augmented.size(), service->searchTextOnly("noon").size());
  service->setEmbeddingStore(nullptr);
  EXPECT_TRUE(MessageModeSearchProvider::searchWithSemanticRules(*service, "midday meal").empty());
}

// The generated fixture: index it, search it, and check it is unchanged and
// that no message text reached the log.
TEST(MessagesFixtureRunTest, IndexingAndSearchLeaveTheDatabaseAndTheLogsClean) {
  testing::ScopedLogCapture log;
  const std::string path = testing::fixturePath("chat.db");
  testing::IndexerRig indexer(path);
  indexer.contacts->setContacts(testing::fixtureContacts());
  ASSERT_TRUE(indexer.catchUp());
  auto source = std::make_shared<FakeChunkSource>();
  source->chunks = storedChunks(*indexer.store);
  ASSERT_GT(source->chunks.size(), 20u);
  testing::SearchRig rig(path, indexer.contacts);
  rig.service->setEmbeddingStore(source);
  EXPECT_FALSE(rig.service->searchSemanticConversations("dinner plans", 10).empty());
  EXPECT_FALSE(rig.service->searchSemanticFallbackResults("weekend trip", 10).empty());
  EXPECT_FALSE(rig.service->searchTextOnly("the").empty());
  indexer.contacts->failWith(Error("Contacts", 1, "unavailable"));  // failures log too
  for (const char* query : {"lunch", "Martin", "+1555", "Café"}) rig.service->searchTextOnly(query);

  std::set<std::string> texts;
  for (const auto& row : testing::loadFixtureRows()) {
    if (row.text && row.text->size() >= 12) texts.insert(*row.text);
  }
  ASSERT_GT(texts.size(), 100u);
  const std::vector<std::string> lines = log.messages();
  ASSERT_GT(lines.size(), 10u);
  for (const std::string& line : lines) {
    for (const std::string& text : texts) {
      ASSERT_EQ(line.find(text), std::string::npos) << "message text in the log: " << line;
    }
  }
}

}  // namespace
}  // namespace pallix
