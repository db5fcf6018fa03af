#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CatalogTestSupport.h"
#include "app/platform/PersistentStore.h"
#include "app/platform/StoreWriterLock.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

std::vector<std::string> recoveryNames(const RecordingTelemetrySink& sink) {
  std::vector<std::string> out;
  for (const std::string& name : sink.names()) {
    if (startsWith(name, "AppDelegate.setupModelContainer.")) out.push_back(name);
  }
  return out;
}

class PersistentStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { dirs_ = DataDirectories::forHome(scratch_.path()); }

  // Opens, adds one catalog row, closes: a valid store on disk.
  void makeValidStore() {
    auto store = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps());
    ASSERT_TRUE(store.ok());
    ASSERT_TRUE(store.value()
                    ->execute("INSERT INTO IndexedItem (path, itemTypeRaw, name, searchName, lastIndexed) "
                              "VALUES ('/a', 'file', 'a', 'a', 0)")
                    .ok());
  }

  int64_t rowCount(PersistentStore& store) {
    auto stmt = store.prepare("SELECT count(*) FROM IndexedItem");
    EXPECT_TRUE(stmt.ok());
    EXPECT_TRUE(stmt.value().step().value());
    return stmt.value().columnInt(0);
  }

  testing::TempDir scratch_;
  DataDirectories dirs_;
  testing::ScopedLogCapture logs_{LogLevel::info};
};

// A file that is no database, a store damaged on disk, or one from a newer
// build is removed and started afresh.
TEST_F(PersistentStoreTest, GarbageDamagedOrNewerStoreIsReplaced) {
  auto reopen = [&](const std::string& sql) {
    ASSERT_TRUE(PersistentStore::open(dirs_.storePath(), baseMigrationSteps()).value()->execute(sql).ok());
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"garbage",
       [&] {
         ASSERT_TRUE(createDirectories(dirs_.data).ok());
         ASSERT_TRUE(writeFileAtomically(dirs_.storePath(), std::string(8192, 'Z')).ok());
         ASSERT_TRUE(writeFileAtomically(dirs_.storePath() + "-wal", "junk").ok());
       }},
      {"damaged pages",
       [&] {
         // Enough rows to span pages, checkpointed into the main file.
         makeValidStore();
         reopen(
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) INSERT INTO IndexedItem "
             "(path, itemTypeRaw, name, searchName, lastIndexed) SELECT '/p' || i, 'file', 'n' || i, 'n' || i, 0 "
             "FROM n; PRAGMA wal_checkpoint(TRUNCATE);");
         // Noise over the b-tree pages in the middle; the header stays.
         std::fstream file(dirs_.storePath(), std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(4096 * 3);
         for (int i = 0; i < 4096 * 4; ++i) file.put(static_cast<char>((i * 131) & 0xff));
       }},
      {"truncated",
       [&] {
         makeValidStore();
         reopen("PRAGMA wal_checkpoint(TRUNCATE)");
         std::filesystem::resize_file(dirs_.storePath(), 100);
       }},
      {"a table dropped", [&] { makeValidStore(), reopen("DROP TABLE FileItem"); }},
      {"an index dropped", [&] { makeValidStore(), reopen("DROP INDEX IndexedItem_bundleIdentifierLower"); }},
      {"newer schema",
       [&] {
         makeValidStore();
         reopen("PRAGMA user_version = 99");
         EXPECT_TRUE(
             testing::failsWith(PersistentStore::open(dirs_.storePath(), baseMigrationSteps()), "schema version 99"));
       }},
  };
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(dirs_.data);
    prepare();
    ScopedTelemetryRecorder recorder;
    std::optional<Error> damage;
    auto store = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps(), PersistentStore::OpenOptions{}, &damage);
    ASSERT_TRUE(store.ok()) << store.error().description();
    EXPECT_TRUE(damage.has_value()) << "the caller hears what was replaced";
    EXPECT_TRUE(store.value()->verifyIntegrity(baseMigrationSteps()).ok());
    EXPECT_EQ(rowCount(*store.value()), 0);
    EXPECT_EQ(store.value()->schemaVersion(), 1);
    EXPECT_EQ(recoveryNames(recorder.sink()),
              (std::vector<std::string>{"AppDelegate.setupModelContainer.initializationFailed",
                                        "AppDelegate.setupModelContainer.removedStore",
                                        "AppDelegate.setupModelContainer.recovered"}));
    if (name == std::string("garbage")) {
      const auto failed = recorder.sink().named("AppDelegate.setupModelContainer.initializationFailed");
      ASSERT_EQ(failed.size(), 1u);
      EXPECT_EQ(failed[0].parameters.at("errorDomain"), "PersistentStoreError");
      EXPECT_EQ(failed[0].parameters.at("errorCode"), "26");  // SQLITE_NOTADB
      EXPECT_NE(failed[0].parameters.at("description").find("file is not a database"), std::string::npos);
    }
  }
}

// A failing appended step leaves the store as it was; a working one runs
// once; a store of another schema is refused, naming it.
TEST_F(PersistentStoreTest, AppendedMigrationStepsRunOnceOrRollBackAndAForeignSchemaIsRefused) {
  makeValidStore();
  std::vector<MigrationStep> broken = baseMigrationSteps();
  broken.push_back({2, "broken step", [](PersistentStore& store) -> Status {
                      PALLIX_RETURN_IF_ERROR(store.execute("CREATE TABLE Partial (x)"));
                      return store.execute("THIS IS NOT SQL");
                    }});
  EXPECT_TRUE(
      testing::failsWith(PersistentStore::open(dirs_.storePath(), broken), "Migration step 2 (broken step) failed"));
  std::vector<MigrationStep> steps = baseMigrationSteps();
  int runs = 0;
  // The check of a store's objects builds a fresh store in memory; count the file's runs.
  steps.push_back({2, "name search index", [&runs](PersistentStore& store) -> Status {
                     if (store.path() != ":memory:") ++runs;
                     return store.execute("CREATE INDEX IndexedItem_searchName ON IndexedItem (searchName)");
                   }});
  {
    auto store = PersistentStore::open(dirs_.storePath(), steps);
    ASSERT_TRUE(store.ok()) << store.error().description();
    EXPECT_EQ(store.value()->schemaVersion(), 2);
    EXPECT_EQ(rowCount(*store.value()), 1);
    EXPECT_FALSE(store.value()->execute("SELECT * FROM Partial").ok());
  }
  auto again = PersistentStore::open(dirs_.storePath(), steps);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(runs, 1);
  ASSERT_TRUE(again.value()->setMetadataValue("schemaName", "SomethingElse").ok());
  again.value().reset();
  EXPECT_TRUE(testing::failsWith(PersistentStore::open(dirs_.storePath(), steps), "SomethingElse"));
}

TEST_F(PersistentStoreTest, SecondFailureReportsFailedToRecover) {
  // A step that reports damage every time: deleted once, then fatal.
  std::vector<MigrationStep> steps = baseMigrationSteps();
  steps.push_back({2, "always damaged", [](PersistentStore&) -> Status {
                     return Error(PersistentStore::kErrorDomain, SQLITE_CORRUPT, "database disk image is malformed");
                   }});
  ScopedTelemetryRecorder recorder;
  auto store = openPersistentStoreWithRecovery(dirs_, steps);
  ASSERT_FALSE(store.ok());
  EXPECT_TRUE(startsWith(store.error().description(), "Failed to recover database: "));
  EXPECT_EQ(recorder.sink().count("AppDelegate.setupModelContainer.removedStore"), 1u);
  EXPECT_EQ(recorder.sink().count("AppDelegate.setupModelContainer.recovered"), 0u);
}

TEST_F(PersistentStoreTest, UnusableDataFolderIsReportedAndNothingIsDeleted) {
  // The data "directory" is a file: neither the directory nor the store can be created.
  ASSERT_TRUE(createDirectories(scratch_.path() + "/.local/share").ok());
  ASSERT_TRUE(writeFileAtomically(dirs_.data, "not a directory").ok());
  ScopedTelemetryRecorder recorder;
  auto store = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps());
  EXPECT_TRUE(testing::failsWith(store, dirs_.data));
  EXPECT_EQ(recorder.sink().count("AppDelegate.setupModelContainer.createDirectoryFailed"), 1u);
  EXPECT_EQ(recorder.sink().count("AppDelegate.setupModelContainer.removedStore"), 0u);
  EXPECT_EQ(readFileToString(dirs_.data).valueOr(""), "not a directory");
}

// A store another process holds exclusively is busy, not damaged: it is
// reported and kept, and opens again once the other process lets go.
TEST_F(PersistentStoreTest, BusyStoreIsKeptNotDeleted) {
  makeValidStore();
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(dirs_.storePath().c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(holder, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr),
      SQLITE_OK);
  PersistentStore::OpenOptions noWaiting;
  noWaiting.busyTimeout = Duration::zero();
  ScopedTelemetryRecorder recorder;
  auto writer = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps(), noWaiting);
  ASSERT_FALSE(writer.ok());
  EXPECT_EQ(PersistentStore::failureKind(writer.error()), StoreFailure::busy) << writer.error().description();
  auto reader = PersistentStore::openForReading(dirs_.storePath(), baseMigrationSteps(), noWaiting);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(PersistentStore::failureKind(reader.error()), StoreFailure::busy) << reader.error().description();
  EXPECT_EQ(recoveryNames(recorder.sink()),
            (std::vector<std::string>{"AppDelegate.setupModelContainer.initializationFailed"}));
  sqlite3_close(holder);
  auto again = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps());
  ASSERT_TRUE(again.ok()) << again.error().description();
  EXPECT_EQ(rowCount(*again.value()), 1);
}

// Read-only opening never creates, migrates or deletes a store; it says why
// the catalog cannot be used.
TEST_F(PersistentStoreTest, ReadersNeverCreateMigrateOrDeleteTheStore) {
  std::vector<MigrationStep> newer = baseMigrationSteps();
  newer.push_back({2, "later step", [](PersistentStore& store) { return store.execute("CREATE TABLE Later (x)"); }});
  struct Case {
    const char* name;
    std::function<void()> prepare;
    StoreFailure expected;
  };
  const std::vector<Case> cases = {
      {"no file", [] {}, StoreFailure::missing},
      {"empty file (being created)", [&] { ASSERT_TRUE(writeFileAtomically(dirs_.storePath(), "").ok()); },
       StoreFailure::missing},
      {"garbage", [&] { ASSERT_TRUE(writeFileAtomically(dirs_.storePath(), std::string(8192, 'Z')).ok()); },
       StoreFailure::damaged},
      {"older schema", [&] { makeValidStore(); }, StoreFailure::notReady},
      {"newer schema",
       [&] {
         makeValidStore();
         auto store = PersistentStore::open(dirs_.storePath(), baseMigrationSteps());
         ASSERT_TRUE(store.value()->execute("PRAGMA user_version = 9").ok());
       },
       StoreFailure::damaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dirs_.data);
    ASSERT_TRUE(createDirectories(dirs_.data).ok());
    c.prepare();
    auto before = readFileToString(dirs_.storePath());
    auto reader = PersistentStore::openForReading(dirs_.storePath(), newer, {});
    ASSERT_FALSE(reader.ok());
    EXPECT_EQ(PersistentStore::failureKind(reader.error()), c.expected) << reader.error().description();
    auto after = readFileToString(dirs_.storePath());
    EXPECT_EQ(after.ok(), before.ok());
    if (before.ok() && after.ok()) {
      EXPECT_TRUE(before.value() == after.value());
    }
  }
  // A current store opens, and reading it changes nothing.
  makeValidStore();
  auto reader = PersistentStore::openForReading(dirs_.storePath(), baseMigrationSteps(), {});
  ASSERT_TRUE(reader.ok()) << reader.error().description();
  EXPECT_EQ(rowCount(*reader.value()), 1);
  EXPECT_FALSE(reader.value()->execute("DELETE FROM IndexedItem").ok());
}

// A new store is a private folder and files (the write-ahead log among them),
// made without any recovery, whatever the umask.
TEST_F(PersistentStoreTest, NewStoreFilesArePrivateWhateverTheUmask) {
  ScopedTelemetryRecorder recorder;
  const mode_t previous = ::umask(0);
  auto store = openPersistentStoreWithRecovery(dirs_, baseMigrationSteps());
  ::umask(previous);
  ASSERT_TRUE(store.ok());
  ASSERT_TRUE(store.value()->execute("CREATE TABLE Touch (x); INSERT INTO Touch VALUES (1)").ok());
  auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  EXPECT_EQ(mode(dirs_.data), 0700u);
  for (const std::string& file : {dirs_.storePath(), dirs_.storePath() + "-wal", dirs_.storePath() + "-shm"}) {
    EXPECT_EQ(mode(file), 0600u) << file;
  }
  EXPECT_TRUE(recoveryNames(recorder.sink()).empty());
  // A store an older build left readable by others is made private.
  store.value().reset();
  ASSERT_EQ(::chmod(dirs_.storePath().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dirs_.data.c_str(), 0755), 0);
  ASSERT_TRUE(openPersistentStoreWithRecovery(dirs_, baseMigrationSteps()).ok());
  EXPECT_EQ(mode(dirs_.storePath()), 0600u);
  EXPECT_EQ(mode(dirs_.data), 0700u);
}

TEST_F(PersistentStoreTest, WriterLockLetsOneWriterInAndNamesIt) {
  ASSERT_TRUE(createDirectories(dirs_.data).ok());
  StoreWriterLock first(StoreWriterLock::lockPathFor(dirs_));
  StoreWriterLock second(StoreWriterLock::lockPathFor(dirs_));
  ASSERT_EQ(first.tryAcquire(StoreWriterLock::kIndexRole).value(), true);
  EXPECT_EQ(second.tryAcquire(StoreWriterLock::kAgentRole).value(), false);
  auto holder = second.holder();
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(holder->pid, ::getpid());
  EXPECT_EQ(holder->description(), "'pallix index' (pid " + std::to_string(::getpid()) + ")");
  first.release();
  EXPECT_EQ(second.tryAcquire(StoreWriterLock::kAgentRole).value(), true);
  EXPECT_EQ(second.holder()->description(), "the Pallix agent (pid " + std::to_string(::getpid()) + ")");
}

}  // namespace
}  // namespace pallix
