// The pallix executable end to end over a catalog of hostile file names:
// what reaches a real terminal (tmux), what --json prints, and that opening
// a result is remembered in the catalog and reported.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/linux/ChildProcess.h"
#include "core/Strings.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

using nlohmann::json;

// Every hostile name holds "zq" so that one query finds them all.
struct HostileName {
  std::string raw;
  std::string shown;  // as a person sees it
};
const std::vector<HostileName> kHostileNames = {
    {"zq-title\x1b]0;pwned\x07.txt", "zq-title\\e]0;pwned\\a.txt"},
    {"zq-cr\rover.txt", "zq-cr\\rover.txt"},
    {"zq-nl\nsplit.txt", "zq-nl\\nsplit.txt"},
    {"zq-c1\xc2\x9b"
     "2J.txt",
     "zq-c1\\u{9b}2J.txt"},
    {"zq-bad\xff"
     "byte.txt",
     "zq-bad\\xffbyte.txt"},
};

class CliIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& name : kHostileNames) home.write("docs/" + name.raw, "x");
    home.write("docs/README.FHS", "x");
    home.write("docs/README.Debian.gz", "x");
    home.write("docs/work/a/notes.txt", "x");
    home.write("docs/work/b/notes.txt", "x");
    home.write(".local/share/applications/zqtool.desktop",
               "[Desktop Entry]\nType=Application\nName=Zqtool\nExec=true\n");
    home.mkdir("system-data");
    ASSERT_EQ(pallix({"folders", "add", home / "docs"}).exitCode, 0);
    ProcessResult indexed = pallix({"index"});
    ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
  }

  std::map<std::string, std::string> environment() const {
    return {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"XDG_DATA_DIRS", home / "system-data"}};
  }
  ProcessResult pallix(std::vector<std::string> args) const {
    args.insert(args.begin(), PALLIX_BINARY);
    return runProcess(args, environment());
  }
  // A shell command line that runs pallix with this test's environment.
  std::string commandLine(const std::string& args) const {
    std::string line = "env";
    for (const auto& [name, value] : environment()) line += " " + name + "=" + value;
    return line + " " + PALLIX_BINARY + " " + args;
  }

  TempDir home;
};

void expectEscapedRows(const std::string& screen) {
  for (const auto& name : kHostileNames) {
    EXPECT_NE(screen.find(name.shown), std::string::npos) << name.shown << " not on screen:\n" << screen;
  }
  EXPECT_EQ(screen.find("\x1b"), std::string::npos);
  // Neither a CR nor a LF cut a row: every row naming a hostile file shows its folder too.
  for (const std::string& row : splitString(screen, '\n')) {
    if (row.find("zq-") != std::string::npos) {
      EXPECT_NE(row.find("/docs/zq-"), std::string::npos) << row;
    }
  }
}

TEST_F(CliIntegrationTest, HumanOutputReachesTheTerminalEscaped) {
  if (findInPath("tmux").empty()) GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
  Tmux tmux(home.path());
  const std::string commands[] = {"files zq", "search zq files", "catalog --type file"};
  for (const std::string& command : commands) {
    const std::string session = "s" + std::to_string(&command - commands);
    ASSERT_TRUE(tmux.start(session, commandLine(command)));
    const std::string titleBefore = tmux.format(session, "#{pane_title}");
    ASSERT_EQ(tmux.waitForExit(session), 0) << command;
    SCOPED_TRACE(command);
    expectEscapedRows(tmux.screen(session));
    EXPECT_EQ(tmux.format(session, "#{pane_title}"), titleBefore);
  }
}

TEST_F(CliIntegrationTest, TerminalPanelShowsNamesEscapedAndAsTheyAre) {
  if (findInPath("tmux").empty()) GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
  Tmux tmux(home.path());
  ASSERT_TRUE(tmux.start("panel", commandLine("panel --mode files")));
  const std::string titleBefore = tmux.format("panel", "#{pane_title}");
  ASSERT_TRUE(tmux.waitForScreen("panel", {"[Files]"}));
  tmux.sendKeys("panel", {"-l", "zq"});
  ASSERT_TRUE(tmux.waitForScreen("panel", {kHostileNames.back().shown})) << tmux.screen("panel");
  for (const auto& name : kHostileNames) {
    ASSERT_TRUE(tmux.waitForScreen("panel", {name.shown})) << name.shown << "\n" << tmux.screen("panel");
  }
  expectEscapedRows(tmux.screen("panel"));
  EXPECT_EQ(tmux.format("panel", "#{pane_title}"), titleBefore);

  tmux.sendKeys("panel", {"C-u"});
  tmux.sendKeys("panel", {"-l", "readme"});
  EXPECT_TRUE(tmux.waitForScreen("panel", {"README.FHS ", "README.Debian.gz "})) << tmux.screen("panel");
  tmux.sendKeys("panel", {"C-u"});
  tmux.sendKeys("panel", {"-l", "notes"});
  EXPECT_TRUE(tmux.waitForScreen("panel", {"notes.txt (a) ", "notes.txt (b) "})) << tmux.screen("panel");
  tmux.sendKeys("panel", {"Escape"});
  EXPECT_EQ(tmux.waitForExit("panel"), 0);
}

TEST_F(CliIntegrationTest, NamesKeepCaseAndDotsAndTellEqualNamesApart) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {{"search", "readme", "files"}, {"README.FHS ", "README.Debian.gz "}},
      {{"search", "notes", "files"}, {"notes.txt (a) ", "notes.txt (b) "}},
      {{"catalog", "--type", "file"}, {"README.FHS ", "notes.txt (a) ", "notes.txt (b) "}},
  };
  for (const Case& c : cases) {
    ProcessResult r = pallix(c.args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const auto& text : c.shown) EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
  }
}

TEST_F(CliIntegrationTest, JsonIsAloneOnStdoutAndExact) {
  ProcessResult files = pallix({"files", "zq", "--json"});
  ASSERT_EQ(files.exitCode, 0) << files.err;
  json parsed = json::parse(files.out);  // One document, nothing else.
  std::set<std::string> paths;
  for (const auto& r : parsed["files"]) paths.insert(r["path"].get<std::string>());
  for (const auto& name : kHostileNames) {
    if (name.raw.find('\xff') != std::string::npos) continue;  // JSON cannot carry bytes that are not UTF-8.
    EXPECT_TRUE(paths.count(home / "docs/" + name.raw)) << name.shown;
  }

  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string note;  // expected on stderr
  };
  const Case cases[] = {
      {{"search", "zqtool", "--json", "--open", "1"}, 0, "Launched Zqtool"},
      {{"files", "readme", "--json", "--open", "1"}, 1, "could not open"},  // No file opener in a test.
      {{"search", "nothingmatchesthis", "--json"}, 1, ""},
      {{"files", "nothingmatchesthis", "--json"}, 1, ""},
      {{"search", "nothingmatchesthis", "--json", "--open", "1"}, 1, "found nothing to open"},
  };
  for (const Case& c : cases) {
    ProcessResult r = pallix(c.args);
    const std::string what = joinStrings(c.args, " ");
    if (c.args[0] == "files" && c.exitCode == 1 && r.exitCode == 0) continue;  // A desktop with xdg-open.
    EXPECT_EQ(r.exitCode, c.exitCode) << what << ": " << r.err;
    json document = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << what << " printed:\n" << r.out;
    EXPECT_NE(r.err.find(c.note), std::string::npos) << what << ": " << r.err;
  }
}

TEST_F(CliIntegrationTest, OpeningAnAppRecordsItsLastUse) {
  auto lastUsedOfTool = [&] {
    json apps = json::parse(pallix({"catalog", "--type", "app", "--json"}).out);
    for (const auto& app : apps) {
      if (endsWith(app["path"].get<std::string>(), "/zqtool.desktop")) return app["lastUsed"];
    }
    return json("not catalogued");
  };
  EXPECT_TRUE(lastUsedOfTool().is_null());
  ProcessResult search = pallix({"search", "zqtool"});
  ASSERT_EQ(search.exitCode, 0) << search.err;
  ProcessResult open = pallix({"open", "1"});
  EXPECT_EQ(open.exitCode, 0) << open.err;
  EXPECT_NE(open.out.find("Launched Zqtool"), std::string::npos) << open.out;
  EXPECT_TRUE(lastUsedOfTool().is_string()) << lastUsedOfTool();
  // The launch is reported as the panel reports it (telemetry is on by default).
  std::ifstream telemetry(home / ".local/share/Pallix/Telemetry.jsonl");
  const std::string events((std::istreambuf_iterator<char>(telemetry)), std::istreambuf_iterator<char>());
  EXPECT_NE(events.find("ContentViewModel.activateApp"), std::string::npos) << events;
}

TEST_F(CliIntegrationTest, VersionComesFromTheProject) {
  ProcessResult r = pallix({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string("pallix ") + PALLIX_EXPECTED_VERSION + "\n");
}

}  // namespace
}  // namespace pallix::testing
