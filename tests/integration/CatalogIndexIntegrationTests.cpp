// The pallix binary end to end: `pallix index` over real folders and desktop
// entries, then the searches a user would run. Each test has its own home,
// data folders and environment; the binary's path comes from CMake.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

using testing::BackgroundProcess;
using testing::ProcessResult;

nlohmann::json parsed(const ProcessResult& run) {
  return nlohmann::json::parse(run.out, nullptr, /*allow_exceptions=*/false);
}

class CatalogIndexIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.mkdir("home");
    share_ = tmp_.mkdir("share");
    bin_ = tmp_.mkdir("bin");
    tree_ = tmp_.mkdir("tree");
    environment_ = {{"PALLIX_HOME", home_},
                    {"HOME", home_},
                    {"XDG_DATA_DIRS", share_},
                    {"PATH", bin_ + ":/usr/bin:/bin"},
                    {"LANG", "C.UTF-8"}};
  }

  // `pallix args...`; with `terminal`, stderr is a pseudo-terminal.
  std::unique_ptr<BackgroundProcess> start(std::vector<std::string> args, bool terminal = false) {
    args.insert(args.begin(), PALLIX_BINARY);
    return std::make_unique<BackgroundProcess>(
        args, environment_, testing::ProcessOptions{.cleanEnvironment = true, .errorTerminal = terminal});
  }
  ProcessResult command(const std::vector<std::string>& args, bool terminal = false) {
    return start(args, terminal)->finish();
  }

  std::vector<std::string> filePaths(const std::string& query) {
    std::vector<std::string> paths;
    const nlohmann::json found = parsed(command({"files", query, "--json"}));
    for (const auto& result : found["files"]) paths.push_back(result.value("path", ""));
    return paths;
  }

  std::vector<std::string> appNames(const std::string& query) {
    const nlohmann::json found = parsed(command({"search", query, "--json"}));
    std::vector<std::string> names;
    for (const auto& app : found["apps"]) names.push_back(app.value("name", ""));
    return names;
  }

  void makeTree(int folders, int filesPerFolder) {
    for (int f = 0; f < folders; ++f) {
      for (int i = 0; i < filesPerFolder; ++i)
        tmp_.write("tree/folder" + std::to_string(f) + "/doc" + std::to_string(i) + ".txt", "x");
    }
  }

  TempDir tmp_;
  std::string home_, share_, bin_, tree_;
  testing::Environment environment_;
};

TEST_F(CatalogIndexIntegrationTest, FirstIndexShowsSavingAndEditsKeepFileSearchExact) {
  makeTree(40, 30);  // large enough to be saved as a bulk load
  tmp_.write("tree/zebra-quartz.md", "z");
  ASSERT_EQ(command({"folders", "add", tree_}).exitCode, 0);

  ProcessResult first = command({"index"}, /*terminal=*/true);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.err.find("Scanning... "), std::string::npos) << first.err;
  EXPECT_TRUE(std::regex_search(first.err, std::regex("Saving\\.\\.\\. [0-9]+ of [0-9]+ records"))) << first.err;
  EXPECT_NE(first.err.find("Saving... indexing the names of "), std::string::npos) << first.err;
  EXPECT_EQ(filePaths("zebra"), std::vector<std::string>{tree_ + "/zebra-quartz.md"});

  const nlohmann::json rescan = parsed(command({"index", "--json"}));
  EXPECT_EQ(rescan.value("unchanged", false), true) << rescan.dump();

  std::filesystem::rename(tree_ + "/zebra-quartz.md", tree_ + "/yak-quartz.md");
  std::filesystem::remove(tree_ + "/folder0/doc0.txt");
  tmp_.write("tree/folder1/walrus.txt", "w");
  const nlohmann::json edited = parsed(command({"index", "--json"}));
  EXPECT_EQ(edited.value("inserted", -1), 2) << edited.dump();
  EXPECT_EQ(edited.value("deleted", -1), 2) << edited.dump();
  EXPECT_TRUE(filePaths("zebra").empty());
  EXPECT_EQ(filePaths("quartz"), std::vector<std::string>{tree_ + "/yak-quartz.md"});
  EXPECT_EQ(filePaths("walrus"), std::vector<std::string>{tree_ + "/folder1/walrus.txt"});
}

TEST_F(CatalogIndexIntegrationTest, DesktopEntriesForTheLocaleWithGenericNamesAndKeywordsButNotMissingPrograms) {
  const std::string tool = tmp_.write("bin/mytool", "#!/bin/sh\n");
  ::chmod(tool.c_str(), 0755);
  auto entry = [&](const std::string& file, const std::string& body) {
    tmp_.write("share/applications/" + file, "[Desktop Entry]\nType=Application\nExec=mytool\n" + body);
  };
  entry("calc.desktop",
        "Name=Calculator\nName[de]=Rechner\nGenericName=Scientific Calculator\n"
        "GenericName[de]=Wissenschaftlicher Rechner\nKeywords=math;\nKeywords[de]=Mathematik;\nTryExec=mytool\n");
  entry("trainer.desktop", "Name=Mathe Trainer\n");
  entry("absolute.desktop", "Name=Absolute Tool\nTryExec=" + tool + "\n");
  entry("gone.desktop", "Name=Gone Tool\nTryExec=" + bin_ + "/gone\n");
  entry("unlisted.desktop", "Name=Unlisted Tool\nTryExec=not-installed-anywhere\n");
  environment_["LANG"] = "de_DE.UTF-8";

  ASSERT_EQ(command({"index"}).exitCode, 0);
  std::set<std::string> listed;
  for (const auto& app : parsed(command({"catalog", "--type", "app", "--json"}))) listed.insert(app.value("name", ""));
  EXPECT_EQ(listed, (std::set<std::string>{"Rechner", "Mathe Trainer", "Absolute Tool"}));
  // Keywords and generic names find an app, after every name match.
  EXPECT_EQ(appNames("mathe"), (std::vector<std::string>{"Mathe Trainer", "Rechner"}));
  EXPECT_EQ(appNames("wissenschaftlich"), std::vector<std::string>{"Rechner"});
  EXPECT_EQ(appNames("calculator"), std::vector<std::string>{"Rechner"});
  EXPECT_EQ(appNames("tool"), std::vector<std::string>{"Absolute Tool"});
}

TEST_F(CatalogIndexIntegrationTest, DamagedCatalogMetWhileSavingIsReplacedAndIndexedAgain) {
  makeTree(3, 100);
  ASSERT_EQ(command({"folders", "add", tree_}).exitCode, 0);
  ASSERT_EQ(command({"index"}).exitCode, 0);
  // Damage the catalog table's root page; the store's header and metadata
  // stay readable, so opening without the integrity check succeeds.
  const std::string store = home_ + "/.local/share/Pallix/Pallix.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'IndexedItem'", -1, &statement, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  const int64_t rootPage = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &statement, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  const int64_t pageSize = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  std::fstream file(store, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp((rootPage - 1) * pageSize);
  file << std::string(static_cast<size_t>(pageSize), '\x5a');
  file.close();
  tmp_.write("tree/folder2/narwhal.txt", "n");

  ProcessResult again = command({"index"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.err.find("damaged"), std::string::npos) << again.err;
  EXPECT_EQ(filePaths("narwhal"), std::vector<std::string>{tree_ + "/folder2/narwhal.txt"});
  EXPECT_EQ(parsed(command({"catalog", "--type", "file", "--json"})).size(), 301u);
}

// A first index writes its records while it scans, into one transaction
// that only its end commits: stopped half-way, the store it writes to stays
// readable and empty; killed, it leaves no catalog that claims to be
// complete, and the next index writes everything.
TEST_F(CatalogIndexIntegrationTest, FirstIndexKilledHalfWayLeavesNothingThatClaimsToBeComplete) {
  makeTree(200, 100);
  ASSERT_EQ(command({"folders", "add", tree_}).exitCode, 0);
  auto first = start({"index"}, /*terminal=*/true);
  // Progress lines are printed after the records handed out before them
  // were written: at 8192 items scanned, at least that many are in the load.
  ASSERT_TRUE(first->waitForOutput("Scanning... 8192 items", std::chrono::seconds(60))) << first->errorOutput();
  first->signal(SIGSTOP);
  ProcessResult whileLoading = command({"catalog", "--json"});
  EXPECT_EQ(whileLoading.exitCode, 0) << whileLoading.err;
  EXPECT_TRUE(parsed(whileLoading).empty()) << whileLoading.out.substr(0, 200);
  first->signal(SIGKILL);
  EXPECT_EQ(first->finish().exitCode, 128 + SIGKILL);

  EXPECT_TRUE(parsed(command({"catalog", "--json"})).empty());
  const nlohmann::json again = parsed(command({"index", "--json"}));
  EXPECT_EQ(again.value("unchanged", true), false) << again.dump();
  EXPECT_EQ(again.value("inserted", 0), 200 * 100 + 200) << again.dump();  // files and folders
}

}  // namespace
}  // namespace pallix
