// The calculator end to end: `pallix calc` and `pallix search` as separate
// processes over an empty PALLIX_HOME. Answers must be read from the whole
// text; texts that cannot be read whole, overflow or lie below absolute zero
// have no answer (exit status 1).
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

class CalculatorCliTest : public ::testing::Test {
 protected:
  testing::ProcessResult pallix(std::vector<std::string> args) const {
    args.insert(args.begin(), PALLIX_BINARY);
    return testing::runProcess(args, {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"LC_ALL", "en_US.UTF-8"}},
                               std::chrono::seconds(30));
  }

  testing::TempDir home;
};

TEST_F(CalculatorCliTest, CalcAnswersWholeTextsAndDeclinesTheRest) {
  const struct {
    const char* text;
    const char* answer;  // null: no answer
  } cases[] = {
      {"1e3", "1,000\n"},
      {"100 km/h to mph", "100 kilometers per hour = 62.137119 miles per hour\n"},
      {"0 K to C", "0 kelvins = -273.15 degrees Celsius\n"},
      {"1e308*10", nullptr},
      {"-500 K to C", nullptr},
      {"2^3", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing::ProcessResult outcome = pallix({"calc", "--locale", "en_US", "--", c.text});
    EXPECT_EQ(outcome.exitCode, c.answer ? 0 : 1);
    EXPECT_EQ(outcome.out, c.answer ? c.answer : "");
  }
}

// The whole search path (session, preview, settled query, coordinator, router) in one process.
TEST_F(CalculatorCliTest, SearchShowsTheCalculatorAnswerOnlyForWholeTexts) {
  // `search` needs a catalog (it exits 3 without one); an empty one will do.
  ASSERT_EQ(pallix({"index"}).exitCode, 0);
  testing::ProcessResult answered = pallix({"search", "--json", "1e3"});
  ASSERT_EQ(answered.exitCode, 0) << answered.out;
  nlohmann::json json = nlohmann::json::parse(answered.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << answered.out;
  EXPECT_EQ(json["intelligence"]["calculator"]["value"], 1000);

  testing::ProcessResult declined = pallix({"search", "--json", "2^3"});
  json = nlohmann::json::parse(declined.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << declined.out;
  EXPECT_FALSE(json["intelligence"].contains("calculator")) << declined.out;
  EXPECT_EQ(declined.exitCode, 1);
}

}  // namespace
}  // namespace pallix
