// pallix files, end to end: the executable indexes a folder of real files
// under a temporary home, then answers queries; best matches, the name
// rule, the filter-only cap and refused queries as the user sees them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::ProcessResult;

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
    const ProcessResult indexed = run({"index"});
    ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  }
  static void TearDownTestSuite() { delete home_; }

  static ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_EXECUTABLE);
    return testing::runProcess(args, {{"PALLIX_HOME", home_->path()}, {"PALLIX_LOG", "off"}});
  }

  static testing::TempDir* home_;
};
testing::TempDir* FilesCommandTest::home_ = nullptr;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(FilesCommandTest, BestMatchesFirstAndNamesNotExtensions) {
  const ProcessResult exact = run({"files", "ls.1"});
  ASSERT_EQ(exact.exitCode, 0) << exact.err;
  const std::string first = exact.out.substr(0, exact.out.find('\n'));
  EXPECT_TRUE(has(first, "1.00  exact") && has(first, "man1/ls.1.gz")) << exact.out;

  const ProcessResult words = run({"files", "pdf"});
  ASSERT_EQ(words.exitCode, 0) << words.err;
  EXPECT_TRUE(has(words.out, "pdfguide.txt")) << words.out;
  EXPECT_FALSE(has(words.out, "report.pdf")) << words.out;
  EXPECT_TRUE(has(run({"files", "report.pdf"}).out, "1.00  exact"));
}

TEST_F(FilesCommandTest, FilterOnlyCapIsSaidInTextAndJson) {
  const ProcessResult text = run({"files", "ext:pdf", "--limit", "500"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(has(text.out, "Showing 100 of 151 files")) << text.out;
  const ProcessResult json = run({"files", "ext:pdf", "--limit", "500", "--json"});
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
      {{"files", "   "}, "nothing to search for"},
      {manyFilters, "one search takes at most"},
  };
  for (const Case& c : cases) {
    const ProcessResult refused = run(c.args);
    EXPECT_EQ(refused.exitCode, 2) << c.message;
    EXPECT_TRUE(has(refused.err, c.message)) << refused.err;
    EXPECT_EQ(refused.out, "") << c.message;
    EXPECT_FALSE(has(refused.err, "SQL")) << refused.err;
  }
}

}  // namespace
}  // namespace pallix
