#include "tests/messages/MessagesTestSupport.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <variant>

#include "app/platform/VCard.h"
#include "core/FileUtil.h"

namespace pallix::testing {
namespace {

// Fails every test after which a generated fixture is not byte for byte as
// it was before the test.
class FixtureGuard final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { before_ = take(); }
  void OnTestEnd(const ::testing::TestInfo&) override {
    EXPECT_TRUE(take() == before_) << "the test changed a generated fixture file";
  }

 private:
  static std::vector<FileFingerprint> take() {
    std::vector<FileFingerprint> out;
    for (const char* name : {"chat.db", "empty.db", "contacts.vcf", "backup/Manifest.db",
                             "backup/3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28"}) {
      out.push_back(fingerprint(fixturePath(name)));
    }
    return out;
  }
  std::vector<FileFingerprint> before_;
};

[[maybe_unused]] const bool kFixtureGuardInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FixtureGuard());  // the list owns it
  return true;
}();

}  // namespace

std::string fixturePath(const std::string& name) {
  return std::string(MESSAGES_FIXTURE_DIR) + "/" + name;
}

FileFingerprint fingerprint(const std::string& path) {
  FileFingerprint f;
  if (std::filesystem::is_regular_file(path)) {
    std::ifstream in(path, std::ios::binary);
    f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    f.size = st.st_size;
    f.mtimeNanoseconds = st.st_mtim.tv_sec * 1'000'000'000ll + st.st_mtim.tv_nsec;
  }
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    if (std::filesystem::exists(path + suffix)) f.sidecars.push_back(suffix);
  }
  return f;
}

UnchangedFileCheck::~UnchangedFileCheck() {
  EXPECT_TRUE(fingerprint(path_) == before_) << path_ << " changed";
}

std::shared_ptr<FullDiskAccessController> accessTo(const std::string& path) {
  UserDefaults defaults;  // read once, by the constructor
  EXPECT_TRUE(defaults.set(FullDiskAccessController::kDatabasePathKey, path).ok());
  return std::make_shared<FullDiskAccessController>("/nonexistent", &defaults);
}

std::vector<ContactRecord> fixtureContacts() {
  auto vcf = readFileToString(fixturePath("contacts.vcf"));
  EXPECT_TRUE(vcf.ok());
  return parseVCards(vcf.valueOr(""), "contacts.vcf").contacts;
}

std::vector<FixtureRow> loadFixtureRows() {
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
  std::vector<FixtureRow> rows;
  each("SELECT ROWID, guid, text, date, handle_id FROM message", [&](sqlite3_stmt* s) {
    FixtureRow r{sqlite3_column_int64(s, 0), text(s, 1), text(s, 2), {}, {}, sqlite3_column_int64(s, 3)};
    if (auto h = handles.find(sqlite3_column_int64(s, 4)); h != handles.end()) r.handle = h->second;
    if (auto c = chatOf.find(r.rowID); c != chatOf.end()) r.chatName = chatNames[c->second];
    rows.push_back(std::move(r));
  });
  sqlite3_close(db);
  return rows;
}

SearchRig::SearchRig(const std::string& path, std::shared_ptr<ContactStore> contacts) {
  clock.setWallNow(dateFromSecondsSince1970(kFixtureNow));
  service = std::make_shared<MessageSearchService>(
      MessageSearchService::Dependencies{accessTo(path), std::move(contacts), &clock,
                                         [this](const std::string& sql) {
                                           std::lock_guard<std::mutex> lock(mutex);
                                           statements.insert(sql);
                                         },
                                         "UTC"});
}

int64_t databaseDate(double secondsSince1970) {
  return static_cast<int64_t>(std::llround((secondsSince1970 - 978307200.0) * 1e9));
}

TestMessagesDatabase::TestMessagesDatabase(const std::string& path) : path_(path) {
  std::filesystem::copy_file(fixturePath("empty.db"), path, std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  exec("BEGIN");  // one commit for all rows: a sync per row would make every test slow
}

TestMessagesDatabase::~TestMessagesDatabase() {
  close();
}

void TestMessagesDatabase::close() {
  if (db_) {
    exec("COMMIT");
    sqlite3_close(db_);
  }
  db_ = nullptr;
}

void TestMessagesDatabase::commit() {
  exec("COMMIT");
  exec("BEGIN");
}

void TestMessagesDatabase::exec(const std::string& sql) {
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  sqlite3_free(error);
}

void execSQL(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << sql;
  sqlite3_close(db);
}

namespace {

// A bound value: a number, text or NULL, or (when `blob`) bytes or NULL.
struct Value {
  std::variant<int64_t, std::optional<std::string>> value;
  bool blob = false;
};

int64_t insert(sqlite3* db, const char* sql, std::initializer_list<Value> values) {
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sql;
  int index = 0;
  for (const Value& v : values) {
    ++index;
    const auto* text = std::get_if<std::optional<std::string>>(&v.value);
    if (!text) {
      sqlite3_bind_int64(stmt, index, std::get<int64_t>(v.value));
    } else if (*text && v.blob) {
      sqlite3_bind_blob(stmt, index, (*text)->data(), static_cast<int>((*text)->size()), SQLITE_TRANSIENT);
    } else if (*text) {
      sqlite3_bind_text(stmt, index, (*text)->data(), static_cast<int>((*text)->size()), SQLITE_TRANSIENT);
    }
  }
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return sqlite3_last_insert_rowid(db);
}

}  // namespace

int64_t TestMessagesDatabase::addHandle(const std::string& id) {
  return insert(db_, "INSERT INTO handle (id, service) VALUES (?, 'iMessage')", {{id}});
}

int64_t TestMessagesDatabase::addChat(const std::string& guid, const std::optional<std::string>& displayName,
                                      const std::vector<int64_t>& handles) {
  int64_t chat = insert(db_, "INSERT INTO chat (guid, display_name) VALUES (?, ?)", {{guid}, {displayName}});
  for (int64_t h : handles) {
    insert(db_, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)", {{chat}, {h}});
  }
  return chat;
}

int64_t TestMessagesDatabase::addMessage(const Message& m) {
  std::optional<std::string> guid = m.guid;
  if (guid && guid->empty()) guid = "GUID-" + std::to_string(++nextGuid_);
  int64_t id = insert(
      db_, "INSERT INTO message (guid, text, date, is_from_me, handle_id, attributedBody) VALUES (?, ?, ?, ?, ?, ?)",
      {{guid}, {m.text}, {databaseDate(m.date)}, {int64_t{m.fromMe}}, {m.handle}, {m.attributedBody, true}});
  if (m.chat) {
    insert(db_, "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)",
           {{m.chat}, {id}, {databaseDate(m.date)}});
  }
  return id;
}

int64_t TestMessagesDatabase::addAttachment(int64_t message, const std::optional<std::string>& filename,
                                            const std::optional<std::string>& mimeType) {
  int64_t attachment = insert(db_, "INSERT INTO attachment (guid, filename, mime_type) VALUES (?, ?, ?)",
                              {{"AT-" + std::to_string(++nextGuid_)}, {filename}, {mimeType}});
  insert(db_, "INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)",
         {{message}, {attachment}});
  return attachment;
}

}  // namespace pallix::testing
