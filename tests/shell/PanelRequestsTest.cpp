// The wire form of the desktop agent's panel requests and answers.
#include <gtest/gtest.h>

#include "app/shell/PanelRequests.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

TEST(PanelRequestsTest, ToggleRequestsAndPanelStatesRoundTripAndBadAnswersSayWhy) {
  for (auto raw : kPresentationIntentRawValues) {
    auto intent = *presentationIntentFromRaw(raw);
    PresentationIntent decoded = PresentationIntent::emoji;
    ASSERT_TRUE(decodeToggleRequest(encodeToggleRequest(intent), decoded)) << raw;
    EXPECT_EQ(decoded, intent);
  }
  PresentationIntent decoded = PresentationIntent::emoji;
  ASSERT_TRUE(decodeToggleRequest(encodeToggleRequest(std::nullopt), decoded));
  EXPECT_EQ(decoded, PresentationIntent::standard);
  for (const char* bad : {"toggles", "toggle ", "toggle nonsense", "index", ""}) {
    EXPECT_FALSE(decodeToggleRequest(bad, decoded)) << bad;
  }

  // The panel state answers.
  PanelState state{true,    PresentationIntent::files,        {10, 20, 680, 460},
                   "taxes", {"ext:pdf", "modified:lastweek"}, {{30, 40, 60, 20}, {94, 40, 120, 20}}};
  auto answer = decodePanelState(encodePanelState(state));
  ASSERT_TRUE(answer.ok());
  EXPECT_EQ(answer->visible, true);
  EXPECT_EQ(answer->intent, PresentationIntent::files);
  EXPECT_EQ(answer->frame, state.frame);
  EXPECT_EQ(answer->text, "taxes");
  EXPECT_EQ(answer->chips, state.chips);
  EXPECT_EQ(answer->chipFrames, state.chipFrames);
  // A garbled frame is left out, not taken for a chip at 0,0.
  auto older =
      decodePanelState(R"({"visible":true,"intent":"files","frame":[0,0,1,1],"chipFrames":[[1,2,3],"x",[1,2,3,4]]})");
  ASSERT_TRUE(older.ok());
  EXPECT_EQ(older->chipFrames, (std::vector<Rect>{{1, 2, 3, 4}}));
  struct Case {
    const char* line;
    const char* says;
  };
  const Case cases[] = {
      {R"({"refused":"the panel is not ready yet"})", "the agent refused: the panel is not ready yet"},
      {"not json", "not JSON"},
      {R"({"visible":true})", "not a panel state"},
      {R"({"visible":true,"intent":"nope","frame":[0,0,1,1]})", "unknown mode"},
  };
  for (const Case& c : cases) {
    auto bad = decodePanelState(c.line);
    ASSERT_TRUE(testing::failsWith(bad, c.says)) << c.line;
  }
}

}  // namespace
}  // namespace pallix
