// Hostile clients and foreign sockets at the real instance socket: bytes no
// Pallix command sends, clients that stall or leave halfway, a holder or a
// client of another uid, and socket folders another user could write into.
// Every wait is a bounded poll on the socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/SocketOwnership.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

struct stat statOf(mode_t mode, uid_t uid) {
  struct stat st {};
  st.st_mode = mode;
  st.st_uid = uid;
  return st;
}

bool failsWithCode(const Status& status, int code, const std::string& mentions) {
  return !status.ok() && status.error().domain() == kSingleInstanceErrorDomain && status.error().code() == code &&
         status.error().description().find(mentions) != std::string::npos;
}

template <typename T>
bool failsWithCode(const Result<T>& result, int code, const std::string& mentions) {
  if (result.ok()) return false;
  return failsWithCode(Status(result.error()), code, mentions);
}

TEST(SocketOwnership, OnlyAFolderOfTheUserClosedToOthersHoldsTheSocket) {
  EXPECT_TRUE(checkPrivateFolder("/run/user/7", statOf(S_IFDIR | 0700, 7), 7).ok());
  EXPECT_TRUE(checkPrivateFolder("/run/user/7", statOf(S_IFDIR | 0755, 7), 7).ok());
  EXPECT_TRUE(failsWithCode(checkPrivateFolder("/run/user/7", statOf(S_IFDIR | 0700, 8), 7), kNotOwnedByUser,
                            "belongs to uid 8, not to uid 7"));
  EXPECT_TRUE(failsWithCode(checkPrivateFolder("/tmp", statOf(S_IFDIR | 01777, 0), 0), kNotOwnedByUser,
                            "writable by other users (mode 1777)"));
  EXPECT_TRUE(failsWithCode(checkPrivateFolder("/shared", statOf(S_IFDIR | 0770, 7), 7), kNotOwnedByUser,
                            "writable by other users (mode 0770)"));
  EXPECT_TRUE(
      failsWithCode(checkPrivateFolder("/link", statOf(S_IFLNK | 0777, 7), 7), kNotOwnedByUser, "not a folder"));
}

TEST(SocketOwnership, OnlyASocketOfTheUserIsTalkedTo) {
  EXPECT_TRUE(checkOwnSocket("/run/user/7/p.socket", statOf(S_IFSOCK | 0600, 7), 7).ok());
  EXPECT_TRUE(failsWithCode(checkOwnSocket("/run/user/7/p.socket", statOf(S_IFSOCK | 0600, 8), 7), kNotOwnedByUser,
                            "belongs to uid 8"));
  EXPECT_TRUE(failsWithCode(checkOwnSocket("/run/user/7/p.socket", statOf(S_IFREG | 0600, 7), 7), kNotOwnedByUser,
                            "is not a socket"));
}

// A holder in tmp/run answering each request with "done <request>".
class HostileClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    holder_ = std::make_unique<LockFileSingleInstance>(options());
    holder_->setRequestHandler([this](const std::string& request, SingleInstance::Reply reply) {
      if (request == "hold") {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(std::move(reply));
        heldChanged_.notify_all();
        return;
      }
      reply("done " + request);
    });
    ASSERT_TRUE(holder_->acquire([] {}).ok());
  }
  void TearDown() override {
    holder_->release();
    std::lock_guard<std::mutex> lock(mutex_);
    held_.clear();
  }

  // The reply to the `count`th "hold" request, once the holder has it (10 s at most).
  SingleInstance::Reply heldReply(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    heldChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return held_.size() >= count; });
    return held_.size() >= count ? held_[count - 1] : SingleInstance::Reply();
  }

  LockFileSingleInstance::Options options() {
    LockFileSingleInstance::Options o{tmp_ / "run/pallix.lock", socket(), seconds(10)};
    o.keepAliveInterval = milliseconds(10);
    return o;
  }
  std::string socket() const { return tmp_ / "run/pallix.socket"; }

  // A raw connection to the holder.
  int connectRaw() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket().c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
  }
  static void sendRaw(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;  // the holder may cut off a client that sends too much
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Everything the holder sends until it closes the connection (10 s at most).
  static std::string readToEnd(int fd) {
    std::string out;
    char buffer[4096];
    while (true) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return out + "<timed out>";
      ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) return out;
      out.append(buffer, static_cast<size_t>(n));
    }
  }
  static std::string refusalIn(const std::string& line) {
    auto json = nlohmann::json::parse(line, nullptr, false);
    return json.is_object() ? json.value("refused", std::string("<not a refusal>")) : "<not JSON: " + line + ">";
  }
  // The holder still serves a well-formed request.
  void expectStillAnswering() {
    EXPECT_EQ(LockFileSingleInstance::request(socket(), "index").valueOr("<error>"), "done index");
  }

  TempDir tmp_;
  std::unique_ptr<LockFileSingleInstance> holder_;
  std::mutex mutex_;
  std::condition_variable heldChanged_;
  std::vector<SingleInstance::Reply> held_;
};

TEST_F(HostileClientTest, BytesThatAreNotUtf8AreRefusedWithAMessage) {
  for (std::string_view bytes : {"\xff\n", "caf\xc3\n", "\xed\xa0\x80\n", "in\x1b]0;x\x07\n"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(bytes)));
    int fd = connectRaw();
    sendRaw(fd, bytes);
    std::string answer = readToEnd(fd);
    ::close(fd);
    EXPECT_EQ(answer.back(), '\n');
    std::string why = refusalIn(answer.substr(0, answer.size() - 1));
    EXPECT_TRUE(why.find("not UTF-8") != std::string::npos || why.find("control character") != std::string::npos)
        << why;
    expectStillAnswering();
  }
}

TEST_F(HostileClientTest, AHugeLineIsRefusedAndTheConnectionEnds) {
  int fd = connectRaw();
  std::thread sender([fd] { sendRaw(fd, std::string(100 * 1024, 'a')); });
  std::string answer = readToEnd(fd);
  sender.join();
  ::close(fd);
  EXPECT_NE(refusalIn(answer.substr(0, answer.find('\n'))).find("longer than 16384 bytes"), std::string::npos)
      << answer.substr(0, 200);
  expectStillAnswering();
}

TEST_F(HostileClientTest, APartialLineIsRefusedWhenTheClientStopsWritingOrLeaves) {
  int fd = connectRaw();
  sendRaw(fd, "ind");
  ::shutdown(fd, SHUT_WR);
  std::string answer = readToEnd(fd);
  ::close(fd);
  EXPECT_NE(refusalIn(answer.substr(0, answer.find('\n'))).find("without its newline"), std::string::npos) << answer;

  fd = connectRaw();
  sendRaw(fd, "\xe6\xbc");
  ::close(fd);
  expectStillAnswering();
}

TEST_F(HostileClientTest, AClientThatNeverFinishesItsRequestIsCutOff) {
  holder_->release();
  auto o = options();
  o.requestDeadline = milliseconds(50);
  holder_ = std::make_unique<LockFileSingleInstance>(o);
  holder_->setRequestHandler([](const std::string& request, SingleInstance::Reply reply) { reply("done " + request); });
  ASSERT_TRUE(holder_->acquire([] {}).ok());
  int fd = connectRaw();
  sendRaw(fd, "inde");
  std::string answer = readToEnd(fd);
  ::close(fd);
  EXPECT_NE(refusalIn(answer.substr(0, answer.find('\n'))).find("no whole request within"), std::string::npos)
      << answer;
  expectStillAnswering();
}

// While a request is served the holder keeps saying so; the answer follows
// the keep-alives and the client reads it whole.
TEST_F(HostileClientTest, ABusyHolderSendsKeepAlivesUntilItAnswers) {
  int fd = connectRaw();
  sendRaw(fd, "hold\n");
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char first = 0;
  ASSERT_EQ(::read(fd, &first, 1), 1);
  EXPECT_EQ(first, ' ');
  ::close(fd);

  std::thread answerer([this] {
    if (auto reply = heldReply(2)) reply("late answer");
  });
  auto reply = LockFileSingleInstance::request(
      socket(), "hold", AgentRequestOptions{.silenceLimit = seconds(5), .answerLimit = seconds(20)});
  answerer.join();
  EXPECT_EQ(reply.valueOr("<error>"), "late answer");
}

TEST_F(HostileClientTest, AClientOfAnotherUidIsRefused) {
  holder_->release();
  auto o = options();
  o.clientUid = ::geteuid() + 1;
  testing::ScopedLogCapture logs(LogLevel::error);
  holder_ = std::make_unique<LockFileSingleInstance>(o);
  holder_->setRequestHandler([](const std::string& request, SingleInstance::Reply reply) { reply("done " + request); });
  ASSERT_TRUE(holder_->acquire([] {}).ok());
  auto reply = LockFileSingleInstance::request(socket(), "index");
  ASSERT_TRUE(reply.ok()) << reply.error().description();
  EXPECT_NE(refusalIn(reply.value()).find("serves uid " + std::to_string(::geteuid() + 1) + " only"), std::string::npos)
      << reply.value();
  EXPECT_TRUE(logs.contains("runs as uid " + std::to_string(::geteuid())));
}

TEST_F(HostileClientTest, AClientRefusesAHolderOfAnotherUid) {
  auto reply = LockFileSingleInstance::request(socket(), "index", AgentRequestOptions{.agentUid = ::geteuid() + 1});
  EXPECT_TRUE(failsWithCode(reply, kNotOwnedByUser, "it is not your Pallix agent"));
}

TEST_F(HostileClientTest, ASocketFolderOthersMayWriteIsRefusedByBothEnds) {
  ASSERT_EQ(::chmod((tmp_ / "run").c_str(), 0770), 0);
  EXPECT_TRUE(failsWithCode(LockFileSingleInstance::request(socket(), "index"), kNotOwnedByUser,
                            "writable by other users (mode 0770)"));
  holder_->release();
  testing::ScopedLogCapture logs(LogLevel::error);
  LockFileSingleInstance another(options());
  ASSERT_TRUE(another.acquire([] {}).ok());
  EXPECT_TRUE(another.isHolder());
  EXPECT_TRUE(logs.contains("Not listening on " + socket())) << ::testing::PrintToString(logs.messages());
  EXPECT_FALSE(std::filesystem::exists(socket()));
}

// A process that accepted nothing and answers nothing, as a stopped agent
// is: the client gives up after its silence limit and says so.
TEST(SocketOwnership, AClientGivesUpOnASilentHolder) {
  TempDir tmp;
  ASSERT_EQ(::mkdir((tmp / "run").c_str(), 0700), 0);
  const std::string path = tmp / "run/pallix.socket";
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  auto reply = LockFileSingleInstance::request(path, "index", AgentRequestOptions{.silenceLimit = milliseconds(100)});
  EXPECT_TRUE(failsWithCode(reply, kAgentSilent, "has sent nothing for 0.1 s; it is stopped or hung"))
      << (reply.ok() ? reply.value() : reply.error().description());
  ::close(listener);
}

}  // namespace
}  // namespace pallix
