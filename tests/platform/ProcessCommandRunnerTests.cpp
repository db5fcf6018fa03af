#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/platform/linux/ProcessCommandRunner.h"
#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::failsWith;
using testing::TempDir;

TEST(ProcessCommandRunner, FindsExecutablesInPathOrByAbsolutePath) {
  ProcessCommandRunner runner;
  auto sh = runner.findExecutable("sh");
  ASSERT_TRUE(sh.has_value());
  EXPECT_EQ(sh->front(), '/');
  EXPECT_EQ(runner.findExecutable("/bin/sh"), "/bin/sh");
  EXPECT_EQ(runner.findExecutable("pallix-no-such-program"), std::nullopt);
  TempDir tmp;
  std::string plain = tmp.write("plain.txt", "");
  EXPECT_EQ(runner.findExecutable(plain), std::nullopt);
  EXPECT_EQ(runner.findExecutable(tmp.path()), std::nullopt);
  EXPECT_EQ(runner.findExecutable(""), std::nullopt);
}

TEST(ProcessCommandRunner, RunCapturesOutputOfAnySizeAndExitStatus) {
  ProcessCommandRunner runner;
  auto result = runner.run({"/bin/sh", "-c", "printf 'out put'; printf err >&2; exit 3"}, seconds(30));
  ASSERT_TRUE(result.ok()) << result.error().description();
  EXPECT_EQ(result->exitStatus, 3);
  EXPECT_EQ(result->standardOutput, "out put");
  EXPECT_EQ(result->standardError, "err");

  // Arguments reach the program untouched by any shell.
  auto echoed = runner.run({"printf", "%s|", "a b", "$HOME", "*", "'q'"}, seconds(30));
  ASSERT_TRUE(echoed.ok());
  EXPECT_EQ(echoed->standardOutput, "a b|$HOME|*|'q'|");

  auto killed = runner.run({"/bin/sh", "-c", "kill -TERM $$"}, seconds(30));
  ASSERT_TRUE(killed.ok());
  EXPECT_EQ(killed->exitStatus, 128 + SIGTERM);

  // Both streams are drained at once, so large outputs cannot block the program.
  auto large = runner.run({"/bin/sh", "-c", "head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2"}, seconds(30));
  ASSERT_TRUE(large.ok());
  EXPECT_EQ(large->standardOutput.size(), 300000u);
  EXPECT_EQ(large->standardError.size(), 200000u);
}

TEST(ProcessCommandRunner, RunAndLaunchReportMissingProgramsFoldersAndTimeouts) {
  ProcessCommandRunner runner;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(failsWith(runner.run({"tail", "-f", "/dev/null"}, milliseconds(100)), "did not finish"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(failsWith(runner.run({"pallix-no-such-program"}, seconds(1)), "pallix-no-such-program"));
  EXPECT_FALSE(runner.run({}, seconds(1)).ok());
  EXPECT_TRUE(failsWith(runner.launchDetached({"pallix-no-such-program", "x"}), "pallix-no-such-program"));
  EXPECT_FALSE(runner.launchDetached({}).ok());
  // A missing working directory.
  TempDir tmp;
  LaunchOptions options;
  options.workingDirectory = tmp / "absent";
  EXPECT_TRUE(failsWith(runner.launchDetached({"/bin/true"}, options), "absent"));
}

TEST(ProcessCommandRunner, LaunchedProgramIsDetachedWithQuietStreams) {
  TempDir tmp;
  const std::string reportPath = tmp / "report";
  // A descriptor without close-on-exec must not leak into the program.
  int opened = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(opened, 0);
  const int leaky = 57;
  ASSERT_EQ(::dup2(opened, leaky), leaky);
  ::close(opened);

  std::string script =
      "i=$(readlink /proc/$$/fd/0); o=$(readlink /proc/$$/fd/1); e=$(readlink /proc/$$/fd/2); "
      "n=$(test -e /proc/$$/fd/57 && echo leaked || echo closed); s=$(cut -d' ' -f6 /proc/$$/stat); "
      "echo \"$i $o $e $n $PPID $s $(pwd) $1\" > \"$2.part\" && mv \"$2.part\" \"$2\"";
  ProcessCommandRunner runner;
  LaunchOptions options;
  options.workingDirectory = tmp.path();
  ASSERT_TRUE(runner.launchDetached({"/bin/sh", "-c", script, "sh", "arg with spaces", reportPath}, options).ok());
  ::close(leaky);
  // The report appears whole (it is renamed into place); wait for it at most 10 s.
  std::string report;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       report.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::yield()) {
    report = readFileToString(reportPath).valueOr("");
  }

  // Quiet streams, no leaked descriptor, not our child, a session of its own, its folder and its argument.
  std::istringstream in(report);
  std::string streams[3], leakedDescriptor, cwd, arg1, arg2, arg3;
  pid_t parent = 0, session = 0;
  in >> streams[0] >> streams[1] >> streams[2] >> leakedDescriptor >> parent >> session >> cwd >> arg1 >> arg2 >> arg3;
  ASSERT_FALSE(report.empty());
  for (const std::string& stream : streams) EXPECT_EQ(stream, "/dev/null") << report;
  EXPECT_EQ(leakedDescriptor, "closed") << report;
  EXPECT_NE(parent, ::getpid()) << report;
  EXPECT_NE(session, ::getsid(0)) << report;
  EXPECT_EQ(cwd + " " + arg1 + " " + arg2 + " " + arg3, tmp.path() + " arg with spaces") << report;
}

}  // namespace
}  // namespace pallix
