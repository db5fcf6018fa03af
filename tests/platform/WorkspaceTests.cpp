#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/platform/CommandRunner.h"
#include "app/platform/linux/LinuxWorkspace.h"
#include "testing/RecordingCommandRunner.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::failsWith;
using testing::TempDir;
using Argv = std::vector<std::string>;

class LinuxWorkspaceTest : public ::testing::Test {
 protected:
  LinuxWorkspaceTest() {
    dirs_ = DataDirectories::forHome(tmp_.path());
    dirs_.systemDataDirs = {tmp_ / "system"};
    runner_.addExecutable("xdg-open");
  }

  LinuxWorkspace workspace(bool busReachable = true) {
    return LinuxWorkspace(runner_, dirs_, {.sessionBusReachable = [busReachable] { return busReachable; }});
  }

  std::string userApp(const std::string& relative, const std::string& body) {
    return tmp_.write(".local/share/applications/" + relative, "[Desktop Entry]\nType=Application\n" + body);
  }

  TempDir tmp_;
  DataDirectories dirs_;
  RecordingCommandRunner runner_;
};

// --- Launching applications -------------------------------------------------------

TEST_F(LinuxWorkspaceTest, LaunchesADesktopEntryWithExpandedArgvInItsFolder) {
  std::string path = userApp("org.example.Viewer.desktop",
                             "Name=Viewer\nIcon=viewer-icon\nPath=/srv/work\n"
                             "Exec=\"/opt/My Viewer/viewer\" --class=%c %i %U --k=%k\n");
  auto ws = workspace();
  ASSERT_TRUE(ws.launchApplication({path, "org.example.Viewer.desktop"}).ok());
  auto calls = runner_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, RecordingCommandRunner::Kind::launch);
  EXPECT_EQ(calls[0].argv, (Argv{"/opt/My Viewer/viewer", "--class=Viewer", "--icon", "viewer-icon", "--k=" + path}));
  EXPECT_EQ(calls[0].options.workingDirectory, "/srv/work");
}

TEST_F(LinuxWorkspaceTest, TerminalApplicationsRunInsideATerminal) {
  std::string path = userApp("top.desktop", "Name=Top\nExec=htop --tree\nTerminal=true\n");
  auto ws = workspace();
  EXPECT_TRUE(failsWith(ws.launchApplication({path, ""}), "x-terminal-emulator"));
  EXPECT_TRUE(runner_.calls().empty());

  runner_.addExecutable("x-terminal-emulator");
  ASSERT_TRUE(ws.launchApplication({path, ""}).ok());
  EXPECT_EQ(runner_.argvs(), (std::vector<Argv>{{"x-terminal-emulator", "-e", "htop", "--tree"}}));
}

TEST_F(LinuxWorkspaceTest, FindsTheEntryForABundleIdentifierByPrecedence) {
  tmp_.write("system/applications/kde/okular.desktop", "[Desktop Entry]\nName=Okular\nExec=system-okular\n");
  auto ws = workspace();
  ASSERT_TRUE(ws.launchApplication({"", "kde-okular.desktop"}).ok());
  userApp("kde-okular.desktop", "Name=Okular\nExec=user-okular %f\n");
  ASSERT_TRUE(ws.launchApplication({"", "kde-okular.desktop"}).ok());
  EXPECT_EQ(runner_.argvs(), (std::vector<Argv>{{"system-okular"}, {"user-okular"}}));

  EXPECT_TRUE(failsWith(ws.launchApplication({"", "org.absent.App.desktop"}), "org.absent.App.desktop"));
  EXPECT_EQ(ws.findDesktopFile("../escape.desktop"), std::nullopt);
}

TEST_F(LinuxWorkspaceTest, ReportsEntriesThatCannotRun) {
  auto ws = workspace();
  runner_.setLaunchFailure("delta", Error::fromErrno("Cannot launch /usr/bin/delta", ENOENT));
  const struct {
    const char* file;
    const char* body;
    const char* fragment;
  } cases[] = {
      {"a.desktop", "Name=Alpha\n", "Cannot launch Alpha"},
      {"a.desktop", "Name=Alpha\n", "has no Exec"},
      {"c.desktop", "Name=Gamma\nExec=gamma \"open\n", "Cannot launch Gamma"},
      {"e.desktop", "Name=Epsilon\nTryExec=epsilon\nExec=epsilon\n", "epsilon is not installed"},
      {"d.desktop", "Name=Delta\nExec=delta\n", "Cannot launch Delta"},
  };
  for (const auto& c : cases) EXPECT_TRUE(failsWith(ws.launchApplication({userApp(c.file, c.body), ""}), c.fragment));
  Status corrupt = ws.launchApplication({tmp_.write("b.desktop", "\x01\x02 garbage"), ""});
  ASSERT_FALSE(corrupt.ok());
  EXPECT_EQ(corrupt.error().domain(), "DesktopEntryError");
  EXPECT_EQ(runner_.calls().size(), 1u);  // only Delta got as far as launching
}

TEST_F(LinuxWorkspaceTest, OtherApplicationPathsRunDirectlyOrThroughXdgOpen) {
  auto ws = workspace();
  std::string bundle = tmp_.mkdir("Apps/Legacy.app");
  std::string tool = tmp_.write("bin/tool.AppImage", "#!/bin/sh\n");
  ::chmod(tool.c_str(), 0755);
  runner_.addExecutable(tool);
  ASSERT_TRUE(ws.launchApplication({bundle, "com.example.legacy"}).ok());
  ASSERT_TRUE(ws.launchApplication({tool, ""}).ok());
  auto calls = runner_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].argv, (Argv{"xdg-open", bundle}));
  EXPECT_EQ(calls[1].argv, (Argv{tool}));
  EXPECT_EQ(calls[1].options.workingDirectory, tmp_ / "bin");
  EXPECT_FALSE(ws.launchApplication({tmp_ / "gone.app", ""}).ok());
}

// --- Files and URLs ----------------------------------------------------------------

TEST_F(LinuxWorkspaceTest, OpensFilesAndUrlsWithXdgOpen) {
  auto ws = workspace();
  std::string file = tmp_.write("docs/Report 2024.pdf", "%PDF");
  ASSERT_TRUE(ws.openFile(file).ok());
  ASSERT_TRUE(ws.openURL("https://example.com/a?b=c").ok());
  ASSERT_TRUE(ws.openURL("sms://open?message-guid=ABC").ok());
  EXPECT_EQ(runner_.argvs(), (std::vector<Argv>{{"xdg-open", file},
                                                {"xdg-open", "https://example.com/a?b=c"},
                                                {"xdg-open", "sms://open?message-guid=ABC"}}));
  EXPECT_FALSE(ws.openFile(tmp_ / "missing.txt").ok());
  EXPECT_FALSE(ws.openURL("not a url").ok());
  EXPECT_FALSE(ws.openURL(":nothing").ok());
  EXPECT_FALSE(ws.openURL("1http://x").ok());
  EXPECT_EQ(runner_.calls().size(), 3u);

  RecordingCommandRunner bare;  // without xdg-open
  EXPECT_TRUE(failsWith(LinuxWorkspace(bare, dirs_).openFile(file), "xdg-utils"));
  EXPECT_TRUE(bare.calls().empty());
}

// --- Revealing ------------------------------------------------------------------------

// Revealing asks the file manager service over D-Bus; when it is not there,
// or there is no session bus (then without a D-Bus attempt), the folder opens.
TEST_F(LinuxWorkspaceTest, RevealsThroughTheFileManagerServiceElseOpensTheFolder) {
  runner_.addExecutable("gdbus");
  auto ws = workspace(true);
  std::string file = tmp_.write("It's here/a b.txt", "");
  ASSERT_TRUE(ws.revealInFileManager(file).ok());
  std::string uri = "file://" + tmp_.path() + "/It%27s%20here/a%20b.txt";
  const Argv showItems({"gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1", "--object-path",
                        "/org/freedesktop/FileManager1", "--method", "org.freedesktop.FileManager1.ShowItems",
                        "['" + uri + "']", ""});
  ASSERT_EQ(runner_.calls().size(), 1u);
  EXPECT_EQ(runner_.calls()[0].kind, RecordingCommandRunner::Kind::run);
  EXPECT_EQ(runner_.calls()[0].argv, showItems);

  runner_.setRunResult("gdbus", CommandOutput{1, "", "Error: GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown"});
  ASSERT_TRUE(ws.revealInFileManager(file).ok());
  auto noBus = workspace(false);
  ASSERT_TRUE(noBus.revealInFileManager(file).ok());
  const std::string folder = tmp_ / "It's here";
  EXPECT_EQ(runner_.argvs(), (std::vector<Argv>{showItems, showItems, {"xdg-open", folder}, {"xdg-open", folder}}));
  EXPECT_FALSE(noBus.revealInFileManager(tmp_ / "vanished").ok());
}

}  // namespace
}  // namespace pallix
