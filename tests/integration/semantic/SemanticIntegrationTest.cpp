// `pallix semantic` run as a child process against a private PALLIX_HOME
// with the tiny test model installed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

namespace pallix {
namespace {

namespace fs = std::filesystem;

std::string testData() {
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return data ? data : "tests/data";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Finished {
  int exitCode = -1;
  std::string out, err;
};

// A pallix child with PALLIX_HOME and TMPDIR pointing into the test's folder.
class PallixProcess {
 public:
  PallixProcess(const testing::TempDir& home, std::vector<std::string> args) : home_(home) {
    std::vector<std::string> argv = {PALLIX_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"PALLIX_HOME=" + home.path(), "TMPDIR=" + home.path() + "/tmp",
                                    "PATH=/usr/bin:/bin", "PALLIX_LOG=error"};
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    for (auto& e : env) cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (home.path() + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (home.path() + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    spawned_ = posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  pid_t pid() const { return pid_; }
  bool spawned() const { return spawned_; }
  // Polls (bounded) until the child exits.
  Finished wait(std::chrono::seconds limit = std::chrono::seconds(120)) {
    Finished f;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        ADD_FAILURE() << "pallix did not finish in time";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    f.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    f.out = slurp(home_.path() + "/stdout");
    f.err = slurp(home_.path() + "/stderr");
    return f;
  }

 private:
  const testing::TempDir& home_;
  pid_t pid_ = -1;
  bool spawned_ = false;
};

class SemanticIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.mkdir("tmp");
    docs = home.mkdir("docs");
    // The fastest intensity, so the passes below take seconds.
    home.write(".local/share/Pallix/UserDefaults.json", R"({"FilesPreferences.indexingIntensity": "maximum"})");
  }
  Finished run(std::vector<std::string> args) {
    PallixProcess p(home, std::move(args));
    EXPECT_TRUE(p.spawned());
    return p.wait();
  }
  void installTinyModel() {
    auto installed = run({"model", "install", testData() + "/embeddings/tiny_bert"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
  }
  // A text file of about `kilobytes` KB of distinct lines.
  void writeText(const std::string& name, int kilobytes, int seed) {
    std::string text;
    for (int line = 0; int(text.size()) < kilobytes * 1024; ++line) {
      text += "Entry " + std::to_string(seed) + "." + std::to_string(line) + ": notes about the garden, the budget "
              "and the trip, line " + std::to_string(line * 7 + seed) + ".\n";
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
  for (std::vector<std::string> args : {std::vector<std::string>{"semantic", "index", "--folder", docs},
                                        std::vector<std::string>{"semantic", "search", "garden"},
                                        std::vector<std::string>{"semantic", "rebuild"}}) {
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
    PallixProcess indexer(home, {"semantic", "index", "--folder", docs});
    ASSERT_TRUE(indexer.spawned());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      bool saving = false;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(home.path() + "/tmp", ec)) {
        if (entry.path().filename().string().rfind("Pallix-File-Save-", 0) == 0) saving = true;
      }
      int status = 0;
      if (saving) {
        ::kill(indexer.pid(), SIGKILL);
        killedDuringSave = true;
        break;
      }
      if (::waitpid(indexer.pid(), &status, WNOHANG) == indexer.pid()) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    indexer.wait();
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
