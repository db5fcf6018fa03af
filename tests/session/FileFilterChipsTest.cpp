// Files mode: plain words become filter chips once the typing pauses, every
// search holds the chips before the field's words, and removing a chip
// (Backspace on the empty field in the panel) searches again without it.
#include <gtest/gtest.h>

#include "app/search/ContentViewModel.h"
#include "testing/VirtualTime.h"
#include "tests/session/SessionTestSupport.h"

namespace pallix {
namespace {

using testing::FakeFileSearch;

class FileFilterChipsTest : public ::testing::Test {
 protected:
  FileFilterChipsTest() : model(env.mainRunner(), env.makeRunner("search")) {
    model.setFileSearch(files);
    model.handlePresentationChange(true);
    model.setSearchMode(SearchMode::files);
    env.runUntilIdle();
  }
  void type(const std::string& text) { model.handleSearchTextChange(text); }
  void pause() {
    env.advanceBy(ContentViewModel::kFileSearchDebounceInterval);
    env.runUntilIdle();
  }
  std::vector<std::string> chips() const { return model.fileFilterChips(); }

  VirtualTimeEnvironment env;
  std::shared_ptr<FakeFileSearch> files = std::make_shared<FakeFileSearch>();
  ContentViewModel model;
};

TEST_F(FileFilterChipsTest, FiltersInPlainWordsBecomeChipsOnceTheTypingPauses) {
  type("pdfs from last");
  type("pdfs from last week");
  EXPECT_TRUE(chips().empty()) << "chips appeared while typing went on";
  EXPECT_EQ(model.searchText(), "pdfs from last week");
  pause();
  EXPECT_EQ(chips(), (std::vector<std::string>{"ext:pdf", "modified:lastweek"}));
  EXPECT_EQ(model.searchText(), "");
  EXPECT_EQ(files->queries.back(), "pdfs from last week");
  EXPECT_EQ(model.fileResults().size(), 2u);

  // Words typed after the chips search with them.
  type("taxes");
  pause();
  EXPECT_EQ(files->queries.back(), "ext:pdf modified:lastweek taxes");
  EXPECT_EQ(chips().size(), 2u);
  EXPECT_EQ(model.searchText(), "taxes");
}

TEST_F(FileFilterChipsTest, RemovingTheLastChipSearchesAgainWithoutIt) {
  type("big videos from yesterday");
  pause();
  ASSERT_EQ(chips(), (std::vector<std::string>{"type:video", "size:>100mb", "modified:yesterday"}));
  type("");
  EXPECT_TRUE(model.removeFileFilterChip());
  EXPECT_EQ(chips(), (std::vector<std::string>{"type:video", "size:>100mb"}));
  pause();
  EXPECT_EQ(files->queries.back(), "type:video size:>100mb");
  EXPECT_TRUE(model.removeFileFilterChip(0));
  EXPECT_EQ(chips(), std::vector<std::string>{"size:>100mb"});
  EXPECT_FALSE(model.removeFileFilterChip(5));
  EXPECT_TRUE(model.removeFileFilterChip());
  EXPECT_FALSE(model.removeFileFilterChip());
  pause();
  // Nothing left to search for: the results go.
  EXPECT_TRUE(model.fileResults().empty());
}

TEST_F(FileFilterChipsTest, NamesAndAmbiguousWordsStayInTheField) {
  type("march madness.mp4");
  pause();
  EXPECT_TRUE(chips().empty());
  EXPECT_EQ(model.searchText(), "march madness.mp4");
  type("march madness");
  pause();
  EXPECT_TRUE(chips().empty());
  EXPECT_EQ(model.searchText(), "march madness");
  EXPECT_EQ(files->queries.back(), "march madness");
}

TEST_F(FileFilterChipsTest, ChipsGoWithTheModeAndWhenThePanelHides) {
  type("pdfs from today");
  pause();
  ASSERT_EQ(chips().size(), 2u);
  model.setSearchMode(SearchMode::standard);
  EXPECT_TRUE(chips().empty());
  model.setSearchMode(SearchMode::files);
  type("photos from yesterday");
  pause();
  ASSERT_EQ(chips().size(), 2u);
  model.handlePresentationChange(false);
  EXPECT_TRUE(chips().empty());
}

}  // namespace
}  // namespace pallix
