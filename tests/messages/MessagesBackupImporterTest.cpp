// Pointing Pallix at the SMS database of a phone backup: the generated
// backup, a folder of one backup, and the backups it must refuse with a
// message that says why; the backup is never written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/messages/MessagesBackupImporter.h"
#include "app/messages/MessagesDatabase.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const std::string kSmsFile = "3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// A copy of the generated backup, changed by `damage`.
std::string backupCopy(const TempDir& dir, const std::function<void(const std::string&)>& damage = {}) {
  const std::string root = dir / "backup";
  fs::copy(testing::fixturePath("backup"), root, fs::copy_options::recursive);
  if (damage) damage(root);
  return root;
}

// A phone keeps sms.db in WAL mode: checking it must not leave -wal or -shm
// files inside the backup.
TEST(MessagesBackupImporterTest, AWalModeSmsDatabaseLeavesTheBackupAsItWas) {
  TempDir dir;
  const std::string root = backupCopy(
      dir, [](const std::string& root) { testing::execSQL(root + "/" + kSmsFile, "PRAGMA journal_mode=WAL"); });
  ASSERT_TRUE(MessagesSnapshotCache::needsSnapshot(root + "/" + kSmsFile));
  std::vector<std::string> before;
  for (const auto& e : fs::recursive_directory_iterator(root)) before.push_back(e.path().string());
  testing::UnchangedFileCheck database(root + "/" + kSmsFile);
  UserDefaults defaults;
  auto imported = MessagesBackupImporter::importBackup(root, defaults);
  ASSERT_TRUE(imported.ok()) << imported.error().description();
  EXPECT_GT(imported->messageCount, 1000);
  std::vector<std::string> after;
  for (const auto& e : fs::recursive_directory_iterator(root)) after.push_back(e.path().string());
  EXPECT_EQ(after, before);
}

TEST(MessagesBackupImporterTest, RecordsTheSmsDatabaseOfABackup) {
  TempDir dir;
  const std::string root = backupCopy(dir);
  UserDefaults defaults;
  auto imported = [&] {
    testing::UnchangedFileCheck database(root + "/" + kSmsFile), manifest(root + "/Manifest.db");
    return MessagesBackupImporter::importBackup(root, defaults);
  }();
  ASSERT_TRUE(imported.ok()) << imported.error().description();
  EXPECT_EQ(imported->databasePath, fs::canonical(root + "/" + kSmsFile).string());
  EXPECT_GT(imported->messageCount, 1000);
  EXPECT_EQ(defaults.stringValue(FullDiskAccessController::kDatabasePathKey), imported->databasePath);
  FullDiskAccessController access("/home/nobody", &defaults);
  EXPECT_EQ(access.chatDatabasePath(), imported->databasePath);
  EXPECT_TRUE(access.isImportedPath());
  EXPECT_TRUE(access.isFullDiskAccessGranted());

  // idevicebackup2 writes DIR/<device id>/: a folder holding one backup is accepted.
  EXPECT_EQ(MessagesBackupImporter::inspect(dir.path())->databasePath, imported->databasePath);

  fs::remove(root + "/" + kSmsFile);
  EXPECT_FALSE(access.isFullDiskAccessGranted());
  EXPECT_NE(access.openSettings().find("Import the backup again"), std::string::npos);
  FullDiskAccessController fresh(dir.path(), nullptr);
  EXPECT_EQ(fresh.chatDatabasePath(), dir / "Library/Messages/Chat.db");
  EXPECT_NE(fresh.openSettings().find("Copy a Mac's Library/Messages/chat.db"), std::string::npos);
}

TEST(MessagesBackupImporterTest, RefusesBackupsItCannotUseAndSaysWhy) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* fragment;
  };
  const Case cases[] = {
      {"no manifest", [](const std::string& r) { fs::remove(r + "/Manifest.db"); }, "No Manifest.db"},
      {"encrypted manifest",
       [](const std::string& r) { std::ofstream(r + "/Manifest.db", std::ios::binary) << std::string(8192, '\x93'); },
       "encryption off"},
      {"no messages entry",
       [](const std::string& r) {
         testing::execSQL(r + "/Manifest.db", "DELETE FROM Files WHERE domain = 'HomeDomain'");
       },
       "has no messages database"},
      {"file missing", [](const std::string& r) { fs::remove(r + "/" + kSmsFile); }, "backup is incomplete"},
      {"not a messages database",
       [](const std::string& r) {
         testing::execSQL(r + "/" + kSmsFile, "DROP TABLE attachment; ALTER TABLE message DROP COLUMN attributedBody");
       },
       "missing column message.attributedBody, table attachment"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string root = backupCopy(dir, c.damage);
    UserDefaults defaults;
    auto imported = MessagesBackupImporter::importBackup(root, defaults);
    EXPECT_TRUE(testing::failsWith(imported, c.fragment)) << c.name;
    EXPECT_FALSE(defaults.contains(FullDiskAccessController::kDatabasePathKey)) << c.name;
  }
  TempDir two;
  backupCopy(two);
  fs::copy(two / "backup", two / "second", fs::copy_options::recursive);
  EXPECT_TRUE(testing::failsWith(MessagesBackupImporter::inspect(two.path()), "holds 2 backups"));
  EXPECT_TRUE(testing::failsWith(MessagesBackupImporter::inspect(two / "absent"), "is not a folder"));
}

}  // namespace
}  // namespace pallix
