// The calculator end to end: `pallix calc` and `pallix search` as separate
// processes over an empty PALLIX_HOME. Answers must be read from the whole
// text; texts that cannot be read whole, overflow or lie below absolute zero
// have no answer (exit status 1).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace pallix {
namespace {

struct Outcome {
  int exitStatus = -1;
  std::string out;
};

// Runs pallix with `args`, waiting at most `limit` for it to end.
Outcome runPallix(const std::string& home, const std::vector<std::string>& args,
                  std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDERR_FILENO);
    ::setenv("PALLIX_HOME", home.c_str(), 1);
    ::setenv("PALLIX_LOG", "off", 1);
    ::setenv("LC_ALL", "en_US.UTF-8", 1);
    std::vector<char*> argv{const_cast<char*>(PALLIX_BINARY)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(PALLIX_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) == 0) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << "pallix did not finish within " << limit.count() << " ms";
      break;
    }
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    outcome.out.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

class CalculatorCliTest : public ::testing::Test {
 protected:
  testing::TempDir home;
};

TEST_F(CalculatorCliTest, CalcAnswersWholeTextsAndDeclinesTheRest) {
  const struct {
    const char* text;
    const char* answer;  // null: no answer
  } cases[] = {
      {"1e3", "1,000\n"},
      {"2.5e-3 * 4", "0.01\n"},
      {"100 km/h to mph", "100 kilometers per hour = 62.137119 miles per hour\n"},
      {"0 K to C", "0 kelvins = -273.15 degrees Celsius\n"},
      {"1e308*10", nullptr},
      {"-500 K to C", nullptr},
      {"2^3", nullptr},
      {"1,2 + 1", nullptr},
      {"5e m to km", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Outcome outcome = runPallix(home.path(), {"calc", "--locale", "en_US", "--", c.text});
    EXPECT_EQ(outcome.exitStatus, c.answer ? 0 : 1);
    EXPECT_EQ(outcome.out, c.answer ? c.answer : "");
  }
}

// The whole search path (session, preview, settled query, coordinator, router) in one process.
TEST_F(CalculatorCliTest, SearchShowsTheCalculatorAnswerOnlyForWholeTexts) {
  // `search` needs a catalog (it exits 3 without one); an empty one will do.
  ASSERT_EQ(runPallix(home.path(), {"index"}).exitStatus, 0);
  Outcome answered = runPallix(home.path(), {"search", "--json", "1e3"});
  ASSERT_EQ(answered.exitStatus, 0) << answered.out;
  nlohmann::json json = nlohmann::json::parse(answered.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << answered.out;
  EXPECT_EQ(json["intelligence"]["calculator"]["value"], 1000);

  Outcome declined = runPallix(home.path(), {"search", "--json", "2^3"});
  json = nlohmann::json::parse(declined.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << declined.out;
  EXPECT_FALSE(json["intelligence"].contains("calculator")) << declined.out;
  EXPECT_EQ(declined.exitStatus, 1);
}

}  // namespace
}  // namespace pallix
