// `pallix semantic` run as a child process against a private PALLIX_HOME
// with the tiny test model installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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
  std::string dataDirectory() const { return home.path() + "/.local/share/Pallix"; }
  bool indexSaved() const {
    return fs::exists(dataDirectory() + "/FileChunks.mmap") || fs::exists(dataDirectory() + "/FileChunks.mmap.lz");
  }
  void setIntensity(const std::string& intensity) {
    ASSERT_EQ(run({"defaults", "write", "FilesPreferences.indexingIntensity", intensity}).exitCode, 0);
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

// A mistyped --folder is an error and leaves the index as it was; a link
// out of the folder is not followed.
TEST_F(SemanticIntegrationTest, AFolderThatDoesNotExistIsAnErrorAndTheIndexStays) {
  installTinyModel();
  for (int i = 0; i < 3; ++i) writeText("note" + std::to_string(i) + ".txt", 2, i);
  home.write("outside/system.conf", "root:x:0:0:the administrator\n");
  ASSERT_EQ(::symlink((home / "outside/system.conf").c_str(), (docs + "/harmless.txt").c_str()), 0);
  auto first = run({"semantic", "index", "--folder", docs});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find("3 files: 3 indexed"), std::string::npos) << first.out;
  const int64_t chunks = status()["files"]["chunkCount"].get<int64_t>();
  ASSERT_GT(chunks, 0);

  for (const std::string& wrong : {home / "nonexistent/x", docs + "/note0.txt"}) {
    auto mistyped = run({"semantic", "index", "--folder", wrong});
    EXPECT_EQ(mistyped.exitCode, 2) << mistyped.out << mistyped.err;
    EXPECT_NE(mistyped.err.find(wrong), std::string::npos) << mistyped.err;
    EXPECT_EQ(mistyped.out.find("0 files"), std::string::npos) << mistyped.out;
    EXPECT_EQ(status()["files"]["chunkCount"].get<int64_t>(), chunks);
  }
  auto found = run({"semantic", "search", "notes about the garden", "--json"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  for (const auto& hit : nlohmann::json::parse(found.out)) {
    EXPECT_EQ(hit["filePath"].get<std::string>().find("harmless"), std::string::npos) << hit;
  }
}

// The model's weights are damaged: the pass fails (exit 3) and counts
// nothing as done; once the model is reinstalled the next pass indexes all.
TEST_F(SemanticIntegrationTest, AModelThatDoesNotLoadFailsThePassUntilItIsFixed) {
  installTinyModel();
  writeText("a.txt", 2, 1);
  writeText("b.txt", 2, 2);
  const std::string weights = dataDirectory() + "/Models/bge_small_en/model.safetensors";
  ASSERT_TRUE(fs::exists(weights));
  fs::resize_file(weights, 100);
  auto broken = run({"semantic", "index", "--folder", docs});
  EXPECT_EQ(broken.exitCode, 3) << broken.out << broken.err;
  EXPECT_NE(broken.err.find("the embedding model could not embed the files"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.out.find("skipped (not text)"), std::string::npos) << broken.out;
  EXPECT_FALSE(status().contains("lastCompletion"));

  writeText("b.txt", 3, 3);  // edited meanwhile
  installTinyModel();
  auto fixed = run({"semantic", "index", "--folder", docs});
  EXPECT_EQ(fixed.exitCode, 0) << fixed.err;
  EXPECT_NE(fixed.out.find("2 files: 2 indexed"), std::string::npos) << fixed.out;
  EXPECT_TRUE(status().contains("lastCompletion"));
}

// In the foreground a pass does not pause between files; --gentle paces it
// by the intensity (2 s after each file at "minimal").
TEST_F(SemanticIntegrationTest, ForegroundPassesRunAtFullSpeedUnlessGentle) {
  installTinyModel();
  setIntensity("minimal");
  for (int i = 0; i < 3; ++i) writeText("n" + std::to_string(i) + ".txt", 1, i);
  auto seconds = [](const std::string& out) {
    const auto in = out.find(" chunks in ");
    return in == std::string::npos ? -1.0 : std::stod(out.substr(in + 11));
  };
  auto fast = run({"semantic", "index", "--folder", docs});
  ASSERT_EQ(fast.exitCode, 0) << fast.err;
  EXPECT_LT(seconds(fast.out), 4.0) << fast.out;
  const std::string others = home.mkdir("others");
  for (int i = 0; i < 3; ++i) home.write("others/m" + std::to_string(i) + ".txt", "other note " + std::to_string(i));
  auto gentle = run({"semantic", "index", "--folder", others, "--gentle"});
  ASSERT_EQ(gentle.exitCode, 0) << gentle.err;
  EXPECT_NE(gentle.out.find("3 indexed"), std::string::npos) << gentle.out;
  EXPECT_GE(seconds(gentle.out), 4.0) << gentle.out;
  auto help = run({"semantic", "--help"});
  EXPECT_NE((help.out + help.err).find("--gentle"), std::string::npos);
}

// Ctrl-C saves what was embedded, then says so.
TEST_F(SemanticIntegrationTest, CtrlCSavesTheIndexThenSaysSo) {
  installTinyModel();
  setIntensity("low");  // 1 s after each file with --gentle: the pass lasts about 40 s
  for (int i = 0; i < 40; ++i) writeText("n" + std::to_string(i) + ".txt", 1, i);
  auto indexer = start({"semantic", "index", "--folder", docs, "--gentle"});
  // The first save during the pass comes after about 10 s.
  ASSERT_TRUE(testing::pollUntil([&] { return indexSaved() || !indexer->running(); }, std::chrono::seconds(90)));
  ASSERT_TRUE(indexer->running()) << indexer->errorOutput();
  indexer->signal(SIGINT);
  auto stopped = indexer->finish(std::chrono::seconds(60));
  EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
  EXPECT_NE(stopped.err.find("interrupted; the chunks indexed so far are saved."), std::string::npos) << stopped.err;
  EXPECT_EQ(stopped.err.find("failed"), std::string::npos) << stopped.err;
  auto after = status();
  EXPECT_EQ(after["files"]["readiness"], "ready");
  EXPECT_GT(after["files"]["chunkCount"].get<int64_t>(), 0);
}

// kill -9 in the middle of a pass keeps what the pass saved along the way:
// the next pass finds those files unchanged.
TEST_F(SemanticIntegrationTest, AKilledPassKeepsWhatItSavedAlongTheWay) {
  installTinyModel();
  setIntensity("low");
  for (int i = 0; i < 40; ++i) writeText("n" + std::to_string(i) + ".txt", 1, i);
  auto indexer = start({"semantic", "index", "--folder", docs, "--gentle"});
  ASSERT_TRUE(testing::pollUntil([&] { return indexSaved() || !indexer->running(); }, std::chrono::seconds(90)));
  ASSERT_TRUE(indexer->running()) << indexer->errorOutput();
  indexer->signal(SIGKILL);
  indexer->finish();
  EXPECT_GT(status()["files"]["chunkCount"].get<int64_t>(), 0);
  auto again = run({"semantic", "index", "--folder", docs});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  const auto unchanged = again.out.find(" unchanged");
  ASSERT_NE(unchanged, std::string::npos) << again.out;
  const auto comma = again.out.rfind(", ", unchanged);
  EXPECT_GT(std::stoi(again.out.substr(comma + 2)), 0) << again.out;
}

}  // namespace
}  // namespace pallix
