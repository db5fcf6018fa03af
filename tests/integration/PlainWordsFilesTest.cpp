// pallix files with queries in plain words, end to end: the executable
// indexes real files whose modification dates and sizes the test sets, then
// answers "pdfs from last week" and "big videos" through the filters they
// compile to (said on stderr), keeps a real-looking file name a name search,
// and tries both readings of words that may be a name, the exact name first.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/platform/linux/ChildProcess.h"
#include "app/search/PlainWordsDates.h"
#include "app/search/QueryParser.h"
#include "core/Clock.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void setModified(const std::string& path, Date date) {
  const auto since = date - std::chrono::system_clock::now();
  fs::last_write_time(
      path, fs::file_time_type::clock::now() + std::chrono::duration_cast<fs::file_time_type::duration>(since));
}

class PlainWordsFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new testing::TempDir();
    const DateContext now = DateContext::current(SystemClock::instance());
    const DateRange lastWeek = relativeDateRange(RelativeDate::lastWeek, now);
    const Date middleOfLastWeek = lastWeek.start + (lastWeek.end - lastWeek.start) / 2;
    setModified(home_->write("docs/lastweek-notes.pdf", "%PDF"), middleOfLastWeek);
    setModified(home_->write("docs/lastweek-clip.mp4", "clip"), middleOfLastWeek);
    setModified(home_->write("docs/old-notes.pdf", "%PDF"), now.now - std::chrono::hours(24 * 60));
    home_->write("docs/fresh-notes.pdf", "%PDF");
    // Sparse: the catalog records the size, the disk holds nothing.
    fs::resize_file(home_->write("docs/holiday.mkv", ""), 150 * 1024 * 1024);
    home_->write("docs/short.mkv", "tiny");
    home_->write("docs/march madness.mp4", "final four");
    home_->write("docs/march madness", "a file of that very name");
    const std::vector<std::string> march{"march"};
    const std::string start = PlainWordsDates::read(march, now)->span.start;
    setModified(home_->write("docs/madness-bracket.txt", "picks"),
                *QueryParser::parseDate(start, now) + std::chrono::hours(24 * 14));
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
testing::TempDir* PlainWordsFilesTest::home_ = nullptr;

TEST_F(PlainWordsFilesTest, PdfsFromLastWeekFindOnlyLastWeeksPdfs) {
  const ProcessResult r = run({"files", "pdfs", "from", "last", "week"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_TRUE(has(r.err, "searching: ext:pdf modified:lastweek\n")) << r.err;
  EXPECT_TRUE(has(r.out, "lastweek-notes.pdf")) << r.out;
  EXPECT_FALSE(has(r.out, "lastweek-clip.mp4")) << r.out;
  EXPECT_FALSE(has(r.out, "old-notes.pdf")) << r.out;
  EXPECT_FALSE(has(r.out, "fresh-notes.pdf")) << r.out;
}

TEST_F(PlainWordsFilesTest, BigVideosAreTheVideosOverAHundredMegabytes) {
  const ProcessResult r = run({"files", "big videos"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_TRUE(has(r.err, "searching: type:video size:>100mb\n")) << r.err;
  EXPECT_TRUE(has(r.out, "holiday.mkv")) << r.out;
  EXPECT_FALSE(has(r.out, "short.mkv")) << r.out;
}

TEST_F(PlainWordsFilesTest, AFileNameStaysANameSearchAndNothingIsSaid) {
  const ProcessResult r = run({"files", "march madness.mp4"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_FALSE(has(r.err, "searching:")) << r.err;
  EXPECT_TRUE(has(r.out.substr(0, r.out.find('\n')), "exact")) << r.out;
  EXPECT_TRUE(has(r.out.substr(0, r.out.find('\n')), "march madness.mp4")) << r.out;
  const ProcessResult power = run({"files", "ext:pdf"});
  EXPECT_FALSE(has(power.err, "searching:")) << power.err;
}

TEST_F(PlainWordsFilesTest, WordsThatMayBeANameAreSearchedBothWaysTheExactNameFirst) {
  const ProcessResult r = run({"files", "march", "madness"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_TRUE(has(r.err, "searching: \"march madness\" by name first, then after:")) << r.err;
  const std::string first = r.out.substr(0, r.out.find('\n'));
  EXPECT_TRUE(has(first, "exact") && has(first, "/march madness") && !has(first, ".mp4")) << r.out;
  EXPECT_TRUE(has(r.out, "madness-bracket.txt")) << r.out;
  EXPECT_LT(r.out.find("/march madness\n"), r.out.find("madness-bracket.txt")) << r.out;
}

TEST_F(PlainWordsFilesTest, TheTerminalPanelShowsTheChipsAndBackspaceTakesTheLastBack) {
  if (findInPath("tmux").empty()) GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
  testing::Tmux tmux(home_->path());
  ASSERT_TRUE(tmux.start("panel", "env PALLIX_HOME=" + home_->path() + " PALLIX_LOG=off " +
                                      std::string(PALLIX_EXECUTABLE) + " panel --mode files"));
  ASSERT_TRUE(tmux.waitForScreen("panel", {"[Files]"})) << tmux.screen("panel");
  tmux.sendKeys("panel", {"-l", "pdfs from last week"});
  ASSERT_TRUE(tmux.waitForScreen("panel", {"> [ext:pdf] [modified:lastweek]", "lastweek-notes.pdf"}))
      << tmux.screen("panel");
  EXPECT_FALSE(has(tmux.screen("panel"), "old-notes.pdf")) << tmux.screen("panel");
  tmux.sendKeys("panel", {"BSpace"});
  EXPECT_TRUE(testing::pollUntil([&] {
    const std::string screen = tmux.screen("panel");
    return has(screen, "> [ext:pdf]") && !has(screen, "[modified:lastweek]") && has(screen, "old-notes.pdf");
  })) << tmux.screen("panel");
  tmux.sendKeys("panel", {"Escape"});
  EXPECT_EQ(tmux.waitForExit("panel"), 0);
}

}  // namespace
}  // namespace pallix
