// `pallix semantic` run as a child process against a private PALLIX_HOME
// with the tiny test model installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "testing/TestProcess.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
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

  std::string store(const std::string& name) { return status()["storeDirectory"].get<std::string>() + "/" + name; }
  // A model directory like the tiny test model with other random weights, `hidden` wide.
  std::string randomModel(const std::string& name, int hidden, uint32_t seed) {
    const std::string dir = home / ("models/" + name);
    testing::writeRandomModel(dir, testing::smallConfig(100, hidden, 2, 2, 64, 512), seed);
    return dir;
  }

  testing::TempDir home;
  std::string docs;
};

std::string readAll(const std::string& path) {
  auto text = readFileToString(path);
  return text.ok() ? text.value() : std::string("(unreadable)");
}

// A file named in Latin-1 among the notes: the index it makes opens again
// (status, search, the next pass) with every chunk.
TEST_F(SemanticIntegrationTest, FileNameThatIsNotUtf8KeepsTheIndex) {
  installTinyModel();
  writeText("notes.txt", 4, 1);
  writeText("caf\xe9 menu.txt", 4, 2);
  auto indexed = run({"semantic", "index", "--folder", docs});
  ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  const int64_t chunks = status()["files"]["chunkCount"].get<int64_t>();
  ASSERT_GT(chunks, 2);
  auto again = status();
  EXPECT_EQ(again["files"]["chunkCount"].get<int64_t>(), chunks);
  EXPECT_EQ(again["files"]["status"], "ready");
  auto found = run({"semantic", "search", "notes about the garden", "--json"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  EXPECT_EQ(found.err.find("recovery"), std::string::npos) << found.err;
  auto next = run({"semantic", "index", "--folder", docs});
  EXPECT_EQ(next.exitCode, 0) << next.err;
  EXPECT_EQ(status()["files"]["chunkCount"].get<int64_t>(), chunks);
}

// Read-only commands report a damaged index and name the repair; the files
// stay as they are until the user runs it.
TEST_F(SemanticIntegrationTest, StatusAndSearchOnADamagedIndexLeaveTheFiles) {
  installTinyModel();
  writeText("notes.txt", 40, 1);
  ASSERT_EQ(run({"semantic", "index", "--folder", docs}).exitCode, 0);
  const std::string items = store("FileChunks.mmap.lz");
  const std::string graph = store("FileChunks.hnsw.lz");
  ASSERT_TRUE(fs::exists(items) && fs::exists(graph));
  std::string damaged = readAll(items);
  for (std::size_t i = 0; i < damaged.size(); i += 7) damaged[i] = char(damaged[i] ^ 0x5a);
  ASSERT_TRUE(writeFileAtomically(items, damaged).ok());
  const std::string graphBytes = readAll(graph);

  auto s = run({"semantic", "status", "--json"});
  EXPECT_NE(s.exitCode, 0);
  auto j = nlohmann::json::parse(s.out);
  const std::string error = j["files"]["error"].get<std::string>();
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_NE(error.find("pallix semantic rebuild"), std::string::npos) << error;
  auto text = run({"semantic", "status"});
  EXPECT_NE(text.out.find("pallix semantic rebuild"), std::string::npos) << text.out;
  auto searched = run({"semantic", "search", "garden"});
  EXPECT_NE(searched.exitCode, 0);
  EXPECT_NE(searched.err.find("pallix semantic rebuild"), std::string::npos) << searched.err;
  EXPECT_EQ(readAll(items), damaged);
  EXPECT_EQ(readAll(graph), graphBytes);

  auto rebuilt = run({"semantic", "rebuild"});
  ASSERT_EQ(rebuilt.exitCode, 3) << rebuilt.err;  // no semantic folders are set: nothing to index again
  ASSERT_EQ(run({"semantic", "index", "--folder", docs}).exitCode, 0);
  EXPECT_EQ(status()["files"]["status"], "ready");
}

// A file that cannot be read is not damaged: it is kept, and the command says why.
TEST_F(SemanticIntegrationTest, IndexFileThatCannotBeReadIsKept) {
  installTinyModel();
  writeText("notes.txt", 40, 1);
  ASSERT_EQ(run({"semantic", "index", "--folder", docs}).exitCode, 0);
  const std::string items = store("FileChunks.mmap.lz");
  const std::string graph = store("FileChunks.hnsw.lz");
  const std::string graphBytes = readAll(graph);
  const std::string aside = home / "items.lz";
  fs::rename(items, aside);
  fs::create_directories(items);  // no process, root included, reads a folder as the item file

  for (std::vector<std::string> args : {std::vector<std::string>{"semantic", "search", "garden"},
                                        std::vector<std::string>{"semantic", "index", "--folder", docs}}) {
    auto r = run(args);
    EXPECT_NE(r.exitCode, 0) << args[1];
    EXPECT_NE(r.err.find("FileChunks.mmap.lz cannot be read"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("it is kept as it is"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_directory(items));
    EXPECT_EQ(readAll(graph), graphBytes);
  }
  fs::remove(items);
  fs::rename(aside, items);
  auto found = run({"semantic", "search", "notes about the garden"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
}

// What interrupted saves and loads left behind goes when it is an hour old
// and no process holds it; a directory another process (here this one)
// holds locked stays however old, and so does anything younger.
TEST_F(SemanticIntegrationTest, StatusSweepsOnlyOldTemporariesNoOneHolds) {
  installTinyModel();
  const auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
  const std::string abandoned = home.mkdir("tmp/Pallix-File-Save-abandoned");
  home.write("tmp/Pallix-File-Save-abandoned/FileChunks.mmap", "cut short");
  fs::last_write_time(abandoned, twoHoursAgo);
  const std::string young = home.mkdir("tmp/Pallix-HNSW-young");
  const std::string held = home.mkdir("tmp/Pallix-HNSW-held");
  fs::last_write_time(held, twoHoursAgo);
  const int fd = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);

  status();
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(held));
  ::close(fd);
  status();
  EXPECT_FALSE(fs::exists(held));
  EXPECT_TRUE(fs::exists(young));
}

// Replacing the model (same shape with other weights, or another dimension)
// makes the index stale: read-only commands say so and keep it, search exits
// 3 instead of ranking by meaningless scores, and the next pass rebuilds it.
TEST_F(SemanticIntegrationTest, ReplacedModelMakesTheIndexStaleUntilItIsRebuilt) {
  installTinyModel();
  writeText("notes.txt", 8, 1);
  writeText("budget.txt", 8, 2);
  ASSERT_EQ(run({"semantic", "index", "--folder", docs}).exitCode, 0);
  for (auto [name, hidden] : {std::pair{"same", 32}, std::pair{"narrow", 16}}) {
    SCOPED_TRACE(name);
    const int64_t before = status()["files"]["chunkCount"].get<int64_t>();
    ASSERT_GT(before, 0);
    auto installed = run({"model", "install", randomModel(name, hidden, uint32_t(hidden))});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;

    auto s = status();
    EXPECT_EQ(s["files"]["status"], "unavailable");
    EXPECT_NE(s["files"]["builtWithAnotherModel"].get<std::string>().find("built with"), std::string::npos);
    EXPECT_EQ(s["files"]["chunkCount"].get<int64_t>(), before);  // kept
    auto text = run({"semantic", "status"});
    EXPECT_NE(text.out.find("stale: built with"), std::string::npos) << text.out;
    auto searched = run({"semantic", "search", "garden budget"});
    EXPECT_EQ(searched.exitCode, 3) << searched.out << searched.err;
    EXPECT_NE(searched.err.find("built with another model; rebuilding (0%)"), std::string::npos) << searched.err;
    EXPECT_TRUE(searched.out.empty()) << searched.out;

    auto reindexed = run({"semantic", "index", "--folder", docs});
    ASSERT_EQ(reindexed.exitCode, 0) << reindexed.err;
    auto after = status();
    EXPECT_EQ(after["files"]["status"], "ready");
    EXPECT_FALSE(after["files"].contains("builtWithAnotherModel"));
    EXPECT_EQ(after["files"]["chunkCount"].get<int64_t>(), before);
    auto found = run({"semantic", "search", "garden budget", "--json"});
    ASSERT_EQ(found.exitCode, 0) << found.err;
    auto results = nlohmann::json::parse(found.out);
    ASSERT_FALSE(results.empty());
    EXPECT_GT(results[0]["similarity"].get<double>(), 0.0);
  }
}

// A hit says why it matched: the sentence of its chunk holding the query's
// words, the words' runs in bytes and UTF-16 units.
TEST_F(SemanticIntegrationTest, SearchSaysWhichPassageMatched) {
  installTinyModel();
  home.write("docs/garden.txt",
             "Shopping list for Saturday.\nThe greenhouse tomatoes need staking before the storm. Call the plumber.\n");
  ASSERT_EQ(run({"semantic", "index", "--folder", docs}).exitCode, 0);
  auto found = run({"semantic", "search", "greenhouse tomatoes", "--json"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  auto results = nlohmann::json::parse(found.out);
  ASSERT_FALSE(results.empty());
  const nlohmann::json& why = results[0]["why"];
  EXPECT_EQ(why["kind"], "passage");
  const std::string text = why["text"];
  EXPECT_EQ(text, "The greenhouse tomatoes need staking before the storm.");
  std::vector<std::string> highlighted;
  for (const auto& range : why["ranges"]) {
    highlighted.push_back(text.substr(range["start"], range["length"]));
    EXPECT_EQ(range["utf16Start"], range["start"]);  // ASCII: one unit per byte
  }
  EXPECT_EQ(highlighted, (std::vector<std::string>{"greenhouse", "tomatoes"}));
  auto human = run({"semantic", "search", "greenhouse tomatoes"});
  EXPECT_NE(human.out.find("       " + text + "\n"), std::string::npos) << human.out;
}

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
