// The panel's view model over the session: the emoji grid of an empty query
// (recents in the preferred tone, then the catalog's categories, each a
// section), arrow keys crossing from one section of a grid into the next,
// and a selection move that marks rows instead of building the content
// again.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/emoji/EmojiEntryCatalog.h"
#include "app/emoji/EmojiPicker.h"
#include "app/views/PanelPresenter.h"
#include "testing/FakeTextInput.h"
#include "testing/VirtualTime.h"
#include "tests/session/SessionTestSupport.h"

namespace pallix::views {
namespace {

using namespace pallix::testing;

std::vector<std::string> titles(const PanelContent& c) {
  std::vector<std::string> out;
  for (const PanelSection& s : c.sections) out.push_back(s.title);
  return out;
}

TEST(SectionedGridTest, ArrowsKeepTheColumnAndCrossIntoTheNeighbouringSection) {
  // Three sections in a grid 4 wide: 0-2 | 3-12 (lines 3-6, 7-10, 11-12) | 13-14.
  const std::vector<size_t> sizes = {3, 10, 2};
  auto move = [&](int index, int dx, int dy) { return movedInSectionedGrid(sizes, 4, index, dx, dy); };
  EXPECT_EQ(move(2, 1, 0), 3) << "right from a section's last cell";
  EXPECT_EQ(move(3, -1, 0), 2);
  EXPECT_EQ(move(1, 0, 1), 4) << "down keeps the column into the next section";
  EXPECT_EQ(move(4, 0, -1), 1);
  EXPECT_EQ(move(6, 0, -1), 2) << "up into a shorter last line: its last cell";
  EXPECT_EQ(move(6, 0, 1), 10);
  EXPECT_EQ(move(10, 0, 1), 12) << "down into a shorter line of the same section";
  EXPECT_EQ(move(12, 0, 1), 14) << "down from the last line of a section into the next one's";
  EXPECT_EQ(move(14, 0, 1), 14) << "the grid's last line stays";
  EXPECT_EQ(move(0, 0, -1), 0);
  EXPECT_EQ(move(14, 1, 0), 14);
  EXPECT_EQ(movedInSectionedGrid({3, 0, 2}, 4, 2, 0, 1), 4) << "an empty section is skipped";
}

// The session with the real emoji picker over the built-in catalog.
class EmojiGridTest : public ::testing::Test {
 protected:
  EmojiGridTest() : model_(env_.mainRunner(), env_.mainRunner()) {
    picker_ = std::make_shared<EmojiPicker>(
        std::make_shared<EmojiSearchService>([] { return EmojiEntryCatalog::fallbackCatalog(); }), usage_,
        std::make_shared<EmojiInsertionController>(std::make_shared<FakeTextInput>(), nullptr), env_.mainRunner(),
        env_.makeRunner("emoji"));
    model_.setModeSearch(SearchMode::emoji, picker_);
  }
  void open() {
    model_.setSearchMode(SearchMode::emoji);
    model_.handlePresentationChange(true);
    env_.runUntilIdle();
  }

  VirtualTimeEnvironment env_;
  UserDefaults defaults_;
  std::shared_ptr<EmojiUsageStore> usage_ = std::make_shared<EmojiUsageStore>(defaults_);
  std::shared_ptr<EmojiPicker> picker_;
  ContentViewModel model_;
};

TEST_F(EmojiGridTest, TheEmptyQueryShowsTheRecentsInTheirToneThenEachCategoryInCatalogOrder) {
  ASSERT_TRUE(usage_->recordUsage("🎉").ok());
  ASSERT_TRUE(usage_->recordUsage("👍").ok());
  ASSERT_TRUE(usage_->recordUsage("👍").ok());
  ASSERT_TRUE(usage_->updatePreferredSkinTone(EmojiSkinTone::dark).ok());
  open();
  PanelContent c = buildPanelContent(model_, nullptr);
  std::vector<std::string> expected = {EmojiPicker::kRecentGroup};
  for (const EmojiEntry& e : EmojiEntryCatalog::fallbackCatalog()) {
    if (std::find(expected.begin(), expected.end(), e.category) == expected.end()) expected.push_back(e.category);
  }
  EXPECT_EQ(titles(c), expected);
  for (const PanelSection& s : c.sections) {
    EXPECT_EQ(s.kind, SectionKind::modeResults);
    EXPECT_EQ(s.gridColumns, kEmojiGridColumns);
  }
  // The most used first, in the preferred tone; a recent is not shown again in its category.
  ASSERT_EQ(c.sections[0].rows.size(), 2u);
  EXPECT_EQ(c.sections[0].rows[0].glyph, "👍🏿");
  EXPECT_EQ(c.sections[0].rows[1].glyph, "🎉");
  EXPECT_TRUE(c.sections[0].rows[0].selected);
  size_t shown = 0;
  for (const PanelSection& s : c.sections) {
    shown += s.rows.size();
    for (const PanelRow& r : s.rows) {
      if (&s != &c.sections[0]) {
        EXPECT_NE(r.identifier, "🎉") << s.title;
      }
    }
  }
  EXPECT_EQ(shown, picker_->searchNow("", std::nullopt).size());

  // A typed query is one list of its matches.
  model_.handleSearchTextChange("thumbs");
  env_.runUntilIdle();
  c = buildPanelContent(model_, nullptr);
  EXPECT_EQ(titles(c), (std::vector<std::string>{"Emoji"}));
  EXPECT_EQ(c.sections[0].rows[0].glyph, "👍🏿");
}

// The presenter over a session whose emoji search answers three groups.
class PanelPresenterTest : public ::testing::Test {
 protected:
  PanelPresenterTest() : model_(env_.mainRunner(), env_.mainRunner()) {
    auto add = [&](const std::string& group, int n) {
      for (int i = 0; i < n; ++i) {
        const std::string id = group + std::to_string(i);
        emoji_->results.push_back({.identifier = id, .title = "x " + id, .detail = group, .group = group});
      }
    };
    emoji_->results.clear();
    add("Recent", 3);
    add("Smileys", 20);  // lines of 9, 9 and 2
    add("Flags", 5);
    model_.setModeSearch(SearchMode::emoji, emoji_);
    model_.setChangeHandler([this] {
      ++changes_;
      presenter_.refresh();
    });
    model_.setSelectionChangeHandler([this] { moved_ = presenter_.applySelectionChange(); });
    model_.setSearchMode(SearchMode::emoji);
    model_.handlePresentationChange(true);
    env_.runUntilIdle();
  }
  std::string selected() const { return model_.selectedModeResultID().value_or(""); }

  VirtualTimeEnvironment env_;
  std::shared_ptr<RecordingModeSearch> emoji_ = std::make_shared<RecordingModeSearch>();
  ContentViewModel model_;
  int builds_ = 0;
  int changes_ = 0;
  std::vector<RowRef> moved_;
  PanelPresenter presenter_{model_, [this] {
                              ++builds_;
                              return buildPanelContent(model_, nullptr);
                            }};
};

TEST_F(PanelPresenterTest, ARefreshBuildsTheContentOnceWhateverItsFocus) {
  builds_ = 0;
  presenter_.refresh();
  EXPECT_EQ(builds_, 1);
  EXPECT_EQ(presenter_.focus(), SectionKind::modeResults);
  EXPECT_EQ(titles(presenter_.content()), (std::vector<std::string>{"Recent", "Smileys", "Flags"}));
  EXPECT_TRUE(presenter_.content().sections[0].rows[0].selected);
}

TEST_F(PanelPresenterTest, ArrowKeysCrossSectionsAndMarkOnlyTheOldAndNewRows) {
  presenter_.refresh();
  const auto content = presenter_.sharedContent();
  const auto searches = std::count(emoji_->events.begin(), emoji_->events.end(), "search:");
  builds_ = changes_ = 0;
  presenter_.moveSelection(0, 1);
  EXPECT_EQ(selected(), "Smileys0") << "down from the recents' line into the category below";
  EXPECT_EQ(moved_, (std::vector<RowRef>{{0, 0}, {1, 0}}));
  presenter_.moveSelection(1, 0);
  presenter_.moveSelection(0, 1);
  presenter_.moveSelection(0, 1);
  EXPECT_EQ(selected(), "Smileys19") << "down into the short last line";
  presenter_.moveSelection(0, 1);
  EXPECT_EQ(selected(), "Flags1");
  presenter_.moveSelection(0, -1);
  EXPECT_EQ(selected(), "Smileys19");
  presenter_.moveSelection(1, 0);
  EXPECT_EQ(selected(), "Flags0") << "right from a section's last cell";
  presenter_.moveSelection(0, 1);
  EXPECT_EQ(selected(), "Flags0") << "the grid's last line";
  // Nothing was built or searched again, and the content marks the selection alone.
  EXPECT_EQ(builds_, 0);
  EXPECT_EQ(changes_, 0);
  EXPECT_EQ(presenter_.sharedContent(), content);
  int marked = 0;
  for (const PanelSection& s : content->sections) {
    for (const PanelRow& r : s.rows) marked += r.selected;
  }
  EXPECT_EQ(marked, 1);
  EXPECT_TRUE(content->sections[2].rows[0].selected);
  EXPECT_EQ(std::count(emoji_->events.begin(), emoji_->events.end(), "search:"), searches);
}

TEST_F(PanelPresenterTest, AClickSelectsByItsPlaceAcrossSections) {
  presenter_.refresh();
  presenter_.selectRow({2, 3});
  EXPECT_EQ(selected(), "Flags3");
  presenter_.selectRow({0, 1});
  EXPECT_EQ(selected(), "Recent1");
  EXPECT_TRUE(model_.activateSelectedModeResult());
  EXPECT_EQ(emoji_->events.back(), "activate:Recent1");
}

}  // namespace
}  // namespace pallix::views
