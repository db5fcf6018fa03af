// What the panel shows for the session's state: grids and lists per mode,
// selection marks, grid paging around the selection, and the default focus.
#include <gtest/gtest.h>

#include "app/intelligence/IntelligenceCoordinator.h"
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/platform/PersistentStore.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/SearchProviders.h"
#include "app/sources/ContactSearchDataSource.h"
#include "app/views/PanelContent.h"
#include "testing/FakeContactStore.h"
#include "testing/IntelligenceFakes.h"
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

// Typing in files mode over a real catalog: the row the view paints carries
// the span of the name the words matched and, below, the filters it met.
TEST_F(PanelContentTest, FileRowsHighlightTheMatchedSpanOfTheName) {
  auto store = PersistentStore::open(":memory:", catalogMigrationSteps()).value();
  CatalogStore catalog(*store);
  IndexedItem report =
      IndexedItem::file("/home/u/docs/Caf\u00E9 R\u00E9sum\u00E9.pdf", "Caf\u00E9 R\u00E9sum\u00E9", "pdf", 10,
                        std::nullopt, std::nullopt, IndexedItem::FileCategory::document, std::nullopt);
  ASSERT_TRUE(catalog.save(report).ok());
  model_.setFileSearch(std::make_shared<CatalogFileSearchProvider>(*store, env_.clock()));
  model_.setSearchMode(SearchMode::files);
  type("resume ext:pdf");
  const PanelContent got = content();
  ASSERT_FALSE(got.sections.empty());
  ASSERT_EQ(got.sections[0].rows.size(), 1u);
  const PanelRow& row = got.sections[0].rows[0];
  EXPECT_EQ(row.title, "Caf\u00E9 R\u00E9sum\u00E9.pdf");
  ASSERT_EQ(row.titleHighlights.size(), 1u);
  // "Résumé": bytes 6..14 of the UTF-8 title, UTF-16 units 5..11 as Qt paints them.
  EXPECT_EQ(row.titleHighlights[0], (TextSpan{6, 8, 5, 6}));
  EXPECT_NE(row.detail.find("pdf"), std::string::npos) << row.detail;
  EXPECT_EQ(row.tag, "");
}

// The answer cards as typing in the panel brings them: the session, the panel
// store and the real coordinator over the contacts source with an address book,
// and a place search.
class PanelCardTest : public PanelContentTest {
 protected:
  PanelCardTest() {
    auto contacts = std::make_shared<ContactSearchDataSource>(
        ContactSearchDataSource::Dependencies{book_, env_.makeRunner("contacts"), env_.mainRunner()});
    IntelligenceCoordinator::Dependencies deps;
    deps.mainRunner = env_.mainRunner();
    deps.routerRunner = env_.makeRunner("router");
    deps.sources.calculator = calculator_;
    deps.sources.contacts = contacts;
    maps_->handles = [](const std::string&) { return true; };
    deps.sources.maps = maps_;
    coordinator_ = std::make_shared<IntelligenceCoordinator>(deps);
    intelligence_ = std::make_shared<PanelIntelligenceStore>(env_.mainRunner(), calculator_);
    intelligence_->configure(coordinator_, nullptr);
    model_.setIntelligence(intelligence_);
    env_.runUntilIdle();
  }
  ~PanelCardTest() override {
    model_.setIntelligence(nullptr);
    intelligence_.reset();
    coordinator_.reset();
    env_.runUntilIdle();
  }
  const PanelSection* card(const std::string& title = "Contacts") {
    contents_ = buildPanelContent(model_, intelligence_.get(), std::nullopt, 0);
    for (const PanelSection& s : contents_.sections) {
      if (s.kind == SectionKind::widget && s.title == title) return &s;
    }
    return nullptr;
  }

  std::shared_ptr<FakeContactStore> book_ = std::make_shared<FakeContactStore>(std::vector<ContactRecord>{
      {.identifier = "john",
       .givenName = "John",
       .familyName = "Doe",
       .organizationName = "Acme Corp",
       .phoneNumbers = {{"cell", "+1 (555) 010-2000"}}},
      {.identifier = "jane", .givenName = "Jane", .familyName = "Doe", .emailAddresses = {{"", "jane@example.org"}}},
      {.identifier = "taro", .formattedName = "山田 太郎", .givenName = "太郎", .familyName = "山田"}});
  std::shared_ptr<testing_support::FakeCalculator> calculator_ =
      std::make_shared<testing_support::FakeCalculator>(env_.mainRunner());
  std::shared_ptr<testing_support::FakeMaps> maps_ = std::make_shared<testing_support::FakeMaps>(env_.mainRunner());
  std::shared_ptr<IntelligenceCoordinator> coordinator_;
  std::shared_ptr<PanelIntelligenceStore> intelligence_;
  PanelContent contents_;
};

TEST_F(PanelCardTest, TypingANameShowsTheContactsCard) {
  type("john doe");
  const PanelSection* contacts = card();
  ASSERT_NE(contacts, nullptr);
  ASSERT_EQ(contacts->rows.size(), 1u);
  EXPECT_EQ(contacts->rows[0].title, "John Doe");
  EXPECT_EQ(contacts->rows[0].detail, "+1 (555) 010-2000 \u00B7 Acme Corp");

  type("doe");
  contacts = card();
  ASSERT_NE(contacts, nullptr);
  ASSERT_EQ(contacts->rows.size(), 2u);
  EXPECT_EQ(contacts->rows[0].title, "Jane Doe");
  EXPECT_EQ(contacts->rows[0].detail, "jane@example.org");

  type("山田太郎");
  contacts = card();
  ASSERT_NE(contacts, nullptr);
  EXPECT_EQ(contacts->rows.at(0).title, "山田 太郎");

  type("app 1");
  EXPECT_EQ(card(), nullptr) << "no card when no contact matches";
  type("");
  EXPECT_EQ(card(), nullptr);
}

TEST_F(PanelCardTest, ARefusedPlaceSearchSaysSoWhereThePlacesWouldBe) {
  type("directions to lyon");
  const PanelSection* places = card("Places");
  ASSERT_NE(places, nullptr);
  EXPECT_EQ(places->rows.at(0).title, "directions to lyon");

  maps_->answer = [](const std::string&) {
    return VCRDataSourceResult(SourceNotice{VCRDataSourceIdentifier::maps,
                                            "The place search is rate limited, try "
                                            "again in 7 s"});
  };
  type("directions to paris");
  places = card("Places");
  ASSERT_NE(places, nullptr) << "a refusal is not \"nothing found\"";
  ASSERT_EQ(places->rows.size(), 1u);
  EXPECT_EQ(places->rows[0].detail, "The place search is rate limited, try again in 7 s");
  EXPECT_EQ(intelligence_->widgetStates().at(VCRDataSourceIdentifier::maps), WidgetContentState::ready);

  maps_->answer = nullptr;
  type("directions to rome");
  EXPECT_EQ(card("Places"), nullptr) << "the notice goes with the query that met it";
}

}  // namespace
}  // namespace pallix::views
