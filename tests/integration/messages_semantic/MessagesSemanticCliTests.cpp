// pallix messages index and pallix messages semantic end to end: the real
// executable with the tiny test model, a Messages database generated for
// this run (dates around now) and a real vCard import. The database must
// come out unchanged from everything pallix does, and no message text may
// reach the log (run at debug level).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "testing/TestProcess.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

using nlohmann::json;

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string testData() {
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return data ? data : "tests/data";
}

// Distinct message texts of at least 12 bytes.
std::vector<std::string> messageTexts(const std::string& path) {
  std::vector<std::string> texts;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return texts;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT DISTINCT text FROM message WHERE LENGTH(text) >= 12", -1, &stmt, nullptr);
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    texts.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return texts;
}

class MessagesSemanticCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.mkdir("Library/Messages");
    home.mkdir("tmp");
    database = home / "Library/Messages/Chat.db";
    ProcessResult made =
        runProcess({PALLIX_PYTHON, MESSAGES_GENERATOR, "--out", database, "--messages", "1500", "--now",
                    std::to_string(static_cast<long long>(std::time(nullptr))), "--vcf", home / "contacts.vcf"},
                   {});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ASSERT_EQ(pallix({"contacts", "import", home / "contacts.vcf"}).exitCode, 0);
  }
  void installModel() {
    ProcessResult installed = pallix({"model", "install", testData() + "/embeddings/tiny_bert"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
  }
  ProcessResult pallix(std::vector<std::string> args) const {
    args.insert(args.begin(), PALLIX_BINARY);
    return runProcess(args, {{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}, {"PALLIX_LOG", "debug"}},
                      std::chrono::seconds(120));
  }
  // The Messages app writing a message from me, dated now, into the first conversation.
  void writeMessage(const std::string& guid, const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const std::string insert =
        "INSERT INTO message (guid, text, date, is_from_me, handle_id) VALUES ('" + guid + "', '" + text + "', " +
        std::to_string((static_cast<long long>(std::time(nullptr)) - 978307200) * 1000000000LL) +
        ", 1, 0); INSERT INTO chat_message_join (chat_id, message_id, message_date) SELECT 1, MAX(ROWID), 0 FROM "
        "message;";
    ASSERT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  void expectNoMessageText(const std::string& log) {
    ASSERT_FALSE(log.empty());
    for (const std::string& text : texts) ASSERT_EQ(log.find(text), std::string::npos) << "in the log: " << text;
  }

  TempDir home;
  std::string database;
  std::vector<std::string> texts;
};

TEST_F(MessagesSemanticCliTest, IndexesSearchesAndCatchesUpWithoutTouchingTheDatabase) {
  installModel();
  texts = messageTexts(database);
  ASSERT_GT(texts.size(), 50u);
  const std::string before = fileBytes(database);

  ProcessResult indexed = pallix({"messages", "index"});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_NE(indexed.out.find("full pass: "), std::string::npos) << indexed.out;
  EXPECT_EQ(fileBytes(database), before);
  expectNoMessageText(indexed.err);

  ProcessResult found = pallix({"messages", "semantic", "dinner", "plans", "--json", "--limit", "3"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  json conversations = json::parse(found.out);
  ASSERT_GT(conversations.size(), 0u);
  EXPECT_LE(conversations.size(), 3u);
  for (const json& c : conversations) {
    EXPECT_EQ(c["fallbackMethod"], "rowid_batch") << c;
    ASSERT_GT(c["messages"].size(), 0u);
    for (const json& m : c["messages"]) EXPECT_EQ(m["chatGUID"], c["chatGUID"]);
  }
  expectNoMessageText(found.err);
  ProcessResult one = pallix({"messages", "semantic", "dinner", "--representative", "--json", "--limit", "2"});
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_GT(json::parse(one.out).size(), 0u);
  EXPECT_EQ(fileBytes(database), before);

  ProcessResult again = pallix({"messages", "index"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.out.find("no new messages"), std::string::npos) << again.out;
  EXPECT_EQ(fileBytes(database), before);

  // The Messages app writes a new message; the next pass takes it in.
  writeMessage("NEW-1", "a brand new note");
  ProcessResult later = pallix({"messages", "index"});
  ASSERT_EQ(later.exitCode, 0) << later.err;
  EXPECT_NE(later.out.find(" chunks from 1 messages in 1 conversation"), std::string::npos) << later.out;
}

// The agent keeps the message index while it runs: `messages index` has it
// run the catch-up and reports it, and a message written meanwhile is
// taken in by the agent's pass.
TEST_F(MessagesSemanticCliTest, IndexWhileTheAgentRunsHasTheAgentRunThePass) {
  installModel();
  ASSERT_EQ(pallix({"defaults", "write", "MessagesPreferences.semanticSearchEnabled", "true"}).exitCode, 0);
  BackgroundProcess agent({PALLIX_BINARY, "daemon"},
                          Environment{{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}, {"PALLIX_LOG", "info"}},
                          ProcessOptions{.cleanEnvironment = true});
  ASSERT_TRUE(agent.waitForOutput("setupMessageEmbedding started", std::chrono::seconds(30))) << agent.errorOutput();

  ProcessResult first = pallix({"messages", "index"});
  EXPECT_EQ(first.exitCode, 0) << first.err << agent.errorOutput();
  EXPECT_NE(first.err.find("the running Pallix agent keeps the message index; it runs the pass"), std::string::npos)
      << first.err;

  writeMessage("NEW-2", "a note for the agent");
  ProcessResult later = pallix({"messages", "index"});
  EXPECT_EQ(later.exitCode, 0) << later.err << agent.errorOutput();
  EXPECT_NE(later.out.find(" chunks from 1 messages in 1 conversation"), std::string::npos) << later.out;
  // Watching is the agent's own work: the command says so.
  ProcessResult watch = pallix({"messages", "index", "--watch"});
  EXPECT_EQ(watch.exitCode, 1);
  EXPECT_NE(watch.err.find("watches for new messages itself"), std::string::npos) << watch.err;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.finish().exitCode, 0);
}

// "The message index holds N chunks." in a run's output; -1 when absent.
long long heldChunks(const std::string& out) {
  const std::string prefix = "The message index holds ";
  const size_t at = out.find(prefix);
  return at == std::string::npos ? -1 : std::atoll(out.c_str() + at + prefix.size());
}

// Ctrl-C during the first index run keeps what it stored; the next run
// finishes the pass, so the index ends with every chunk exactly once.
TEST_F(MessagesSemanticCliTest, AnInterruptedFirstIndexIsCompletedByTheNextRun) {
  installModel();
  ProcessResult chunks = pallix({"messages", "chunks", "--json"});
  ASSERT_EQ(chunks.exitCode, 0) << chunks.err;
  const long long expected = static_cast<long long>(json::parse(chunks.out).size());
  ASSERT_GT(expected, 40);

  ASSERT_EQ(pallix({"defaults", "write", "MessagesPreferences.indexingIntensity", "low"}).exitCode, 0);
  BackgroundProcess first({PALLIX_BINARY, "messages", "index"},
                          {{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}, {"PALLIX_LOG", "debug"}},
                          {.cleanEnvironment = true});
  // The largest conversation is stored; the others are still to come.
  ASSERT_TRUE(first.waitForOutput("Processed ", std::chrono::seconds(90))) << first.errorOutput();
  first.signal(SIGINT);
  ASSERT_EQ(first.waitForExit(std::chrono::seconds(30)), 130) << first.errorOutput();
  const long long kept = heldChunks(first.output());
  EXPECT_GT(kept, 0) << first.output();
  EXPECT_LT(kept, expected);

  ASSERT_EQ(pallix({"defaults", "write", "MessagesPreferences.indexingIntensity", "maximum"}).exitCode, 0);
  ProcessResult second = pallix({"messages", "index"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_NE(second.out.find("full pass: "), std::string::npos) << second.out;
  EXPECT_EQ(heldChunks(second.out), expected) << second.out;

  ProcessResult third = pallix({"messages", "index"});
  ASSERT_EQ(third.exitCode, 0) << third.err;
  EXPECT_NE(third.out.find("no new messages"), std::string::npos) << third.out;
  EXPECT_EQ(heldChunks(third.out), expected);

  // A rebuild starts over and ends with the same index.
  ProcessResult rebuilt = pallix({"messages", "rebuild"});
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
  EXPECT_NE(rebuilt.out.find("full pass: "), std::string::npos) << rebuilt.out;
  EXPECT_EQ(heldChunks(rebuilt.out), expected) << rebuilt.out;
  EXPECT_NE(pallix({"messages", "--help"}).out.find("rebuild"), std::string::npos);
}

// After switching to a phone backup the old index names messages of the
// previous database: semantic search refuses it until the next index run,
// which starts a fresh index of the new database.
TEST_F(MessagesSemanticCliTest, ImportingAnotherDatabaseStartsAFreshIndex) {
  installModel();
  ASSERT_EQ(pallix({"messages", "index"}).exitCode, 0);
  ProcessResult made =
      runProcess({PALLIX_PYTHON, MESSAGES_GENERATOR, "--out", home / "phone.db", "--messages", "700", "--now",
                  std::to_string(static_cast<long long>(std::time(nullptr))), "--backup", home / "backup"},
                 {});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_EQ(pallix({"messages", "import-backup", home / "backup"}).exitCode, 0);

  ProcessResult stale = pallix({"messages", "semantic", "dinner", "plans"});
  EXPECT_EQ(stale.exitCode, 1) << stale.out;
  EXPECT_NE(stale.err.find("another Messages database"), std::string::npos) << stale.err;
  EXPECT_NE(stale.err.find("pallix messages index"), std::string::npos) << stale.err;

  ProcessResult indexed = pallix({"messages", "index"});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_NE(indexed.out.find("full pass: "), std::string::npos) << indexed.out;
  ProcessResult chunks = pallix({"messages", "chunks", "--json"});
  ASSERT_EQ(chunks.exitCode, 0) << chunks.err;
  const json built = json::parse(chunks.out);
  EXPECT_EQ(heldChunks(indexed.out), static_cast<long long>(built.size())) << indexed.out;

  ProcessResult found = pallix({"messages", "semantic", "dinner", "plans", "--json", "--limit", "5"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  std::map<std::string, std::set<long long>> rowIDs;  // chunk identifier to its messages
  for (const json& c : built) {
    for (const json& id : c["messageRowIDs"]) rowIDs[c["identifier"]].insert(id.get<long long>());
  }
  for (const json& c : json::parse(found.out)) {
    EXPECT_EQ(c["fallbackMethod"], "rowid_batch") << c;
    ASSERT_EQ(rowIDs.count(c["chunkID"]), 1u) << c["chunkID"];
    for (const json& m : c["messages"]) {
      EXPECT_EQ(m["chatGUID"], c["chatGUID"]);
      EXPECT_EQ(rowIDs[c["chunkID"]].count(m["id"].get<long long>()), 1u) << m;
    }
  }
}

// A model installed after the index was built makes the index stale: search
// says so (and leaves the index alone) until the next index run rebuilds it.
TEST_F(MessagesSemanticCliTest, AnotherModelMakesTheIndexStaleUntilItIsRebuilt) {
  installModel();
  ASSERT_EQ(pallix({"messages", "index"}).exitCode, 0);
  const std::string other = home / "models/narrow";
  writeRandomModel(other, smallConfig(100, 16, 2, 2, 64, 512), 16);
  ProcessResult installed = pallix({"model", "install", other});
  ASSERT_EQ(installed.exitCode, 0) << installed.err;

  ProcessResult stale = pallix({"messages", "semantic", "dinner", "plans"});
  EXPECT_EQ(stale.exitCode, 3) << stale.out << stale.err;
  EXPECT_NE(stale.err.find("built with another model; rebuilding (0%)"), std::string::npos) << stale.err;
  EXPECT_TRUE(stale.out.empty()) << stale.out;

  ProcessResult indexed = pallix({"messages", "index"});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_GT(heldChunks(indexed.out), 0) << indexed.out;
  ProcessResult found = pallix({"messages", "semantic", "dinner", "plans", "--json"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  EXPECT_GT(json::parse(found.out).size(), 0u);
}

TEST_F(MessagesSemanticCliTest, WatchRunsUntilInterruptedAndKeepsWhatItIndexed) {
  installModel();
  BackgroundProcess watch({PALLIX_BINARY, "messages", "index", "--watch"},
                          {{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}}, {.cleanEnvironment = true});
  EXPECT_TRUE(watch.waitForOutput("full pass: ", std::chrono::seconds(90)));
  // A setting another command writes reaches the running watch within a second.
  ASSERT_EQ(pallix({"defaults", "write", "MessagesPreferences.indexingIntensity", "maximum"}).exitCode, 0);
  EXPECT_TRUE(watch.waitForOutput("indexing intensity is now maximum", std::chrono::seconds(1))) << watch.errorOutput();
  watch.signal(SIGINT);
  EXPECT_EQ(watch.waitForExit(std::chrono::seconds(20)), 130) << "pallix messages index --watch did not stop on SIGINT";
  EXPECT_NE(watch.output().find("The message index holds "), std::string::npos);
  EXPECT_EQ(pallix({"messages", "semantic", "lunch", "--json"}).exitCode, 0);
}

TEST_F(MessagesSemanticCliTest, SaysWhatIsMissing) {
  ProcessResult noModel = pallix({"messages", "semantic", "lunch"});
  EXPECT_EQ(noModel.exitCode, 3);
  EXPECT_NE(noModel.err.find("pallix model install"), std::string::npos) << noModel.err;
  EXPECT_EQ(pallix({"messages", "index"}).exitCode, 3);
  ::chmod(database.c_str(), 0);
  if (::access(database.c_str(), R_OK) == 0) GTEST_SKIP() << "running as root: an unreadable file stays readable";
  EXPECT_EQ(pallix({"messages", "index"}).exitCode, 3);
}

}  // namespace
}  // namespace pallix::testing
