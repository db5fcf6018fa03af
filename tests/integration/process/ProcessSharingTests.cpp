// Several real Pallix processes over one temporary home: settings written by
// two processes at once, concurrent catalog commands, read-only commands on
// a missing or damaged catalog, and the daemon applying settings, answering
// `pallix index` and honouring its log flags. Waits are bounded polls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "core/FileUtil.h"
#include "core/UserDefaults.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr auto kProcessLimit = std::chrono::seconds(120);

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// One spawned process with its output in files; ended (SIGKILL) if still
// running when destroyed.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& outputStem,
        bool pipeStdin = false)
      : outPath_(outputStem + ".out"), errPath_(outputStem + ".err") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int input[2] = {-1, -1};
    if (pipeStdin && ::pipe2(input, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (input[0] >= 0) ::close(input[0]);
    stdin_ = input[1];
  }
  ~Child() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void go() {
    char byte = 1;
    EXPECT_EQ(::write(stdin_, &byte, 1), 1);
  }
  void signal(int sig) { ::kill(pid_, sig); }
  std::string err() const { return readFileToString(errPath_).valueOr(""); }

  // Waits (bounded) for the exit; a process still running then fails the test.
  Outcome wait(std::chrono::seconds limit = kProcessLimit) {
    Outcome outcome;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd < 0 || ::poll(&p, 1, static_cast<int>(limit.count() * 1000)) != 1) {
      ADD_FAILURE() << "process " << pid_ << " did not end within " << limit.count() << " s";
      ::kill(pid_, SIGKILL);
    }
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = readFileToString(outPath_).valueOr("");
    outcome.err = readFileToString(errPath_).valueOr("");
    return outcome;
  }

 private:
  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  int stdin_ = -1;
};

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    ::poll(nullptr, 0, 25);
  }
  return condition();
}

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
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("PALLIX_", 0) != 0 && entry.rfind("XDG_", 0) != 0) env_.push_back(entry);
    }
    env_.push_back("PALLIX_HOME=" + tmp_ / "home");
    env_.push_back("XDG_DATA_DIRS=" + tmp_ / "xdg");
    env_.push_back("XDG_RUNTIME_DIR=" + tmp_ / "run");
  }

  std::unique_ptr<Child> start(const std::vector<std::string>& args, std::vector<std::string> extraEnv = {}) {
    std::vector<std::string> argv = {PALLIX_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = env_;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return std::make_unique<Child>(argv, env, tmp_ / ("p" + std::to_string(++spawned_)));
  }
  Outcome run(const std::vector<std::string>& args) { return start(args)->wait(); }

  // The catalog's paths, or nullopt while there is no readable catalog.
  std::optional<std::set<std::string>> catalogPaths() {
    Outcome listed = run({"catalog", "--json"});
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
  std::vector<std::string> env_;
  int spawned_ = 0;
};

TEST_F(ProcessSharingTest, TwoProcessesWritingDifferentKeysLoseNone) {
  ASSERT_TRUE(createDirectories(dirs_.data).ok());
  std::vector<std::unique_ptr<Child>> writers;
  for (const char* prefix : {"first.", "second."}) {
    writers.push_back(
        std::make_unique<Child>(std::vector<std::string>{PALLIX_SETTINGS_WRITER, dirs_.defaultsPath(), prefix, "100"},
                                env_, tmp_ / prefix, /*pipeStdin=*/true));
  }
  for (auto& writer : writers) writer->go();
  for (auto& writer : writers) EXPECT_EQ(writer->wait().exitCode, 0);
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
      std::vector<std::unique_ptr<Child>> children;
      children.push_back(start({"index"}));
      children.push_back(start({"files", "note"}));
      children.push_back(start({"index"}));
      children.push_back(start({"catalog"}));
      std::vector<Outcome> outcomes;
      for (auto& child : children) outcomes.push_back(child->wait());
      EXPECT_EQ(outcomes[0].exitCode, 0) << outcomes[0].err;
      EXPECT_EQ(outcomes[2].exitCode, 0) << outcomes[2].err;
      // Before the first scan commits: nothing found (1) or no catalog yet (3).
      EXPECT_TRUE(std::set<int>({0, 1, 3}).count(outcomes[1].exitCode)) << outcomes[1].err;
      EXPECT_TRUE(std::set<int>({0, 3}).count(outcomes[3].exitCode)) << outcomes[3].err;
      for (const Outcome& o : outcomes) {
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
         {std::vector<std::string>{"files", "note"}, {"catalog"}, {"search", "note"}}) {
      Outcome o = run(command);
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
  ASSERT_TRUE(eventually([&] { return catalogPaths() == expected_; })) << daemon->err();
  const std::string socket = dirs_.socketPath();
  EXPECT_EQ(socket.rfind(tmp_ / "run/", 0), 0u) << socket;
  EXPECT_EQ(modeOf(socket), 0600u);

  std::string plan = tmp_.write("home/Projects/plan.md", "p");
  ASSERT_EQ(run({"folders", "add", tmp_ / "home/Projects"}).exitCode, 0);
  expected_.insert(plan);
  EXPECT_TRUE(eventually([&] { return catalogPaths() == expected_; })) << daemon->err();

  std::string extra = tmp_.write("home/Projects/extra.md", "e");
  Outcome indexed = run({"index", "--json"});
  EXPECT_EQ(indexed.exitCode, 0) << indexed.err;
  EXPECT_EQ(nlohmann::json::parse(indexed.out, nullptr, false).value("files", 0), 50) << indexed.out;
  expected_.insert(extra);
  EXPECT_EQ(catalogPaths(), expected_);

  UserDefaults settings(dirs_.defaultsPath());
  auto folders = settings.stringArrayValue("IndexingService.fileDirectories").value_or(std::vector<std::string>{});
  EXPECT_NE(std::find(folders.begin(), folders.end(), tmp_ / "home/Projects"), folders.end());
  EXPECT_TRUE(settings.contains("IndexingService.lastFullScanTime"));

  daemon->signal(SIGTERM);
  Outcome stopped = daemon->wait();
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  EXPECT_EQ(modeOf(dirs_.data), 0700u);
  for (const std::string& file : {dirs_.storePath(), dirs_.defaultsPath()}) EXPECT_EQ(modeOf(file), 0600u) << file;
}

TEST_F(ProcessSharingTest, DaemonHonoursQuietAndPallixLog) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    bool talks;  // milestones ("running", "[info]") on stderr
  };
  const std::vector<Case> cases = {
      {{"daemon"}, {}, true},
      {{"daemon", "--quiet"}, {}, false},
      {{"daemon"}, {"PALLIX_LOG=error"}, false},
      {{"daemon", "--quiet"}, {"PALLIX_LOG=debug"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : (c.env.empty() ? "default" : c.env[0]));
    fs::remove_all(dirs_.data);
    auto daemon = start(c.args, c.env);
    ASSERT_TRUE(eventually([&] { return catalogPaths() == expected_; })) << daemon->err();
    daemon->signal(SIGTERM);
    Outcome o = daemon->wait();
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err.find("running (pid") != std::string::npos, c.talks) << o.err;
    EXPECT_EQ(o.err.find("[info]") != std::string::npos, c.talks) << o.err;
  }
}

}  // namespace
}  // namespace pallix
