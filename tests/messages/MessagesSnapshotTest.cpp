// Reading a WAL-mode Messages database (as a Mac keeps it, with rows still in
// its -wal) without creating or changing a file beside it: in a read-only
// folder, in a writable one, and what the private copies look like.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "app/messages/MessagesDatabase.h"
#include "core/ContentDigest.h"
#include "core/FileUtil.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TestMessagesDatabase;

// Every file in `folder`: its mode and the digest of its bytes.
std::map<std::string, std::string> folderChecksums(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat st {};
    ::stat(entry.path().c_str(), &st);
    auto bytes = readFileToString(entry.path().string());
    out[entry.path().filename().string()] =
        std::to_string(st.st_mode) + ":" + (bytes.ok() ? sha256Hex(bytes.value()) : "unreadable");
  }
  return out;
}

void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
}

// A Messages database in WAL mode copied into `folder` as a Mac leaves it
// while Messages runs: `inWal` rows live only in Chat.db-wal, there is no -shm.
void copyWalDatabase(const std::string& work, const std::string& folder, int inWal, const std::string& text) {
  const std::string source = work + "/source.db";
  if (!fs::exists(source)) {
    TestMessagesDatabase db(source);
    const int64_t chat = db.addChat("chat-1", std::string("Friends"), {});
    db.addMessage({.text = "already checkpointed", .fromMe = true, .chat = chat});
    db.close();
  }
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(source.c_str(), &writer), SQLITE_OK);
  exec(writer, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
  for (int k = 0; k < inWal; ++k) {
    exec(writer, "INSERT INTO message (guid, text, date, is_from_me) VALUES ('" + text + std::to_string(k) + "', '" +
                     text + "', " + std::to_string(testing::databaseDate(testing::kFixtureNow - 600)) + ", 1)");
  }
  ASSERT_TRUE(fs::exists(source + "-wal"));
  fs::copy_file(source, folder + "/Chat.db", fs::copy_options::overwrite_existing);
  fs::copy_file(source + "-wal", folder + "/Chat.db-wal", fs::copy_options::overwrite_existing);
  sqlite3_close(writer);
}

int64_t countOf(const FullDiskAccessController& access, const std::string& text) {
  auto connection = access.openDatabase();
  EXPECT_TRUE(connection.ok()) << connection.error().description();
  if (!connection.ok()) return -1;
  auto statement = connection.value()->prepare("SELECT COUNT(*) FROM message WHERE text = ?");
  EXPECT_TRUE(statement.ok());
  statement.value().bind(1, std::string_view(text));
  auto row = statement.value().step();
  EXPECT_TRUE(row.ok() && row.value());
  return statement.value().columnInt(0);
}

class MessagesSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = dir.path() + "/Messages";
    snapshots = dir.path() + "/private";
    fs::create_directories(folder);
    fs::create_directories(dir.path() + "/work");
    copyWalDatabase(dir.path() + "/work", folder, 3, "only in the wal");
    ASSERT_TRUE(defaults.set(FullDiskAccessController::kDatabasePathKey, folder + "/Chat.db").ok());
  }
  void TearDown() override { ::chmod(folder.c_str(), 0755); }
  std::unique_ptr<FullDiskAccessController> access() const {
    return std::make_unique<FullDiskAccessController>("/nonexistent", &defaults, snapshots);
  }
  std::vector<std::string> snapshotFolders() const {
    std::vector<std::string> out;
    if (!fs::exists(snapshots)) return out;
    for (const auto& e : fs::directory_iterator(snapshots)) out.push_back(e.path().string());
    return out;
  }

  TempDir dir;
  std::string folder, snapshots;
  UserDefaults defaults;
};

TEST_F(MessagesSnapshotTest, AWalDatabaseInAReadOnlyFolderIsReadWithWhatItsWalHolds) {
  const auto before = folderChecksums(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  if (::access(folder.c_str(), W_OK) == 0) {
    GTEST_SKIP() << "running as root: a folder without write permission stays writable, so the read-only case "
                    "cannot be made (the writable-folder case still runs)";
  }
  EXPECT_EQ(countOf(*access(), "only in the wal"), 3);
  EXPECT_EQ(countOf(*access(), "already checkpointed"), 1);
  EXPECT_EQ(folderChecksums(folder), before);
}

TEST_F(MessagesSnapshotTest, AWalDatabaseInAWritableFolderGetsNoFileBesideIt) {
  const auto before = folderChecksums(folder);
  ASSERT_EQ(before.size(), 2u);
  testing::SearchRig rig(folder + "/Chat.db", nullptr);
  auto found = rig.service->searchText("only in the wal");
  ASSERT_TRUE(found.ok()) << found.error().description();
  EXPECT_EQ(found->size(), 3u);
  EXPECT_EQ(folderChecksums(folder), before);
}

TEST_F(MessagesSnapshotTest, CopiesArePrivateReusedWhileUnchangedAndRemovedAfterUse) {
  fs::create_directories(snapshots + "/snapshot-999999999-gone");  // left by a process that is gone
  auto controller = access();
  EXPECT_FALSE(fs::exists(snapshots + "/snapshot-999999999-gone"));
  auto first = controller->openDatabase();
  ASSERT_TRUE(first.ok()) << first.error().description();
  auto copies = snapshotFolders();
  ASSERT_EQ(copies.size(), 1u);
  struct stat st {};
  ASSERT_EQ(::stat(copies[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((copies[0] + "/chat.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(fs::directory_iterator(copies[0]) == fs::directory_iterator(), false);
  EXPECT_EQ(countOf(*controller, "only in the wal"), 3);
  EXPECT_EQ(snapshotFolders(), copies) << "an unchanged database is not copied again";

  // Messages writes more: the next connection reads a new copy; the old one
  // stays while `first` reads it and goes with it.
  copyWalDatabase(dir.path() + "/work", folder, 2, "written later");
  EXPECT_EQ(countOf(*controller, "written later"), 2);
  EXPECT_EQ(snapshotFolders().size(), 2u);
  first.value().reset();
  EXPECT_EQ(snapshotFolders().size(), 1u);
  controller.reset();
  EXPECT_TRUE(snapshotFolders().empty());
}

TEST_F(MessagesSnapshotTest, ARollbackJournalDatabaseIsReadInPlace) {
  TestMessagesDatabase db(dir.path() + "/plain.db");
  db.addMessage({.text = "plain", .fromMe = true});
  db.close();
  EXPECT_FALSE(MessagesSnapshotCache::needsSnapshot(db.path()));
  EXPECT_TRUE(MessagesSnapshotCache::needsSnapshot(folder + "/Chat.db"));
  ASSERT_TRUE(defaults.set(FullDiskAccessController::kDatabasePathKey, db.path()).ok());
  EXPECT_EQ(countOf(*access(), "plain"), 1);
  EXPECT_TRUE(snapshotFolders().empty());
}

}  // namespace
}  // namespace pallix
