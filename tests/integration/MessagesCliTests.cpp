// pallix messages and pallix contacts end to end: the real executable over a
// Messages database generated for this run (dates around now), a real vCard
// import, a phone backup layout, databases it cannot use (including one
// locked by another process and one no other user may read), and a second
// process writing while pallix reads. The database must come out unchanged.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "core/Strings.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class MessagesCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.mkdir("Library/Messages");
    database = home / "Library/Messages/Chat.db";
    generate(database, {"--vcf", home / "contacts.vcf", "--backup", home / "backup"});
  }

  void generate(const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> argv = {PALLIX_PYTHON, MESSAGES_GENERATOR,
                                     "--out",       out,
                                     "--messages",  "2000",
                                     "--now",       std::to_string(static_cast<long long>(std::time(nullptr)))};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessResult made = runProcess(argv, {});
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }
  ProcessResult pallix(std::vector<std::string> args, std::vector<std::string> prefix = {}) const {
    args.insert(args.begin(), PALLIX_BINARY);
    args.insert(args.begin(), prefix.begin(), prefix.end());
    return runProcess(args, {{"PALLIX_HOME", home.path()}});
  }
  json searchJson(const std::string& query) const {
    ProcessResult r = pallix({"messages", "search", query, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out.empty() ? "[]" : r.out);
  }

  TempDir home;
  std::string database;
};

TEST_F(MessagesCliTest, SearchPrintsResultsAndLeavesTheDatabaseAlone) {
  const std::string before = fileBytes(database);
  json results = searchJson("lunch");
  ASSERT_GT(results.size(), 0u);
  EXPECT_LE(results.size(), 50u);
  for (const json& r : results) {
    EXPECT_NE(asciiLowercase(r["text"].get<std::string>()).find("lunch"), std::string::npos) << r;
    for (const char* key :
         {"id", "guid", "date", "dateSeconds", "isFromMe", "senderIdentifier", "senderDisplayName", "senderImageData",
          "chatGUID", "chatDisplayName", "isGroupChat", "attachmentCount", "attachmentPaths", "conversationURL"}) {
      EXPECT_TRUE(r.contains(key)) << key;
    }
    // Why it matched: the passage with the word highlighted, in bytes of its text.
    ASSERT_TRUE(r.contains("why")) << r;
    EXPECT_EQ(r["why"]["kind"], "passage");
    const std::string passage = r["why"]["text"];
    ASSERT_FALSE(r["why"]["ranges"].empty()) << r["why"];
    const json& first = r["why"]["ranges"][0];
    EXPECT_EQ(asciiLowercase(passage.substr(first["start"], first["length"])), "lunch") << r["why"];
    EXPECT_EQ(r["senderDisplayName"], nullptr);  // no contacts imported yet
    EXPECT_EQ(r["conversationURL"], "sms://open?message-guid=" + r["guid"].get<std::string>());
  }
  EXPECT_GE(results.front()["dateSeconds"].get<double>(), results.back()["dateSeconds"].get<double>());

  ProcessResult limited = pallix({"messages", "search", "lunch", "--limit", "3"});
  EXPECT_EQ(limited.exitCode, 0);
  EXPECT_EQ(splitString(limited.out, '\n').size(), 4u);  // three lines and the final newline
  ProcessResult none = pallix({"messages", "search", "qqqzzz"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.out.find("No messages match"), std::string::npos);
  EXPECT_EQ(pallix({"messages", "search"}).exitCode, 2);
  EXPECT_EQ(pallix({"messages", "status", "--limit", "3"}).exitCode, 2);  // an option of another subcommand
  EXPECT_EQ(fileBytes(database), before);
  EXPECT_FALSE(fs::exists(database + "-journal") || fs::exists(database + "-wal"));
}

// A query of white space would match every message or conversation.
TEST_F(MessagesCliTest, ABlankQueryIsAUsageError) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"messages", "semantic", "   "}, {"messages", "semantic", " ", "\t"}, {"messages", "search", "  "}}) {
    ProcessResult r = pallix(args);
    EXPECT_EQ(r.exitCode, 2) << args[1] << ": " << r.out << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("needs"), std::string::npos) << r.err;
  }
}

// A message stored with bytes that are not UTF-8 shows U+FFFD in its chunk.
TEST_F(MessagesCliTest, ABadByteInAMessageReachesItsChunkAsAReplacementCharacter) {
  ProcessResult added = runProcess(
      {PALLIX_PYTHON, "-c",
       "import sqlite3,sys,time\n"
       "c=sqlite3.connect(sys.argv[1]); d=int((time.time() - 978307200 - 60) * 1e9)\n"
       "for i, body in enumerate([b'caf\\xc3 crema', b'then \\xff\\xfe more']):\n"
       "  c.execute('INSERT INTO message (guid, text, date, is_from_me) VALUES (?, CAST(? AS TEXT), ?, 1)', "
       "('BAD%d' % i, body, d + i))\n"
       "  c.execute('INSERT INTO chat_message_join (chat_id, message_id, message_date) SELECT 1, MAX(ROWID), 0 FROM "
       "message')\n"
       "c.commit()\n",
       database},
      {});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  ProcessResult chunks = pallix({"messages", "chunks", "--json"});
  ASSERT_EQ(chunks.exitCode, 0) << chunks.err;
  bool found = false;
  for (const json& c : json::parse(chunks.out)) {
    const std::string text = c["combinedText"];
    found = found || (text.find("caf\uFFFD crema") != std::string::npos &&
                      text.find("then \uFFFD\uFFFD more") != std::string::npos);
  }
  EXPECT_TRUE(found) << chunks.out.substr(0, 2000);
}

TEST_F(MessagesCliTest, ImportedContactsNameSendersAndFormChunks) {
  ProcessResult empty = pallix({"contacts", "list"});
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_NE(empty.out.find("notDetermined"), std::string::npos);
  ProcessResult onlyMine = pallix({"messages", "chunks", "--json"});
  EXPECT_NE(onlyMine.err.find("no contacts imported"), std::string::npos);

  ProcessResult imported = pallix({"contacts", "import", home / "contacts.vcf"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_NE(imported.out.find("Imported 40 contacts"), std::string::npos) << imported.out;
  json list = json::parse(pallix({"contacts", "list", "--json"}).out);
  EXPECT_EQ(list["status"], "authorized");
  EXPECT_EQ(list["contacts"].size(), 40u);

  bool named = false;
  for (const json& r : searchJson("the")) named = named || r["senderDisplayName"].is_string();
  EXPECT_TRUE(named);

  ProcessResult chunks = pallix({"messages", "chunks", "--json"});
  ASSERT_EQ(chunks.exitCode, 0) << chunks.err;
  json all = json::parse(chunks.out);
  ASSERT_GT(all.size(), json::parse(onlyMine.out).size());
  const std::string chat = all.front()["chatGUID"];
  for (const json& c : all) {
    EXPECT_EQ(c["identifier"].get<std::string>().rfind(c["chatGUID"].get<std::string>() + "_", 0), 0u);
    EXPECT_EQ(c["messageRowIDs"].size(), c["messageGUIDs"].size());
    EXPECT_LE(c["startDate"].get<double>(), c["endDate"].get<double>());
  }
  json one = json::parse(pallix({"messages", "chunks", "--chat", chat, "--json"}).out);
  for (const json& c : one) EXPECT_EQ(c["chatGUID"], chat);
  ProcessResult unknown = pallix({"messages", "chunks", "--chat", "no-such-chat"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.err.find("no conversation"), std::string::npos);
}

TEST_F(MessagesCliTest, ABackupReplacesTheDefaultLocation) {
  fs::remove(database);
  ProcessResult missing = pallix({"messages", "search", "lunch"});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_NE(missing.err.find("import-backup"), std::string::npos) << missing.err;

  const std::string smsFile = home / "backup/3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28";
  const std::string before = fileBytes(smsFile);
  ProcessResult imported = pallix({"messages", "import-backup", home / "backup"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_NE(imported.out.find("never writes it"), std::string::npos);
  EXPECT_GT(searchJson("lunch").size(), 0u);
  json status = json::parse(pallix({"messages", "status", "--json"}).out);
  EXPECT_EQ(status["source"], "backup");
  EXPECT_EQ(status["readable"], true);
  EXPECT_EQ(fileBytes(smsFile), before);

  EXPECT_EQ(pallix({"messages", "import-backup", home / "Library"}).exitCode, 3);
}

// A database pallix cannot use: one message that says what to do, nothing
// on standard output, and the database unchanged.
TEST_F(MessagesCliTest, UnusableDatabasesGiveOneClearMessage) {
  auto expectOneMessage = [&](int exitCode, const std::vector<std::string>& fragments,
                              const std::vector<std::string>& prefix = {}) {
    const std::string before = fileBytes(database);
    ProcessResult r = pallix({"messages", "search", "lunch"}, prefix);
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("pallix: ", 0), 0u) << r.err;
    for (const std::string& fragment : fragments) EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Text search failed"), std::string::npos) << "the log repeats the message: " << r.err;
    EXPECT_EQ(fileBytes(database), before);
  };
  const std::string good = fileBytes(database);
  std::ofstream(database, std::ios::binary) << std::string(5000, 'x');
  expectOneMessage(1, {"file is not a database"});

  // Another process holds the database locked while it writes.
  std::ofstream(database, std::ios::binary) << good;
  {
    BackgroundProcess locker({PALLIX_PYTHON, "-c",
                              "import signal,sqlite3,sys; c=sqlite3.connect(sys.argv[1], isolation_level=None); "
                              "c.execute('BEGIN EXCLUSIVE'); print('locked', flush=True); signal.pause()",
                              database});
    ASSERT_TRUE(locker.waitForOutput("locked", std::chrono::seconds(20)));
    expectOneMessage(1, {"database is locked", "try again"});
  }

  // This user may not read it. As root every file is readable: the command runs as nobody instead.
  for (const std::string& path : {home.path(), home / "Library", home / "Library/Messages"}) {
    ::chmod(path.c_str(), 0755);
  }
  ::chmod(database.c_str(), ::geteuid() == 0 ? 0600 : 0000);
  std::vector<std::string> asOtherUser;
  if (::geteuid() == 0) asOtherUser = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
  expectOneMessage(3, {"cannot be read by this user", "chmod u+r"}, asOtherUser);
}

// Every file in `folder` by name: its mode and bytes.
std::map<std::string, std::string> folderContents(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat st {};
    ::stat(entry.path().c_str(), &st);
    out[entry.path().filename().string()] = std::to_string(st.st_mode) + ":" + fileBytes(entry.path().string());
  }
  return out;
}

// A Mac's Messages folder copied while Messages runs: Chat.db in WAL mode and
// Chat.db-wal holding the newest messages, in a folder no one may write.
// pallix reads it all and leaves every file as it was, adding none.
TEST_F(MessagesCliTest, AWALDatabaseInAReadOnlyFolderIsReadWithoutTouchingIt) {
  const std::string folder = home / "Library/Messages";
  fs::remove(database);
  generate(home / "work.db", {"--wal"});
  ProcessResult copied = runProcess(
      {PALLIX_PYTHON, "-c",
       "import shutil,sqlite3,sys,time\n"
       "c=sqlite3.connect(sys.argv[1]); c.execute('PRAGMA wal_autocheckpoint=0')\n"
       "for i in range(3): c.execute(\"INSERT INTO message (guid, text, date, is_from_me) VALUES (?, 'lunch "
       "straight from the wal', ?, 1)\", ('WAL%d' % i, int((time.time() - 978307200) * 1e9)))\n"
       "c.commit()\n"
       "shutil.copyfile(sys.argv[1], sys.argv[2]); shutil.copyfile(sys.argv[1] + '-wal', sys.argv[2] + '-wal')\n",
       home / "work.db", database},
      {});
  ASSERT_EQ(copied.exitCode, 0) << copied.err;
  for (const std::string& path : {home.path(), home / "Library"}) ::chmod(path.c_str(), 0755);
  ::chmod(database.c_str(), 0644);
  ::chmod((database + "-wal").c_str(), 0644);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  // As root every folder is writable: the commands run as nobody instead.
  std::vector<std::string> asOtherUser;
  if (::geteuid() == 0) {
    asOtherUser = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    const struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    for (const std::string& path : {home / ".cache/Pallix", home / ".local/share/Pallix"}) {
      fs::create_directories(path);
      ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
  }
  const auto before = folderContents(folder);
  ASSERT_EQ(before.size(), 2u);

  ProcessResult found = pallix({"messages", "search", "straight from the wal", "--json"}, asOtherUser);
  ASSERT_EQ(found.exitCode, 0) << found.err;
  EXPECT_EQ(json::parse(found.out).size(), 3u);
  ProcessResult older = pallix({"messages", "search", "lunch", "--json"}, asOtherUser);
  ASSERT_EQ(older.exitCode, 0) << older.err;
  EXPECT_GT(json::parse(older.out).size(), 3u);
  ProcessResult status = pallix({"messages", "status", "--json"}, asOtherUser);
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
  EXPECT_EQ(folderContents(folder), before);

  // The same folder writable, read by its owner: still nothing beside the database.
  ::chmod(folder.c_str(), 0755);
  ASSERT_EQ(pallix({"messages", "search", "straight from the wal"}).exitCode, 0);
  EXPECT_EQ(folderContents(folder), before);

  // The private copies are gone once pallix exits.
  const std::string copies = home / ".cache/Pallix/MessagesSnapshots";
  if (fs::exists(copies)) {
    EXPECT_TRUE(fs::is_empty(copies));
  }
}

TEST_F(MessagesCliTest, ASearchWhileAnotherProcessWritesInWALMode) {
  const std::string wal = home / "wal/Library/Messages/Chat.db";
  fs::create_directories(fs::path(wal).parent_path());
  generate(wal, {"--wal"});
  const std::string before = fileBytes(wal);
  ProcessResult idle = runProcess({PALLIX_BINARY, "messages", "search", "lunch"}, {{"PALLIX_HOME", home / "wal"}});
  EXPECT_EQ(idle.exitCode, 0) << idle.err;
  EXPECT_EQ(fileBytes(wal), before);
  EXPECT_FALSE(fs::exists(wal + "-wal") || fs::exists(wal + "-shm")) << "files beside the database";
  BackgroundProcess writer({PALLIX_PYTHON, "-c",
                            "import sqlite3,sys,time\n"
                            "c=sqlite3.connect(sys.argv[1])\n"
                            "print('writing', flush=True)\n"
                            "i=0\n"
                            "while True:\n"
                            "  i+=1\n"
                            "  c.execute(\"INSERT INTO message (guid, text, date, is_from_me) VALUES (?, 'lunch from "
                            "the writer', ?, 1)\", ('W%d' % i, int((time.time() - 978307200) * 1e9))); c.commit()\n",
                            wal});
  ASSERT_TRUE(writer.waitForOutput("writing", std::chrono::seconds(20)));
  for (int i = 0; i < 5; ++i) {
    ProcessResult r =
        runProcess({PALLIX_BINARY, "messages", "search", "lunch", "--json"}, {{"PALLIX_HOME", home / "wal"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GT(json::parse(r.out).size(), 0u);
  }
}

}  // namespace
}  // namespace pallix::testing
