// pallix files, end to end: the executable indexes a folder of real files
// under a temporary home, then answers queries; best matches, the name
// rule, the filter-only cap and refused queries as the user sees them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
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
    home_->write("docs/minutes/\u4F1A\u8BAE \U0001F389 Cafe\u0301 plan.md", "");
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

// --json says why each file matched: the span of the name (UTF-8 byte and
// UTF-16 offsets of the same characters), the folder, the filters met.
TEST_F(FilesCommandTest, JsonSaysWhyEachFileMatched) {
  const ProcessResult named = run({"files", "cafe plan", "ext:md", "--json"});
  ASSERT_EQ(named.exitCode, 0) << named.err;
  const nlohmann::json files = nlohmann::json::parse(named.out)["files"];
  ASSERT_EQ(files.size(), 1u) << named.out;
  const nlohmann::json& why = files[0]["why"];
  EXPECT_EQ(why["kind"], "name");
  const std::string name = "\u4F1A\u8BAE \U0001F389 Cafe\u0301 plan.md";
  EXPECT_EQ(why["text"], name + " \u00B7 md");
  ASSERT_EQ(why["ranges"].size(), 1u) << why.dump();
  const nlohmann::json& range = why["ranges"][0];
  // Two ideographs, a space, a party popper (two UTF-16 units), a space.
  EXPECT_EQ(range["start"], name.find("Cafe"));
  EXPECT_EQ(range["utf16Start"], 6);
  EXPECT_EQ(why["text"].get<std::string>().substr(range["start"], range["length"]), "Cafe\u0301 plan");
  EXPECT_EQ(range["utf16Length"], 10);

  const ProcessResult folder = run({"files", "in:papers", "ext:pdf", "--limit", "1", "--json"});
  ASSERT_EQ(folder.exitCode, 0) << folder.err;
  const nlohmann::json inFolder = nlohmann::json::parse(folder.out)["files"][0]["why"];
  EXPECT_EQ(inFolder["kind"], "folder");
  const std::string text = inFolder["text"];
  EXPECT_TRUE(has(text, "in folder ") && has(text, "/docs/papers \u00B7 pdf")) << text;
  ASSERT_EQ(inFolder["ranges"].size(), 1u);
  EXPECT_EQ(text.substr(inFolder["ranges"][0]["start"], inFolder["ranges"][0]["length"]), "papers");

  // Piped human output stays one line per file, without the reason.
  const ProcessResult human = run({"files", "cafe plan"});
  ASSERT_EQ(human.exitCode, 0) << human.err;
  EXPECT_FALSE(has(human.out, "\u00B7")) << human.out;
  EXPECT_FALSE(has(human.out, "\x1b")) << human.out;
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
