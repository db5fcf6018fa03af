// `pallix semantic` run as a child process against a private PALLIX_HOME
// with the tiny test model installed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

std::string testData() {
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return data ? data : "tests/data";
}

class SemanticIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.mkdir("tmp");
    docs = home.mkdir("docs");
    // The fastest intensity, so the passes below take seconds.
    home.write(".local/share/Pallix/UserDefaults.json", R"({"FilesPreferences.indexingIntensity": "maximum"})");
  }
  std::unique_ptr<testing::BackgroundProcess> start(std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_BINARY);
    return std::make_unique<testing::BackgroundProcess>(
        args, testing::Environment{{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}, {"PALLIX_LOG", "error"}},
        testing::ProcessOptions{.cleanEnvironment = true});
  }
  testing::ProcessResult run(std::vector<std::string> args) { return start(std::move(args))->finish(); }
  void installTinyModel() {
    auto installed = run({"model", "install", testData() + "/embeddings/tiny_bert"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
  }
  // A text file of about `kilobytes` KB of distinct lines.
  void writeText(const std::string& name, int kilobytes, int seed) {
    std::string text;
    for (int line = 0; int(text.size()) < kilobytes * 1024; ++line) {
      text += "Entry " + std::to_string(seed) + "." + std::to_string(line) +
              ": notes about the garden, the budget "
              "and the trip, line " +
              std::to_string(line * 7 + seed) + ".\n";
    }
    home.write("docs/" + name, text);
  }
  nlohmann::json status() {
    auto s = run({"semantic", "status", "--json"});
    EXPECT_EQ(s.exitCode, 0) << s.err;
    return nlohmann::json::parse(s.out);
  }

  testing::TempDir home;
  std::string docs;
};

TEST_F(SemanticIntegrationTest, CommandsThatNeedAModelSayHowToInstallOne) {
  writeText("a.txt", 2, 1);
  for (std::vector<std::string> args :
       {std::vector<std::string>{"semantic", "index", "--folder", docs},
        std::vector<std::string>{"semantic", "search", "garden"}, std::vector<std::string>{"semantic", "rebuild"}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 3) << args[1];
    EXPECT_NE(r.err.find("pallix model install"), std::string::npos) << r.err;
  }
  auto s = status();
  EXPECT_FALSE(s["modelInstalled"].get<bool>());
  EXPECT_EQ(s["files"]["status"], "unavailable");
  auto chunks = run({"semantic", "chunks", docs + "/a.txt", "--json"});  // needs no model
  ASSERT_EQ(chunks.exitCode, 0) << chunks.err;
  auto array = nlohmann::json::parse(chunks.out);
  ASSERT_FALSE(array.empty());
  EXPECT_EQ(array[0]["startOffset"], "0");
  EXPECT_EQ(array[0]["id"].get<std::string>().substr(16), "_0");
  EXPECT_EQ(run({"semantic", "frobnicate"}).exitCode, 2);
}

// The agent keeps the semantic index while it runs: `semantic index` has it
// run the pass (after its own) and reports it, instead of failing on the lock.
TEST_F(SemanticIntegrationTest, IndexWhileTheAgentRunsHasTheAgentRunThePass) {
  installTinyModel();
  for (int i = 0; i < 3; ++i) writeText("note" + std::to_string(i) + ".txt", 4, i);
  ASSERT_EQ(run({"defaults", "write", "FilesPreferences.semanticSearchEnabled", "true"}).exitCode, 0);
  ASSERT_EQ(run({"defaults", "write", "FilesPreferences.indexedFolders", docs}).exitCode, 0);
  testing::BackgroundProcess agent(
      {PALLIX_BINARY, "daemon"},
      testing::Environment{{"PALLIX_HOME", home.path()}, {"TMPDIR", home / "tmp"}, {"PALLIX_LOG", "info"}},
      testing::ProcessOptions{.cleanEnvironment = true});
  // The agent holds the index once it indexes.
  ASSERT_TRUE(agent.waitForOutput("setupFileEmbedding started", std::chrono::seconds(30))) << agent.errorOutput();

  auto indexed = start({"semantic", "index"})->finish(std::chrono::seconds(60));
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err << agent.errorOutput();
  EXPECT_NE(indexed.err.find("the running Pallix agent keeps the semantic index; it runs the pass"), std::string::npos)
      << indexed.err;
  EXPECT_NE(indexed.out.find("3 files:"), std::string::npos) << indexed.out;
  // The agent's index holds the notes.
  auto found = run({"semantic", "search", "garden budget"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  // Another folder is the agent's to choose: the command says so.
  auto elsewhere = run({"semantic", "index", "--folder", home / "tmp"});
  EXPECT_EQ(elsewhere.exitCode, 1);
  EXPECT_NE(elsewhere.err.find("indexes its own folders"), std::string::npos) << elsewhere.err;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.finish().exitCode, 0);
}

TEST_F(SemanticIntegrationTest, KillDuringASaveLeavesThePreviousIndexLoadable) {
  installTinyModel();
  writeText("first.txt", 200, 1);
  auto first = run({"semantic", "index", "--folder", docs});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const int64_t before = status()["files"]["chunkCount"].get<int64_t>();
  ASSERT_GT(before, 100);

  // Each round adds a file and kills the indexer the moment its save begins
  // (its temporary save directory appears); a round whose save slipped by
  // unobserved is repeated with one more file.
  bool killedDuringSave = false;
  for (int round = 0; round < 20 && !killedDuringSave; ++round) {
    writeText("more" + std::to_string(round) + ".txt", 200, 10 + round);
    auto indexer = start({"semantic", "index", "--folder", docs});
    testing::pollUntil(
        [&] {
          std::error_code ec;
          for (const auto& entry : fs::directory_iterator(home.path() + "/tmp", ec)) {
            if (entry.path().filename().string().rfind("Pallix-File-Save-", 0) == 0) killedDuringSave = true;
          }
          if (killedDuringSave) indexer->signal(SIGKILL);
          return killedDuringSave || !indexer->running();
        },
        std::chrono::seconds(120));
    indexer->finish();
  }
  ASSERT_TRUE(killedDuringSave) << "never caught the indexer while saving";

  auto after = status();
  EXPECT_EQ(after["files"]["readiness"], "ready");
  EXPECT_EQ(after["files"]["status"], "ready");
  EXPECT_GE(after["files"]["chunkCount"].get<int64_t>(), before);
  auto found = run({"semantic", "search", "notes about the garden", "--json"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  EXPECT_FALSE(nlohmann::json::parse(found.out).empty());
  // The next run completes the interrupted work and saves cleanly.
  auto again = run({"semantic", "index", "--folder", docs});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_GT(status()["files"]["chunkCount"].get<int64_t>(), before);
}

}  // namespace
}  // namespace pallix
