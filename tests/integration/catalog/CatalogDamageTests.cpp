// The catalog when it is missing, damaged in ways only a read notices, or
// left partial by a first index that was killed: what `pallix files`,
// `pallix search` and `pallix index` say and do, as a user runs them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "PallixProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::runPallix;

class CatalogDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(docs);
    std::ofstream(docs + "/kestrel.conf") << "x";
    std::ofstream(docs + "/kestrel.conf.sample") << "x";
    std::ofstream(docs + "/notes.txt") << "x";
    auto added = runPallix(home.path(), {"folders", "add", docs});
    ASSERT_EQ(added.exitCode, 0) << added.err;
  }
  void index() {
    auto r = runPallix(home.path(), {"index"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  // Runs `sql` on the catalog as another program would.
  void alterCatalog(const std::string& sql) {
    const std::string path = home.path() + "/.local/share/Pallix/Pallix.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }

  pallix::testing::TempDir home;
  std::string docs = home.path() + "/Documents";
};

TEST_F(CatalogDamageTest, AnswersComeWithoutACatalogAndFilesSayHowToBuildIt) {
  auto search = runPallix(home.path(), {"search", "2+2"});
  EXPECT_EQ(search.exitCode, 0) << search.err;
  EXPECT_NE(search.out.find("4"), std::string::npos) << search.out;
  EXPECT_NE(search.err.find("pallix index"), std::string::npos) << search.err;

  auto nothing = runPallix(home.path(), {"search", "kestrel.conf"});
  EXPECT_EQ(nothing.exitCode, 3) << "nothing found because there is no catalog: " << nothing.out;

  auto files = runPallix(home.path(), {"files", "kestrel"});
  EXPECT_EQ(files.exitCode, 3);
  EXPECT_NE(files.err.find("Run 'pallix index' to build it."), std::string::npos) << files.err;
}

TEST_F(CatalogDamageTest, TheNameAsTypedComesFirst) {
  index();
  auto r = runPallix(home.path(), {"files", "kestrel.conf", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto files = nlohmann::json::parse(r.out)["files"];
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0]["path"], docs + "/kestrel.conf");
  EXPECT_EQ(files[1]["path"], docs + "/kestrel.conf.sample");
  r = runPallix(home.path(), {"files", "/^notes\\.txt$/", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["files"].size(), 1u);
}

// Each damage leaves the pages sound, so only a read meets it: the read
// says so with status 3, and the next index rebuilds and says that too.
TEST_F(CatalogDamageTest, DamageOnlyAReadMeetsIsReportedAndRebuiltOnce) {
  const std::vector<std::pair<const char*, std::string>> damages = {
      {"name index dropped", "DROP TABLE IndexedItemNameIndex"},
      {"item table dropped", "DROP TABLE IndexedItem"},
  };
  for (const auto& [name, sql] : damages) {
    index();
    alterCatalog(sql);
    auto files = runPallix(home.path(), {"files", "kestrel"});
    EXPECT_EQ(files.exitCode, 3) << name << ": " << files.err;
    EXPECT_NE(files.err.find("damaged"), std::string::npos) << name << ": " << files.err;

    auto rebuilt = runPallix(home.path(), {"index"});
    EXPECT_EQ(rebuilt.exitCode, 0) << name << ": " << rebuilt.err;
    EXPECT_NE(rebuilt.err.find("the catalog was damaged"), std::string::npos) << name << ": " << rebuilt.err;
    files = runPallix(home.path(), {"files", "kestrel"});
    EXPECT_EQ(files.exitCode, 0) << name << ": " << files.err;

    auto again = runPallix(home.path(), {"index"});
    EXPECT_EQ(again.err.find("damaged"), std::string::npos) << name << ": rebuilt once, " << again.err;
  }
}

TEST_F(CatalogDamageTest, AFirstIndexThatDidNotFinishIsNotAnEmptyAnswer) {
  index();
  // What a first index killed before its end leaves: records, but no mark
  // of a finished scan.
  alterCatalog("DELETE FROM PallixStoreMetadata WHERE key = 'IndexingService.lastSnapshotSignature'");
  auto none = runPallix(home.path(), {"files", "zzzz"});
  EXPECT_EQ(none.exitCode, 3) << none.err;
  EXPECT_NE(none.err.find("first index did not finish"), std::string::npos) << none.err;
  auto some = runPallix(home.path(), {"files", "notes"});
  EXPECT_EQ(some.exitCode, 0) << "what is there is still found: " << some.err;
  ASSERT_EQ(runPallix(home.path(), {"index"}).exitCode, 0);
  EXPECT_EQ(runPallix(home.path(), {"files", "zzzz"}).exitCode, 1);
}

}  // namespace
}  // namespace pallix
