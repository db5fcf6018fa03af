// The pallix binary end to end: `pallix index` over real folders and desktop
// entries, then the searches a user would run. Each test has its own home,
// data folders and environment; the binary's path comes from CMake.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

struct ProcessRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  nlohmann::json json() const { return nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false); }
};

// Runs the binary and waits for it (at most two minutes). With `terminal`,
// stderr is a pseudo-terminal, as in an interactive shell.
ProcessRun runPallix(const std::vector<std::string>& args, const std::vector<std::string>& environment, bool terminal) {
  ProcessRun run;
  int outPipe[2];
  int errFds[2];  // read, write
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return run;
  if (terminal ? ::openpty(&errFds[0], &errFds[1], nullptr, nullptr, nullptr) != 0 : ::pipe2(errFds, O_CLOEXEC) != 0) {
    return run;
  }
  std::vector<std::string> argvStrings = {PALLIX_BINARY};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errFds[1], STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errFds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  std::vector<pollfd> fds = {{outPipe[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
  std::string* sinks[] = {&run.out, &run.err};
  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {  // end of file, or EIO once the terminal's other side is closed
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  if (fds[0].fd >= 0 || fds[1].fd >= 0) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class CatalogIndexIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.mkdir("home");
    share_ = tmp_.mkdir("share");
    bin_ = tmp_.mkdir("bin");
    tree_ = tmp_.mkdir("tree");
    environment_ = {"PALLIX_HOME=" + home_, "HOME=" + home_, "XDG_DATA_DIRS=" + share_,
                    "PATH=" + bin_ + ":/usr/bin:/bin", "LANG=C.UTF-8"};
  }

  ProcessRun command(const std::vector<std::string>& args, bool terminal = false) {
    return runPallix(args, environment_, terminal);
  }

  std::vector<std::string> filePaths(const std::string& query) {
    std::vector<std::string> paths;
    const nlohmann::json found = command({"files", query, "--json"}).json();
    for (const auto& result : found["files"]) paths.push_back(result.value("path", ""));
    return paths;
  }

  std::vector<std::string> appNames(const std::string& query) {
    const nlohmann::json found = command({"search", query, "--json"}).json();
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
  std::vector<std::string> environment_;
};

TEST_F(CatalogIndexIntegrationTest, FirstIndexShowsSavingAndEditsKeepFileSearchExact) {
  makeTree(40, 30);  // large enough to be saved as a bulk load
  tmp_.write("tree/zebra-quartz.md", "z");
  ASSERT_EQ(command({"folders", "add", tree_}).exitCode, 0);

  ProcessRun first = command({"index"}, /*terminal=*/true);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.err.find("Scanning... "), std::string::npos) << first.err;
  EXPECT_TRUE(std::regex_search(first.err, std::regex("Saving\\.\\.\\. [0-9]+ of [0-9]+ records"))) << first.err;
  EXPECT_NE(first.err.find("Saving... indexing the names of "), std::string::npos) << first.err;
  EXPECT_EQ(filePaths("zebra"), std::vector<std::string>{tree_ + "/zebra-quartz.md"});

  const nlohmann::json rescan = command({"index", "--json"}).json();
  EXPECT_EQ(rescan.value("unchanged", false), true) << rescan.dump();

  std::filesystem::rename(tree_ + "/zebra-quartz.md", tree_ + "/yak-quartz.md");
  std::filesystem::remove(tree_ + "/folder0/doc0.txt");
  tmp_.write("tree/folder1/walrus.txt", "w");
  const nlohmann::json edited = command({"index", "--json"}).json();
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
  *std::find(environment_.begin(), environment_.end(), "LANG=C.UTF-8") = "LANG=de_DE.UTF-8";

  ASSERT_EQ(command({"index"}).exitCode, 0);
  std::set<std::string> listed;
  for (const auto& app : command({"catalog", "--type", "app", "--json"}).json()) listed.insert(app.value("name", ""));
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

  ProcessRun again = command({"index"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.err.find("damaged"), std::string::npos) << again.err;
  EXPECT_EQ(filePaths("narwhal"), std::vector<std::string>{tree_ + "/folder2/narwhal.txt"});
  EXPECT_EQ(command({"catalog", "--type", "file", "--json"}).json().size(), 301u);
}

// A first index writes its records while it scans, into one transaction
// that only its end commits: stopped half-way, the store it writes to stays
// readable and empty; killed, it leaves no catalog that claims to be
// complete, and the next index writes everything.
TEST_F(CatalogIndexIntegrationTest, FirstIndexKilledHalfWayLeavesNothingThatClaimsToBeComplete) {
  makeTree(200, 100);
  ASSERT_EQ(command({"folders", "add", tree_}).exitCode, 0);
  int terminal = -1;
  int replica = -1;
  ASSERT_EQ(::openpty(&terminal, &replica, nullptr, nullptr, nullptr), 0);
  std::vector<std::string> argvStrings = {PALLIX_BINARY, "index"};
  std::vector<char*> argv, envp;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment_) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(replica, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(replica);
  // Progress lines are printed after the records handed out before them
  // were written: at 8192 items scanned, at least that many are in the load.
  std::string progress;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (progress.find("Scanning... 8192 items") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd fd{terminal, POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;
    progress.append(buffer, static_cast<size_t>(n));
  }
  ASSERT_NE(progress.find("Scanning... 8192 items"), std::string::npos) << progress;
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  ProcessRun whileLoading = command({"catalog", "--json"});
  EXPECT_EQ(whileLoading.exitCode, 0) << whileLoading.err;
  EXPECT_TRUE(whileLoading.json().empty()) << whileLoading.out.substr(0, 200);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(terminal);
  EXPECT_TRUE(WIFSIGNALED(status));

  EXPECT_TRUE(command({"catalog", "--json"}).json().empty());
  const nlohmann::json again = command({"index", "--json"}).json();
  EXPECT_EQ(again.value("unchanged", true), false) << again.dump();
  EXPECT_EQ(again.value("inserted", 0), 200 * 100 + 200) << again.dump();  // files and folders
}

}  // namespace
}  // namespace pallix
