// What the panel shows for the session's state: grids and lists per mode,
// selection marks, grid paging around the selection, and the default focus.
#include <gtest/gtest.h>

#include "app/views/PanelContent.h"
#include "testing/VirtualTime.h"
#include "tests/session/SessionTestSupport.h"

namespace pallix::views {
namespace {

using namespace pallix::testing;

class PanelContentTest : public ::testing::Test {
 protected:
  PanelContentTest() : model_(env_.mainRunner(), env_.mainRunner()) {
    for (int i = 0; i < 25; ++i) apps_->apps.push_back(app("App " + std::to_string(i), "/a/" + std::to_string(i)));
    // As EmojiPicker gives them: the character and its name, then the category.
    emoji_->results = {{"1", "😀 grinning face", "Smileys & Emotion"}, {"2", "🎉 party popper", "Activities"}};
    model_.setAppSearch(apps_);
    model_.setFileSearch(std::make_shared<FakeFileSearch>());
    model_.setModeSearch(SearchMode::emoji, emoji_);
    model_.handlePresentationChange(true);
    env_.runUntilIdle();
  }
  PanelContent content() { return buildPanelContent(model_, nullptr, std::nullopt, 0); }
  void type(const std::string& text) {
    model_.handleSearchTextChange(text);
    env_.advanceBy(std::chrono::seconds(1));
  }

  VirtualTimeEnvironment env_;
  std::shared_ptr<FakeAppSearch> apps_ = std::make_shared<FakeAppSearch>();
  std::shared_ptr<RecordingModeSearch> emoji_ = std::make_shared<RecordingModeSearch>();
  ContentViewModel model_;
};

TEST_F(PanelContentTest, EmptyQueryShowsEveryAppSayingHowManyAndAQueryWithoutResultsSaysSo) {
  PanelContent c = content();
  ASSERT_EQ(c.sections.size(), 1u);
  EXPECT_EQ(c.sections[0].gridColumns, kAppGridColumns);
  EXPECT_EQ(c.sections[0].rows.size(), 25u);
  EXPECT_EQ(c.sections[0].title, "All Applications (25)");
  model_.advanceSelection(0);
  model_.advanceSelection(20);
  c = content();
  ASSERT_EQ(c.sections[0].rows.size(), 25u);
  EXPECT_TRUE(c.sections[0].rows[20].selected);
  int selected = 0;
  for (const auto& r : c.sections[0].rows) selected += r.selected;
  EXPECT_EQ(selected, 1);
  EXPECT_EQ(defaultFocus(c), SectionKind::apps);
  type("zzz");
  c = content();
  EXPECT_TRUE(c.sections.empty());
  EXPECT_EQ(c.emptyText, "No results for \u201czzz\u201d");
  EXPECT_EQ(defaultFocus(c), std::nullopt);
}

TEST_F(PanelContentTest, EmptyModesSayWhetherTheyAreLoadingOrWhatToDo) {
  emoji_->results.clear();
  model_.setSearchMode(SearchMode::emoji);
  EXPECT_EQ(content().emptyText, "Loading\u2026");
  env_.runUntilIdle();
  EXPECT_EQ(content().emptyText, "No emoji found");
  // No messages provider: the database is missing.
  model_.setSearchMode(SearchMode::messages);
  env_.runUntilIdle();
  EXPECT_NE(content().emptyText.find("pallix messages import-backup DIR"), std::string::npos) << content().emptyText;
}

TEST_F(PanelContentTest, EachModeHasItsSection) {
  struct Case {
    SearchMode mode;
    std::string text;
    SectionKind kind;
    int columns;
    std::string firstTitle, firstDetail, firstTag;
  };
  const Case cases[] = {
      {SearchMode::standard, "app 1", SectionKind::apps, 0, "App 1", "Application", ""},
      // How the name matched stays internal: no tag.
      {SearchMode::files, "budget", SectionKind::files, 0, "budget.pdf", "/home/u", ""},
      {SearchMode::emoji, "face", SectionKind::modeResults, kEmojiGridColumns, "grinning face", "Smileys & Emotion",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(searchModeName(c.mode));
    model_.setSearchMode(c.mode);
    type(c.text);
    PanelContent got = content();
    ASSERT_FALSE(got.sections.empty());
    const PanelSection& s = got.sections.front();
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.gridColumns, c.columns);
    EXPECT_EQ(s.rows[0].title, c.firstTitle);
    EXPECT_EQ(s.rows[0].detail, c.firstDetail);
    EXPECT_EQ(s.rows[0].tag, c.firstTag);
    EXPECT_EQ(got.mode, c.mode);
  }
  EXPECT_EQ(content().sections[0].rows[0].glyph, "😀");
}

}  // namespace
}  // namespace pallix::views
