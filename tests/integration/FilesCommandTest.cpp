// pallix files, end to end: the executable indexes a folder of real files
// under a temporary home, then answers queries; best matches, the name
// rule, the filter-only cap and refused queries as the user sees them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

namespace pallix {
namespace {

struct Finished {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class FilesCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new testing::TempDir();
    home_->write("docs/man1/ls.1.gz", "");
    home_->write("docs/report.pdf", "");
    home_->write("docs/pdfguide.txt", "");
    for (int i = 0; i < 60; ++i) home_->write("docs/tools/tools.1.x" + std::to_string(i) + ".txt", "");
    for (int i = 0; i < 150; ++i) home_->write("docs/papers/paper " + std::to_string(i) + ".pdf", "");
    ASSERT_EQ(run({"folders", "add", *home_ / "docs"}).exitCode, 0);
    const Finished indexed = run({"index"});
    ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  }
  static void TearDownTestSuite() { delete home_; }

  // Runs pallix with `args` under the temporary home; gives up after a minute.
  static Finished run(const std::vector<std::string>& args) {
    const std::string out = *home_ / "stdout", err = *home_ / "stderr";
    const pid_t child = fork();
    if (child == 0) {
      setenv("PALLIX_HOME", home_->path().c_str(), 1);
      setenv("PALLIX_LOG", "off", 1);
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
      std::vector<char*> argv{const_cast<char*>(PALLIX_EXECUTABLE)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(PALLIX_EXECUTABLE, argv.data());
      _exit(127);
    }
    Finished result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "pallix did not finish within a minute";
        return result;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readAll(out);
    result.err = readAll(err);
    return result;
  }

  static testing::TempDir* home_;
};
testing::TempDir* FilesCommandTest::home_ = nullptr;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(FilesCommandTest, BestMatchesFirstAndNamesNotExtensions) {
  const Finished exact = run({"files", "ls.1"});
  ASSERT_EQ(exact.exitCode, 0) << exact.err;
  const std::string first = exact.out.substr(0, exact.out.find('\n'));
  EXPECT_TRUE(has(first, "1.00  exact") && has(first, "man1/ls.1.gz")) << exact.out;

  const Finished words = run({"files", "pdf"});
  ASSERT_EQ(words.exitCode, 0) << words.err;
  EXPECT_TRUE(has(words.out, "pdfguide.txt")) << words.out;
  EXPECT_FALSE(has(words.out, "report.pdf")) << words.out;
  EXPECT_TRUE(has(run({"files", "report.pdf"}).out, "1.00  exact"));
}

TEST_F(FilesCommandTest, FilterOnlyCapIsSaidInTextAndJson) {
  const Finished text = run({"files", "ext:pdf", "--limit", "500"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(has(text.out, "Showing 100 of 151 files")) << text.out;
  const Finished json = run({"files", "ext:pdf", "--limit", "500", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_TRUE(has(json.out, "\"cut\"") && has(json.out, "\"matches\": 151")) << json.out;
  EXPECT_FALSE(has(run({"files", "ext:pdf", "--json"}).out, "\"cut\""));
}

TEST_F(FilesCommandTest, InvalidQueriesGiveOneClearMessage) {
  std::vector<std::string> manyFilters{"files"};
  for (int i = 0; i < 1000; ++i) manyFilters.push_back("ext:gz");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"files", "/[/"}, "/[/ is not a valid regular expression"},
      {{"files", "after:garbage"}, "after:garbage has no date"},
      {{"files", "   "}, "nothing to search for"},
      {manyFilters, "one search takes at most"},
  };
  for (const Case& c : cases) {
    const Finished refused = run(c.args);
    EXPECT_EQ(refused.exitCode, 2) << c.message;
    EXPECT_TRUE(has(refused.err, c.message)) << refused.err;
    EXPECT_EQ(refused.out, "") << c.message;
    EXPECT_FALSE(has(refused.err, "SQL")) << refused.err;
  }
}

TEST_F(FilesCommandTest, HelpExplainsTheAppFilter) {
  const Finished help = run({"files", "--help"});
  EXPECT_TRUE(has(help.out + help.err, "Flatpak or Snap")) << help.out << help.err;
  EXPECT_TRUE(has(help.out + help.err, "app:org.gnome.Maps")) << help.out << help.err;
}

}  // namespace
}  // namespace pallix
