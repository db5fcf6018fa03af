// Several real Pallix processes over one temporary home: settings written by
// two processes at once, concurrent catalog commands, read-only commands on
// a missing or damaged catalog, and the daemon applying settings, answering
// `pallix index` and honouring its log flags. Waits are bounded polls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "core/FileUtil.h"
#include "core/UserDefaults.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

using testing::BackgroundProcess;
using testing::ProcessResult;

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A home with a small document tree, no system applications, its own runtime
// directory, and the environment that points pallix at it.
class ProcessSharingTest : public ::testing::Test {
 protected:
  ProcessSharingTest() : dirs_(DataDirectories::forHome(tmp_ / "home")) {
    for (int folder = 0; folder < 4; ++folder) {
      std::string dir = "home/Documents/folder" + std::to_string(folder);
      expected_.insert(tmp_.mkdir(dir));
      for (int file = 0; file < 12; ++file) {
        expected_.insert(tmp_.write(dir + "/note" + std::to_string(file) + ".txt", "text"));
      }
    }
    tmp_.mkdir("xdg");
    ::mkdir((tmp_ / "run").c_str(), 0700);
    dirs_.runtime = tmp_ / "run";
    env_ = {{"PALLIX_HOME", tmp_ / "home"},
            {"HOME", tmp_ / "home"},
            {"XDG_DATA_DIRS", tmp_ / "xdg"},
            {"XDG_RUNTIME_DIR", tmp_ / "run"}};
  }

  // `pallix argv...` over this home; a process fed through its input (the
  // settings writer) runs as `argv` is.
  std::unique_ptr<BackgroundProcess> start(std::vector<std::string> argv, testing::Environment extraEnv = {},
                                           testing::ProcessOptions options = {.cleanEnvironment = true}) {
    if (!options.inputPipe) argv.insert(argv.begin(), PALLIX_BINARY);
    extraEnv.insert(env_.begin(), env_.end());
    return std::make_unique<BackgroundProcess>(argv, extraEnv, options);
  }
  ProcessResult run(const std::vector<std::string>& args) { return start(args)->finish(); }

  // The catalog's paths, or nullopt while there is no readable catalog.
  std::optional<std::set<std::string>> catalogPaths() {
    ProcessResult listed = run({"catalog", "--json"});
    if (listed.exitCode != 0) return std::nullopt;
    auto json = nlohmann::json::parse(listed.out, nullptr, false);
    if (!json.is_array()) return std::nullopt;
    std::set<std::string> paths;
    for (const auto& item : json) paths.insert(item.value("path", ""));
    return paths;
  }

  TempDir tmp_;
  DataDirectories dirs_;
  std::set<std::string> expected_;
  testing::Environment env_;
};

TEST_F(ProcessSharingTest, TwoProcessesWritingDifferentKeysLoseNone) {
  ASSERT_TRUE(createDirectories(dirs_.data).ok());
  std::vector<std::unique_ptr<BackgroundProcess>> writers;
  for (const char* prefix : {"first.", "second."}) {
    writers.push_back(start({PALLIX_SETTINGS_WRITER, dirs_.defaultsPath(), prefix, "100"}, {},
                            {.cleanEnvironment = true, .inputPipe = true}));
  }
  for (auto& writer : writers) EXPECT_TRUE(writer->writeInput("1"));
  for (auto& writer : writers) EXPECT_EQ(writer->finish().exitCode, 0);
  UserDefaults written(dirs_.defaultsPath());
  EXPECT_EQ(written.keys().size(), 200u);
  for (const char* prefix : {"first.", "second."}) {
    for (int i = 0; i < 100; ++i) EXPECT_EQ(written.integerValue(prefix + std::to_string(i)), i) << prefix << i;
  }
}

// Two `index`, a `files` and a `catalog` at once, on a new and on an
// existing catalog: the writers take turns, the readers never create or
// delete the store, and the catalog is complete afterwards every time.
TEST_F(ProcessSharingTest, ConcurrentCommandsNeverLoseTheCatalog) {
  for (bool fresh : {true, false}) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE((fresh ? "new catalog, round " : "existing catalog, round ") + std::to_string(round));
      if (fresh) fs::remove_all(dirs_.data);
      std::vector<std::unique_ptr<BackgroundProcess>> children;
      children.push_back(start({"index"}));
      children.push_back(start({"files", "note"}));
      children.push_back(start({"index"}));
      children.push_back(start({"catalog"}));
      std::vector<ProcessResult> outcomes;
      for (auto& child : children) outcomes.push_back(child->finish());
      EXPECT_EQ(outcomes[0].exitCode, 0) << outcomes[0].err;
      EXPECT_EQ(outcomes[2].exitCode, 0) << outcomes[2].err;
      // Before the first scan commits: nothing found (1) or no catalog yet (3).
      EXPECT_TRUE(std::set<int>({0, 1, 3}).count(outcomes[1].exitCode)) << outcomes[1].err;
      EXPECT_TRUE(std::set<int>({0, 3}).count(outcomes[3].exitCode)) << outcomes[3].err;
      for (const ProcessResult& o : outcomes) {
        for (const char* sign : {"damaged", "malformed", "UNIQUE", "removing"}) {
          EXPECT_EQ(o.err.find(sign), std::string::npos) << o.err;
        }
      }
      EXPECT_EQ(catalogPaths(), expected_);
    }
  }
}

TEST_F(ProcessSharingTest, ReadOnlyCommandsNeverCreateOrDeleteTheCatalog) {
  const std::string garbage(8192, 'Z');
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged catalog" : "no catalog");
    if (damaged) tmp_.write("home/.local/share/Pallix/Pallix.sqlite", garbage);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"files", "note"}, {"catalog"}, {"search", "note.txt"}}) {
      ProcessResult o = run(command);
      EXPECT_EQ(o.exitCode, 3) << command[0] << ": " << o.err;
      EXPECT_NE(o.err.find("pallix index"), std::string::npos) << o.err;
      // Compared without printing: the catalog is binary.
      EXPECT_TRUE(readFileToString(dirs_.storePath()).valueOr("<none>") == (damaged ? garbage : "<none>"));
    }
  }
  // `pallix index` is the one that recovers.
  EXPECT_EQ(run({"index"}).exitCode, 0);
  EXPECT_EQ(catalogPaths(), expected_);
}

// The agent picks up a folder added from the command line, keeps it when it
// writes its own settings, scans when `pallix index` asks, and keeps its
// files private.
TEST_F(ProcessSharingTest, DaemonAppliesSettingsFromOtherCommandsAndScansOnRequest) {
  auto daemon = start({"daemon"});
  ASSERT_TRUE(testing::pollUntil([&] { return catalogPaths() == expected_; }, std::chrono::seconds(60),
                                 std::chrono::milliseconds(25)))
      << daemon->errorOutput();
  const std::string socket = dirs_.socketPath();
  EXPECT_EQ(socket.rfind(tmp_ / "run/", 0), 0u) << socket;
  EXPECT_EQ(modeOf(socket), 0600u);

  std::string plan = tmp_.write("home/Projects/plan.md", "p");
  ASSERT_EQ(run({"folders", "add", tmp_ / "home/Projects"}).exitCode, 0);
  expected_.insert(plan);
  EXPECT_TRUE(testing::pollUntil([&] { return catalogPaths() == expected_; }, std::chrono::seconds(60),
                                 std::chrono::milliseconds(25)))
      << daemon->errorOutput();

  std::string extra = tmp_.write("home/Projects/extra.md", "e");
  ProcessResult indexed = run({"index", "--json"});
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_EQ(nlohmann::json::parse(indexed.out, nullptr, false).value("files", 0), 50) << indexed.out;
  expected_.insert(extra);
  EXPECT_EQ(catalogPaths(), expected_);

  UserDefaults settings(dirs_.defaultsPath());
  auto folders = settings.stringArrayValue("IndexingService.fileDirectories").value_or(std::vector<std::string>{});
  EXPECT_NE(std::find(folders.begin(), folders.end(), tmp_ / "home/Projects"), folders.end());
  EXPECT_TRUE(settings.contains("IndexingService.lastFullScanTime"));

  daemon->signal(SIGTERM);
  ProcessResult stopped = daemon->finish();
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  // Without --quiet or PALLIX_LOG the daemon reports its milestones.
  EXPECT_NE(stopped.err.find("running (pid"), std::string::npos) << stopped.err;
  EXPECT_NE(stopped.err.find("[info]"), std::string::npos) << stopped.err;
  EXPECT_EQ(modeOf(dirs_.data), 0700u);
  for (const std::string& file : {dirs_.storePath(), dirs_.defaultsPath()}) EXPECT_EQ(modeOf(file), 0600u) << file;
}

// Files keep appearing in Documents while another process adds a folder:
// those created while the agent rebuilt its watches are catalogued too,
// without `pallix index`, and `folders add` says that the agent takes it up.
TEST_F(ProcessSharingTest, FilesCreatedWhileAnotherProcessAddsAFolderAreCatalogued) {
  auto daemon = start({"daemon"});
  ASSERT_TRUE(testing::pollUntil([&] { return catalogPaths() == expected_; }, std::chrono::seconds(60),
                                 std::chrono::milliseconds(25)))
      << daemon->errorOutput();
  auto watchings = [&] {
    const std::string log = daemon->errorOutput();
    size_t count = 0;
    for (size_t at = log.find("Watching "); at != std::string::npos; at = log.find("Watching ", at + 1)) ++count;
    return count;
  };
  const size_t watchingsBefore = watchings();
  ASSERT_GT(watchingsBefore, 0u) << daemon->errorOutput();
  tmp_.mkdir("home/Projects");
  std::string plan = tmp_.write("home/Projects/plan.md", "p");
  expected_.insert(plan);
  auto adding = start({"folders", "add", tmp_ / "home/Projects"});
  int created = 0;
  auto createOne = [&] {
    const std::string name = "burst" + std::to_string(created++) + ".txt";
    expected_.insert(tmp_.write("home/Documents/" + std::string(created % 2 ? "folder1/" : "") + name, "b"));
  };
  // Until the agent has rebuilt its watches, and a little beyond.
  EXPECT_TRUE(testing::pollUntil(
      [&] {
        createOne();
        return watchings() > watchingsBefore;
      },
      std::chrono::seconds(30), std::chrono::milliseconds(1)))
      << daemon->errorOutput();
  for (int i = 0; i < 20; ++i) createOne();
  ProcessResult added = adding->finish();
  EXPECT_EQ(added.exitCode, 0) << added.err;
  EXPECT_NE(added.out.find("The running Pallix agent is cataloguing it now"), std::string::npos) << added.out;

  EXPECT_TRUE(testing::pollUntil([&] { return catalogPaths() == expected_; }, std::chrono::seconds(30),
                                 std::chrono::milliseconds(50)))
      << created << " files created; agent log:\n"
      << daemon->errorOutput();
  EXPECT_EQ(run({"files", "burst0.txt"}).exitCode, 0);
  EXPECT_EQ(run({"files", "plan.md"}).exitCode, 0);

  // Without an agent the command says how to update the catalog.
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->finish().exitCode, 0);
  ProcessResult removed = run({"folders", "remove", tmp_ / "home/Projects"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_NE(removed.out.find("Run 'pallix index'"), std::string::npos) << removed.out;
}

// --quiet keeps errors only, whatever PALLIX_LOG says; PALLIX_LOG alone sets the level.
TEST_F(ProcessSharingTest, QuietOrPallixLogSilencesTheDaemonsMilestones) {
  const std::pair<std::vector<std::string>, testing::Environment> cases[] = {
      {{"daemon", "--quiet"}, {}},
      {{"daemon"}, {{"PALLIX_LOG", "error"}}},
      {{"daemon", "--quiet"}, {{"PALLIX_LOG", "debug"}}},
  };
  for (const auto& [args, env] : cases) {
    SCOPED_TRACE(args.size() > 1 ? args[1] : env.begin()->second);
    fs::remove_all(dirs_.data);
    auto daemon = start(args, env);
    ASSERT_TRUE(testing::pollUntil([&] { return catalogPaths() == expected_; }, std::chrono::seconds(60),
                                   std::chrono::milliseconds(25)))
        << daemon->errorOutput();
    daemon->signal(SIGTERM);
    ProcessResult o = daemon->finish();
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err.find("running (pid"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("[info]"), std::string::npos) << o.err;
  }
}

}  // namespace
}  // namespace pallix
