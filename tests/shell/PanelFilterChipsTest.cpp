// What the panel shows of files mode's filter chips: the chips before the
// field, a placeholder that says Backspace drops them, and an empty list
// that names the whole query searched; other modes show none.
#include <gtest/gtest.h>

#include "app/views/PanelContent.h"
#include "testing/VirtualTime.h"
#include "tests/session/SessionTestSupport.h"

namespace pallix::views {
namespace {

using namespace pallix::testing;

class PanelFilterChipsTest : public ::testing::Test {
 protected:
  PanelFilterChipsTest() : model_(env_.mainRunner(), env_.mainRunner()) {
    files_->empty = true;
    model_.setFileSearch(files_);
    model_.handlePresentationChange(true);
    model_.setSearchMode(SearchMode::files);
    env_.runUntilIdle();
  }
  PanelContent content() { return buildPanelContent(model_, nullptr, std::nullopt, 0); }
  void type(const std::string& text) {
    model_.handleSearchTextChange(text);
    env_.advanceBy(std::chrono::seconds(1));
  }

  VirtualTimeEnvironment env_;
  std::shared_ptr<FakeFileSearch> files_ = std::make_shared<FakeFileSearch>();
  ContentViewModel model_;
};

TEST_F(PanelFilterChipsTest, FilesModeShowsItsChipsAndSaysWhatWasSearched) {
  EXPECT_TRUE(content().filterChips.empty());
  EXPECT_EQ(content().placeholder, "Search files by name, kind or date");
  type("pdfs from last week");
  PanelContent c = content();
  EXPECT_EQ(c.filterChips, (std::vector<std::string>{"ext:pdf", "modified:lastweek"}));
  EXPECT_EQ(c.placeholder, "Backspace drops a filter");
  EXPECT_EQ(c.emptyText, "No files match \u201cext:pdf modified:lastweek\u201d");
  type("taxes");
  EXPECT_EQ(content().emptyText, "No files match \u201cext:pdf modified:lastweek taxes\u201d");
  model_.removeFileFilterChip();
  model_.removeFileFilterChip();
  type("");
  EXPECT_TRUE(content().filterChips.empty());
  EXPECT_EQ(content().emptyText, "Type to search the indexed folders");
}

TEST_F(PanelFilterChipsTest, OtherModesShowNoChips) {
  type("big videos");
  ASSERT_EQ(content().filterChips.size(), 2u);
  model_.setSearchMode(SearchMode::standard);
  EXPECT_TRUE(content().filterChips.empty());
}

}  // namespace
}  // namespace pallix::views
