// The real `pallix daemon` over a temporary home with a private runtime
// folder: bytes no Pallix command sends on its socket, a client facing a
// stopped daemon, and a file name with terminal controls in the daemon's
// log. Waits are bounded polls.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "app/platform/DataDirectories.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::ProcessResult;

class AgentSocketTest : public ::testing::Test {
 protected:
  AgentSocketTest() : dirs_(DataDirectories::forHome(tmp_ / "home")) {
    tmp_.write("home/Documents/kestrel.conf", "k");
    tmp_.mkdir("xdg");
    ::mkdir((tmp_ / "run").c_str(), 0700);
    dirs_.runtime = tmp_ / "run";
    env_ = {{"PALLIX_HOME", tmp_ / "home"},
            {"HOME", tmp_ / "home"},
            {"XDG_DATA_DIRS", tmp_ / "xdg"},
            {"XDG_RUNTIME_DIR", tmp_ / "run"}};
  }
  ~AgentSocketTest() override {
    if (daemon_ && daemon_->running()) {
      daemon_->signal(SIGCONT);
      daemon_->stop();
    }
  }

  std::unique_ptr<BackgroundProcess> start(std::vector<std::string> argv, bool errorTerminal = false) {
    argv.insert(argv.begin(), PALLIX_BINARY);
    return std::make_unique<BackgroundProcess>(
        argv, env_, testing::ProcessOptions{.cleanEnvironment = true, .errorTerminal = errorTerminal});
  }
  ProcessResult run(const std::vector<std::string>& args, std::chrono::milliseconds limit = 60s) {
    return start(args)->finish(limit);
  }

  // Starts the daemon and waits until it has scanned and answers `pallix index`.
  void startDaemon(bool errorTerminal = false) {
    daemon_ = start({"daemon"}, errorTerminal);
    ASSERT_TRUE(daemon_->waitForOutput("full scan:", 60s)) << daemon_->errorOutput();
    ASSERT_TRUE(testing::pollUntil([&] { return daemonAnswersIndex(); }, 60s, 50ms)) << daemon_->errorOutput();
  }
  bool daemonAnswersIndex() {
    if (!daemon_->running()) return false;
    ProcessResult indexed = run({"index", "--json"});
    return indexed.exitCode == 0 && nlohmann::json::parse(indexed.out, nullptr, false).value("files", 0) >= 1;
  }

  // Sends `bytes` on a fresh connection to the daemon's socket, then (when
  // `waitForAnswer`) what it answers before it closes the connection.
  std::string sendRaw(const std::string& bytes, bool waitForAnswer = true) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, dirs_.socketPath().c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd);
      return "<cannot connect>";
    }
    std::thread sender([fd, &bytes] {
      std::string_view left = bytes;
      while (!left.empty()) {
        ssize_t n = ::send(fd, left.data(), left.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        left.remove_prefix(static_cast<size_t>(n));
      }
    });
    std::string answer;
    char buffer[4096];
    while (waitForAnswer) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 15000) != 1) {
        answer += "<timed out>";
        break;
      }
      ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
    sender.join();
    ::close(fd);
    return answer;
  }

  testing::TempDir tmp_;
  DataDirectories dirs_;
  testing::Environment env_;
  std::unique_ptr<BackgroundProcess> daemon_;
};

std::string refusalIn(const std::string& answer) {
  auto json = nlohmann::json::parse(answer.substr(0, answer.find('\n')), nullptr, false);
  return json.is_object() ? json.value("refused", std::string("<not a refusal>")) : "<not JSON: " + answer + ">";
}

TEST_F(AgentSocketTest, HostileRequestsAreRefusedAndTheDaemonKeepsAnswering) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  const std::pair<std::string, std::string> refused[] = {
      {"\xff\n", "not UTF-8 text (byte 0xff"},
      {"index\xc3\n", "not UTF-8 text (byte 0xc3"},
      {"\xed\xa0\x80\n", "not UTF-8"},
      {"in\x1b]0;title\x07\n", "control character 0x1b"},
      {std::string(100 * 1024, 'x'), "longer than 16384 bytes"},
      {"{\"toggle\": \"caf\xc3\"}\n", "not UTF-8"},
      {"unknown \xe6\xbc\xa2\xe5\xad\x97 request\n", "unknown request"},
  };
  for (const auto& [bytes, why] : refused) {
    SCOPED_TRACE(::testing::PrintToString(bytes.substr(0, 40)));
    EXPECT_NE(refusalIn(sendRaw(bytes)).find(why), std::string::npos);
    ASSERT_TRUE(daemon_->running()) << daemon_->errorOutput();
  }
  // A request cut short by a client that leaves.
  sendRaw("ind\xe6", /*waitForAnswer=*/false);
  EXPECT_TRUE(daemonAnswersIndex()) << daemon_->errorOutput();
  daemon_->signal(SIGTERM);
  ProcessResult stopped = daemon_->finish(30s);
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

// A stopped daemon still has its socket connected by the kernel; the
// clients give up within their bound and say what happened.
TEST_F(AgentSocketTest, IndexAndToggleGiveUpOnAStoppedDaemonAndSaySo) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  daemon_->signal(SIGSTOP);
  const auto started = std::chrono::steady_clock::now();
  ProcessResult indexed = run({"index"}, 30s);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(indexed.exitCode, 3) << indexed.err;
  EXPECT_NE(indexed.err.find("has sent nothing for 5 s; it is stopped or hung"), std::string::npos) << indexed.err;
  EXPECT_LT(took, 15s);
  ProcessResult toggled = run({"toggle"}, 30s);
  EXPECT_EQ(toggled.exitCode, 3) << toggled.err;
  EXPECT_NE(toggled.err.find("it is stopped or hung"), std::string::npos) << toggled.err;
  daemon_->signal(SIGCONT);
  EXPECT_TRUE(daemonAnswersIndex()) << daemon_->errorOutput();
}

// The daemon logs each new file to its terminal; a name that would retitle
// the terminal and clear the screen is written as visible escapes.
TEST_F(AgentSocketTest, FileNamesInTheDaemonsLogCarryNoRawEscapes) {
  ASSERT_NO_FATAL_FAILURE(startDaemon(/*errorTerminal=*/true));
  tmp_.write("home/Documents/\x1b]0;title\x07\x1b[2Jowned.txt", "o");
  EXPECT_TRUE(daemon_->waitForOutput("owned.txt", 60s)) << daemon_->errorOutput();
  daemon_->signal(SIGTERM);
  ProcessResult stopped = daemon_->finish(30s);
  EXPECT_EQ(stopped.exitCode, 0);
  EXPECT_EQ(stopped.err.find('\x1b'), std::string::npos) << ::testing::PrintToString(stopped.err);
  EXPECT_EQ(stopped.err.find('\x07'), std::string::npos);
  EXPECT_NE(stopped.err.find("\\e]0;title\\a\\e[2Jowned.txt"), std::string::npos) << stopped.err;
}

// Another user got to a shared runtime folder first and listens at the
// name the victim's agent would take, answering every request. The
// victim's commands refuse the folder, and then the socket, instead of
// printing the forged answer.
TEST_F(AgentSocketTest, ASocketPlantedByAnotherUserIsNotTalkedTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a process as another user needs root";
  constexpr uid_t kOtherUser = 65534;
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755), 0);
  const std::string shared = tmp_.mkdir("shared");
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  env_["XDG_RUNTIME_DIR"] = shared;
  dirs_.runtime = shared;
  const std::string forger =
      "import socket, sys\n"
      "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(8)\n"
      "print('ready', flush=True)\n"
      "while True:\n"
      "    c, _ = s.accept(); c.recv(4096)\n"
      "    c.sendall(b'{\"visible\": true, \"intent\": \"standard\"}\\n'); c.close()\n";
  BackgroundProcess planted({"/usr/bin/python3", "-c", forger, dirs_.socketPath()}, {},
                            testing::ProcessOptions{.cleanEnvironment = true, .uid = kOtherUser});
  ASSERT_TRUE(planted.waitForOutput("ready", 20s)) << planted.errorOutput();

  ProcessResult toggled = run({"toggle"}, 30s);
  EXPECT_EQ(toggled.exitCode, 3) << toggled.out << toggled.err;
  EXPECT_EQ(toggled.out.find("Panel shown"), std::string::npos) << toggled.out;
  EXPECT_NE(toggled.err.find("is writable by other users (mode 1777)"), std::string::npos) << toggled.err;

  // The folder closed to others, the socket in it is still the other user's.
  ASSERT_EQ(::chmod(shared.c_str(), 0755), 0);
  toggled = run({"toggle"}, 30s);
  EXPECT_EQ(toggled.exitCode, 3) << toggled.out << toggled.err;
  EXPECT_EQ(toggled.out.find("Panel shown"), std::string::npos) << toggled.out;
  EXPECT_NE(toggled.err.find("belongs to uid 65534, not to uid 0"), std::string::npos) << toggled.err;
  planted.stop();
}

}  // namespace
}  // namespace pallix
