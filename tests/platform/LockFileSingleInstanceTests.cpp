#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "app/platform/linux/LockFileSingleInstance.h"
#include "core/FileUtil.h"
#include "tests/platform/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace pallix {
namespace {

using testing::failsWith;
using testing::TempDir;

LockFileSingleInstance::Options optionsIn(const TempDir& tmp, Duration grace = seconds(10)) {
  return {tmp / "run/pallix.lock", tmp / "run/pallix.socket", grace};
}

std::string lockContents(const TempDir& tmp) {
  return readFileToString(tmp / "run/pallix.lock").valueOr("<none>");
}

// The count of instances asked to end, or the error.
std::string acquire(
    LockFileSingleInstance& instance, std::function<void()> onTerminateRequest = [] {}) {
  auto count = instance.acquire(std::move(onTerminateRequest));
  return count.ok() ? std::to_string(count.value()) : "error: " + count.error().description();
}

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  return address;
}

// Lock and socket files left behind by a crash do not block the first
// instance; a second asks it to end and takes over, and the handover repeats.
TEST(LockFileSingleInstance, FirstInstanceRecordsItsPidAndASecondAsksItToEndAndTakesOver) {
  TempDir tmp;
  tmp.write("run/pallix.lock", "999999\n");
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = unixAddress(tmp / "run/pallix.socket");
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(stale);

  LockFileSingleInstance first(optionsIn(tmp));
  std::atomic<int> requests{0};
  auto quit = [&] { ++requests, first.release(); };  // release is what quitting does
  ASSERT_EQ(acquire(first, quit), "0");
  EXPECT_TRUE(first.isHolder());
  EXPECT_EQ(lockContents(tmp), std::to_string(::getpid()) + "\n");
  EXPECT_EQ(acquire(first, quit), "0");  // acquiring again is harmless
  EXPECT_EQ(requests.load(), 0);
  LockFileSingleInstance second(optionsIn(tmp));
  ASSERT_EQ(acquire(second), "1");
  EXPECT_EQ(requests.load(), 1);
  EXPECT_FALSE(first.isHolder());
  EXPECT_TRUE(second.isHolder());

  std::atomic<int> secondRequests{0};
  second.release();
  ASSERT_EQ(acquire(second, [&] { ++secondRequests, second.release(); }), "0");
  ASSERT_EQ(acquire(first), "1");
  EXPECT_EQ(secondRequests.load(), 1);
}

TEST(LockFileSingleInstance, IgnoresUnknownMessages) {
  TempDir tmp;
  LockFileSingleInstance holder(optionsIn(tmp));
  std::promise<void> asked;  // a second request would throw
  ASSERT_EQ(acquire(holder, [&] { asked.set_value(); }), "0");
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = unixAddress(tmp / "run/pallix.socket");
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const char* messages = "hello\nterminat\nTERMINATE\n terminate \n";
  ASSERT_GT(::send(fd, messages, std::strlen(messages), MSG_NOSIGNAL), 0);
  // The reply to the one valid line proves the others were read and ignored.
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char reply[8] = {};
  EXPECT_EQ(::read(fd, reply, sizeof(reply) - 1), 3);
  EXPECT_STREQ(reply, "ok\n");
  EXPECT_EQ(asked.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ::close(fd);
}

// Starts the helper program (in `mode`) over the instance files in `tmp`;
// its pid once it has reported readiness, else -1.
pid_t startHelper(const TempDir& tmp, std::string mode) {
  auto options = optionsIn(tmp);
  tmp.mkdir("run");
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string helper = PALLIX_SINGLE_INSTANCE_HELPER;
  std::vector<char*> argv = {helper.data(), options.lockPath.data(), options.socketPath.data(), mode.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  pollfd p{out[0], POLLIN, 0};
  char ready[16] = {};
  const bool started = spawned == 0 && ::poll(&p, 1, 20000) == 1 && ::read(out[0], ready, sizeof(ready) - 1) > 0;
  ::close(out[0]);
  return started && std::string(ready) == "ready\n" ? pid : -1;
}

// Another process that listens quits by itself when asked over the socket; a
// holder that does not listen gets SIGTERM, and SIGKILL when it ignores SIGTERM
// for the grace period.
TEST(LockFileSingleInstance, AnotherProcessQuitsWhenAskedOrIsSignalledWhenItDoesNotListen) {
  const std::tuple<const char*, Duration, int> cases[] = {{"listening", seconds(10), 0},
                                                          {"hung", seconds(10), SIGTERM},
                                                          {"hung-ignoring-term", milliseconds(100), SIGKILL}};
  for (auto [mode, grace, signal] : cases) {
    SCOPED_TRACE(mode);
    TempDir tmp;
    pid_t holder = startHelper(tmp, mode);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(lockContents(tmp), std::to_string(holder) + "\n");
    LockFileSingleInstance newcomer(optionsIn(tmp, grace));
    ASSERT_EQ(acquire(newcomer), "1");
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    if (signal == 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;  // quit by itself, not signalled
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    }
    EXPECT_EQ(lockContents(tmp), std::to_string(::getpid()) + "\n");
  }
}

TEST(LockFileSingleInstance, ExplainsAnUnusableLockOrSocketPathAndAHolderThatDoesNotEnd) {
  TempDir tmp;
  LockFileSingleInstance::Options options = optionsIn(tmp);
  options.socketPath = tmp.path() + "/" + std::string(120, 's');
  EXPECT_TRUE(failsWith(LockFileSingleInstance(options).acquire([] {}), "too long"));

  tmp.write("file", "");
  options = optionsIn(tmp);
  options.lockPath = tmp / "file/pallix.lock";  // parent is a file
  EXPECT_FALSE(LockFileSingleInstance(options).acquire([] {}).ok());

  // A holder that refuses to end, in this very process: never signalled.
  options = optionsIn(tmp, milliseconds(20));
  LockFileSingleInstance holder(options);
  ASSERT_EQ(acquire(holder), "0");
  EXPECT_TRUE(failsWith(LockFileSingleInstance(options).acquire([] {}), "pid " + std::to_string(::getpid())));
  EXPECT_TRUE(holder.isHolder());

  // A held lock with garbage instead of a pid.
  ASSERT_TRUE(writeFileAtomically(tmp / "run/other.lock", "not a pid").ok());
  int fd = ::open((tmp / "run/other.lock").c_str(), O_RDWR);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  options.lockPath = tmp / "run/other.lock";
  options.socketPath = tmp / "run/nobody.socket";
  EXPECT_TRUE(failsWith(LockFileSingleInstance(options).acquire([] {}), "no valid pid"));
  ::close(fd);
}

// Requests other than "terminate" reach the handler, whose reply (from any
// thread) answers them; a dropped reply ends the connection unanswered.
TEST(LockFileSingleInstance, AnswersRequestsThroughTheHandler) {
  TempDir tmp;
  LockFileSingleInstance holder(optionsIn(tmp));
  std::vector<std::thread> repliers;
  holder.setRequestHandler([&repliers](const std::string& request, SingleInstance::Reply reply) {
    if (request == "drop") return;
    repliers.emplace_back([request, reply] { reply("done " + request); });
  });
  ASSERT_EQ(acquire(holder), "0");
  EXPECT_EQ(std::filesystem::status(tmp / "run/pallix.socket").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  EXPECT_EQ(LockFileSingleInstance::request(tmp / "run/pallix.socket", "index").valueOr("error"), "done index");
  EXPECT_TRUE(failsWith(LockFileSingleInstance::request(tmp / "run/pallix.socket", "drop"), "without answering"));
  for (auto& t : repliers) t.join();
  holder.release();
  EXPECT_TRUE(failsWith(LockFileSingleInstance::request(tmp / "run/pallix.socket", "index"), "No Pallix agent"));
}

// Each data directory has its own agent: the lock lives beside the data, the
// socket in $XDG_RUNTIME_DIR under a name unique to the data directory.
TEST(LockFileSingleInstance, SocketLivesInTheRuntimeDirectoryPerDataDirectory) {
  DataDirectories a = DataDirectories::forHome("/home/a");
  DataDirectories b = DataDirectories::forHome("/home/b");
  EXPECT_EQ(LockFileSingleInstance::optionsFor(a).socketPath, "/home/a/.local/share/Pallix/pallix.socket");
  a.runtime = b.runtime = "/run/user/7";
  const std::string socketA = LockFileSingleInstance::optionsFor(a).socketPath;
  EXPECT_EQ(socketA.rfind("/run/user/7/pallix-", 0), 0u) << socketA;
  EXPECT_NE(socketA, LockFileSingleInstance::optionsFor(b).socketPath);
  EXPECT_EQ(LockFileSingleInstance::optionsFor(a).lockPath, "/home/a/.local/share/Pallix/pallix.lock");
  testing::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7"), home("PALLIX_HOME", "/home/a");
  EXPECT_EQ(DataDirectories::fromEnvironment().socketPath(), socketA);
}

}  // namespace
}  // namespace pallix
