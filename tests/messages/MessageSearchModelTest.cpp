// The text search over the generated fixture agrees with a brute-force model
// of its two statements (LIKE, limits, the decode rules, the merge) and
// leaves the database unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <unordered_set>

#include "app/messages/MessageSearchService.h"
#include "app/platform/VCard.h"
#include "core/FileUtil.h"
#include "core/Logger.h"
#include "testing/FakeContactStore.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

using testing::fixturePath;

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

struct Row {
  int64_t rowID;
  std::optional<std::string> guid, text, handle, chatName;
  int64_t date;
};

// Every message with its handle and conversation, joined here rather than in SQL.
std::vector<Row> loadRows() {
  sqlite3* db = nullptr;
  sqlite3_open_v2(fixturePath("chat.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  auto each = [&](const char* sql, auto f) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) f(s);
    sqlite3_finalize(s);
  };
  auto text = [](sqlite3_stmt* s, int i) -> std::optional<std::string> {
    auto p = sqlite3_column_text(s, i);
    return p ? std::optional<std::string>(reinterpret_cast<const char*>(p)) : std::nullopt;
  };
  std::map<int64_t, std::string> handles;
  std::map<int64_t, std::optional<std::string>> chatNames;
  std::map<int64_t, int64_t> chatOf;
  each("SELECT ROWID, id FROM handle", [&](sqlite3_stmt* s) { handles[sqlite3_column_int64(s, 0)] = *text(s, 1); });
  each("SELECT ROWID, display_name FROM chat",
       [&](sqlite3_stmt* s) { chatNames[sqlite3_column_int64(s, 0)] = text(s, 1); });
  each("SELECT chat_id, message_id FROM chat_message_join",
       [&](sqlite3_stmt* s) { chatOf[sqlite3_column_int64(s, 1)] = sqlite3_column_int64(s, 0); });
  std::vector<Row> rows;
  each("SELECT ROWID, guid, text, date, handle_id FROM message", [&](sqlite3_stmt* s) {
    Row r{sqlite3_column_int64(s, 0), text(s, 1), text(s, 2), {}, {}, sqlite3_column_int64(s, 3)};
    if (auto h = handles.find(sqlite3_column_int64(s, 4)); h != handles.end()) r.handle = h->second;
    if (auto c = chatOf.find(r.rowID); c != chatOf.end()) r.chatName = chatNames[c->second];
    rows.push_back(std::move(r));
  });
  sqlite3_close(db);
  return rows;
}

std::vector<int64_t> modelSearch(const std::vector<Row>& rows, const std::string& query,
                                 const std::vector<std::string>& identifiers) {
  const std::u32string pattern = utf32("%" + query + "%");
  auto matches = [&](const std::optional<std::string>& s) { return s && like(utf32(*s), pattern); };
  auto top = [&](auto condition) {
    std::vector<const Row*> hits;
    for (const Row& r : rows) {
      if (r.text && !r.text->empty() && condition(r)) hits.push_back(&r);
    }
    std::sort(hits.begin(), hits.end(), [](const Row* a, const Row* b) { return a->date > b->date; });
    if (hits.size() > 50) hits.resize(50);  // the statement's limit comes before the decode rules
    std::vector<int64_t> out;
    for (const Row* r : hits) {
      double seconds = static_cast<double>(r->date) / 1e9;
      if (r->guid && seconds > 0 && seconds < testing::kFixtureNow - 978307200.0 + 31536000.0) out.push_back(r->rowID);
    }
    return out;
  };
  std::vector<int64_t> merged = top([&](const Row& r) { return matches(r.text); });
  std::vector<int64_t> byContact = top([&](const Row& r) {
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

class FixtureSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto vcf = readFileToString(fixturePath("contacts.vcf"));
    ASSERT_TRUE(vcf.ok());
    contacts = std::make_shared<FakeContactStore>(parseVCards(vcf.value(), "contacts.vcf").contacts);
    clock.setWallNow(dateFromSecondsSince1970(testing::kFixtureNow));
    // Point the controller straight at the fixture through the imported-path key.
    defaults.set(FullDiskAccessController::kDatabasePathKey, fixturePath("chat.db")).ok();
    service = std::make_unique<MessageSearchService>(MessageSearchService::Dependencies{
        std::make_shared<FullDiskAccessController>("/nonexistent", &defaults), contacts, &clock, {}});
  }

  const std::vector<std::string> queries = {
      "lunch", "meeting",     "the station", "Café", "明日", "20%", "final_",      "a_c",  "Martin", "Dubois",
      "+1555", "example.org", "Family",      "Book", "%",    "_",   "ok 👍🏽", "zzzz", "grandma"};
  UserDefaults defaults;
  std::shared_ptr<FakeContactStore> contacts;
  ManualClock clock;
  std::unique_ptr<MessageSearchService> service;
};

TEST_F(FixtureSearchTest, AgreesWithTheModelOfItsStatements) {
  const std::vector<Row> rows = loadRows();
  for (const std::string& query : queries) {
    std::vector<int64_t> got;
    for (const auto& r : service->searchTextOnly(query)) got.push_back(r.id);
    EXPECT_EQ(got, modelSearch(rows, query, service->searchContactIdentifiers(query))) << query;
  }
}

}  // namespace
}  // namespace pallix
