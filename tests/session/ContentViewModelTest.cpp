// The search session: debouncing, previews, modes and their selection, the
// semantic stage of files search, activation and presentation.
#include <gtest/gtest.h>

#include <map>

#include "app/search/ContentViewModel.h"
#include "core/Telemetry.h"
#include "testing/FakePasteboard.h"
#include "testing/RecordingWorkspace.h"
#include "testing/VirtualTime.h"
#include "tests/session/SessionTestSupport.h"
#include "tests/support/HeldRunner.h"

namespace pallix {
namespace {

using namespace pallix::testing;

class FakeIntelligence : public SessionIntelligence {
 public:
  std::vector<std::string> calls;
  std::set<std::string> selected;
  std::optional<std::string> calculator;
  bool active = false;

  void setLatestTrimmedQuery(const std::string&) override {}
  void setHasActiveQuery(bool a) override { active = a; }
  bool hasActiveQuery() const override { return active; }
  void prepareForPendingQuery(const std::string& q, const std::set<std::string>& keep) override {
    calls.push_back("prepare:" + q + (keep.count("calculator") ? "+calc" : ""));
  }
  void runPreviewSearch(const std::string& q) override { previews.push_back(q); }
  void runSettledSearch(const std::string& q) override {
    calls.push_back("settled:" + q);
    settled.push_back(q);
  }
  void handleClearedQueryState() override { calls.push_back("cleared"); }
  void refreshCalculatorResult(const std::string& q) override { calls.push_back("calc:" + q); }
  void cancelQueries(bool) override { calls.push_back("cancel"); }
  void resetIntelligenceState() override { calls.push_back("reset"); }
  void refreshPendingPermissions() override {}
  void cancelPreviewAndRenewSession() override {}
  bool shouldPreserveCalculator(const std::string&) const override { return calculator.has_value(); }
  std::set<std::string> selectedSourceIdentifiers() const override { return selected; }
  std::optional<std::string> calculatorResultText() const override { return calculator; }
  std::vector<std::string> previews;
  std::vector<std::string> settled;
};

class FakeWindow : public PanelWindow {
 public:
  int hides = 0;
  std::function<void()> onHide;
  void hideWindow(bool immediate, bool deactivate) override {
    EXPECT_FALSE(immediate);
    EXPECT_TRUE(deactivate);
    ++hides;
    if (onHide) onHide();
  }
};

// Types into the window the user was in: it must find the panel gone.
class TypingModeSearch final : public testing::RecordingModeSearch {
 public:
  std::function<int()> hides;
  bool deliversAfterHiding() const override { return true; }
  bool activate(const ModeResult& result) override {
    events.push_back("activate:" + result.identifier + " after " + std::to_string(hides()) + " hide");
    return true;
  }
};

// Answers status and availability as told; the merge appends `extra`.
class FakeSemantic : public FileSemanticSearch {
 public:
  bool enabled = true;
  SemanticIndexStatus indexStatus = SemanticIndexStatus::ready;
  bool available = true;
  std::vector<FileSearchResult> extra;
  std::vector<std::string> merged;  // queries merged

  bool isEnabled() const override { return enabled; }
  void status(std::function<void(SemanticIndexStatus)> done) override { done(indexStatus); }
  void canPerformSearch(std::function<void(bool)> done) override { done(available); }
  void mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query, int,
                            std::function<void(Merge)> done) override {
    merged.push_back(query);
    for (const auto& r : extra) text.push_back(r);
    done(Merge{std::move(text), extra.size()});
  }
};

class ContentViewModelTest : public ::testing::Test {
 protected:
  ContentViewModelTest() : model(env.mainRunner(), env.makeRunner("search")) {
    apps->apps = {app("Calculator", "/usr/share/applications/calc.desktop"),
                  app("Calendar", "/a/calendar.desktop"),
                  app("Camera", "/a/camera.desktop"),
                  app("Cal Tool", "/a/caltool.desktop"),
                  app("Calibre", "/a/calibre.desktop"),
                  app("Terminal", "/a/terminal.desktop")};
    model.setAppSearch(apps);
    model.setFileSearch(files);
    model.setIntelligence(intelligence);
    model.setWindow(window);
    model.setWorkspace(workspace);
    model.setPasteboard(pasteboard);
  }

  void type(const std::string& text) { model.handleSearchTextChange(text); }
  // Types `text` and lets the debounce (standard 100 ms, files 300 ms) and every answer run.
  void settle(const std::string& text, Duration debounce = std::chrono::milliseconds(100)) {
    type(text);
    env.advanceBy(debounce);
    env.runUntilIdle();
  }
  // Files mode with the semantic stage after the lexical search.
  void useSemanticFilesSearch() {
    model.setFileSemanticSearch(semantic);
    model.setSearchMode(SearchMode::files);
  }
  // A shown panel in clipboard mode over a recording provider.
  void openClipboardMode() {
    model.setModeSearch(SearchMode::clipboard, clipboard);
    model.handlePresentationChange(true);
    model.setSearchMode(SearchMode::clipboard);
    env.runUntilIdle();
  }
  bool called(const std::string& call) const {
    return std::find(intelligence->calls.begin(), intelligence->calls.end(), call) != intelligence->calls.end();
  }

  VirtualTimeEnvironment env;
  std::shared_ptr<FakeAppSearch> apps = std::make_shared<FakeAppSearch>();
  std::shared_ptr<FakeFileSearch> files = std::make_shared<FakeFileSearch>();
  std::shared_ptr<FakeIntelligence> intelligence = std::make_shared<FakeIntelligence>();
  std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
  std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::shared_ptr<FakeSemantic> semantic = std::make_shared<FakeSemantic>();
  std::shared_ptr<RecordingModeSearch> clipboard = std::make_shared<RecordingModeSearch>();
  ContentViewModel model;
};

TEST(StandardQueryIntentTest, KeywordsForcePreviewsAndLeaveTheEffectiveQuery) {
  struct Case {
    const char* raw;
    const char* effective;
    bool messages;
    bool files;
  } cases[] = {
      {"  Files!  budget ", "budget", false, true},
      {"text mom", "mom", true, false},
      {"messages", "", true, false},
      {"(file) report  2024", "report 2024", false, true},
      {"profile", "profile", false, false},
      {"   ", "", false, false},
  };
  for (const auto& c : cases) {
    auto intent = StandardQueryIntent::resolve(c.raw);
    EXPECT_EQ(intent.effectiveQuery, c.effective) << c.raw;
    EXPECT_EQ(intent.forceMessagesPreview, c.messages) << c.raw;
    EXPECT_EQ(intent.forceFilesPreview, c.files) << c.raw;
  }
}

// Every keystroke asks for a preview at once; keyword-only texts have nothing
// to preview, and keywords leave the preview's query.
TEST_F(ContentViewModelTest, TypingWithinTheDebounceYieldsOnePreviewPerKeystrokeAndOneSettledSearchForTheLastText) {
  type("ab");
  env.advanceBy(std::chrono::milliseconds(60));
  type("messages");
  type("abc files");
  EXPECT_EQ(intelligence->previews, (std::vector<std::string>{"ab", "abc"}));
  EXPECT_FALSE(model.isSearchSettled());
  env.advanceBy(std::chrono::milliseconds(99));
  EXPECT_TRUE(intelligence->settled.empty());
  env.advanceBy(std::chrono::milliseconds(1));
  EXPECT_EQ(intelligence->settled, std::vector<std::string>{"abc"});
  EXPECT_EQ(model.settledSearchCount(), 1u);
  EXPECT_TRUE(model.isSearchSettled());
  EXPECT_EQ(intelligence->previews.size(), 2u) << "the settled search is no keystroke";
  // The app search ran on every keystroke, for the text without keywords.
  EXPECT_EQ(apps->queries, (std::vector<std::string>{"ab", "", "abc"}));
  // Typing back to an earlier text restarts the wait: the first keystroke's timer must not fire.
  type("x");
  env.advanceBy(std::chrono::milliseconds(60));
  type("xy");
  env.advanceBy(std::chrono::milliseconds(30));
  type("x");
  env.advanceBy(std::chrono::milliseconds(10));
  EXPECT_EQ(model.settledSearchCount(), 1u) << "a settled search ran 10 ms after the last keystroke";
  env.advanceBy(std::chrono::milliseconds(90));
  EXPECT_EQ(model.settledSearchCount(), 2u);
}

TEST_F(ContentViewModelTest, AppSelectionResetsOnNewTextAndOnlyTheFirstFourAreSelectable) {
  type("ca");
  ASSERT_EQ(model.displayedApps().size(), 5u);
  EXPECT_EQ(model.selectionCandidates().size(), 4u);
  EXPECT_EQ(model.selectedAppID(), "/usr/share/applications/calc.desktop");
  model.advanceSelection(10);
  EXPECT_EQ(model.selectedAppID(), "/a/caltool.desktop");  // Clamped to the 4th.
  type("cal");
  EXPECT_EQ(model.selectedAppID(), "/usr/share/applications/calc.desktop");
  type("");
  EXPECT_EQ(model.displayedApps().size(), 6u);  // The launcher grid.
  EXPECT_EQ(model.selectionCandidates().size(), 6u);
  EXPECT_TRUE(model.isSearchSettled());
  EXPECT_EQ(intelligence->calls.back(), "cleared");
}

TEST_F(ContentViewModelTest, FilePreviewRunsForTheFilesKeywordAndClearsWithoutIt) {
  settle("files");
  EXPECT_FALSE(intelligence->active);
  EXPECT_TRUE(intelligence->settled.empty());
  EXPECT_EQ(intelligence->calls.back(), "cleared");
  settle("budget files");
  ASSERT_EQ(model.filePreviewResults().size(), 2u);
  EXPECT_EQ(model.filePreviewResults()[0].item.path, "/home/u/budget.pdf");
  settle("taxes");
  EXPECT_EQ(files->queries, std::vector<std::string>{"budget"});
  EXPECT_TRUE(model.filePreviewResults().empty());
}

TEST_F(ContentViewModelTest, CalculatorAnswerIsKeptWhileTyping) {
  intelligence->calculator = "14";
  settle("2+3*4");
  EXPECT_TRUE(called("prepare:2+3*4+calc"));
  EXPECT_TRUE(called("calc:2+3*4"));
  ScopedTelemetryRecorder recorder;
  EXPECT_TRUE(model.copyCalculatorResultToPasteboard());
  EXPECT_EQ(pasteboard->readString().value(), "14");
  EXPECT_EQ(recorder.sink().named("ContentViewModel.copyCalculatorResult")[0].parameters.at("characterCount"), "2");
}

TEST_F(ContentViewModelTest, FilesModeWaitsThreeHundredMillisecondsAndDropsStaleAnswers) {
  auto held = std::make_shared<testing::HeldRunner>(env.clock());
  ContentViewModel session(env.mainRunner(), held);
  session.setFileSearch(files);
  session.setSearchMode(SearchMode::files);
  session.handleSearchTextChange("rep");
  env.advanceBy(std::chrono::milliseconds(299));
  EXPECT_EQ(held->pending(), 0u);
  EXPECT_TRUE(session.isSearchingFiles());
  EXPECT_EQ(session.fileSearchSessionState().phase, FileSearchSessionState::Phase::lexicalDebouncing);
  env.advanceBy(std::chrono::milliseconds(1));
  ASSERT_EQ(held->pending(), 1u);
  EXPECT_EQ(session.fileSearchSessionState().phase, FileSearchSessionState::Phase::lexicalSearching);
  // The search for "rep" completes, but its answer is still on its way to
  // the main runner when the user types on.
  held->runAll();
  session.handleSearchTextChange("report");
  env.runUntilIdle();
  EXPECT_TRUE(session.fileResults().empty());
  env.advanceBy(std::chrono::milliseconds(300));
  held->runAll();
  env.runUntilIdle();
  EXPECT_EQ(files->queries, (std::vector<std::string>{"rep", "report"}));
  ASSERT_EQ(session.fileResults().size(), 2u);
  EXPECT_EQ(session.fileResults()[0].item.path, "/home/u/report.pdf");
  EXPECT_EQ(session.selectedFileID(), "/home/u/report.pdf");
  EXPECT_EQ(session.fileSearchSessionState().phase, FileSearchSessionState::Phase::completed);
  EXPECT_TRUE(session.fileSearchSessionState().hasResults);
  EXPECT_FALSE(session.isSearchingFiles());
}

TEST_F(ContentViewModelTest, ReturningToFilesModeWithTheSameTextReusesTheSessionAndFailuresPublishNothing) {
  model.setSearchMode(SearchMode::files);
  settle("notes", std::chrono::milliseconds(300));
  ASSERT_EQ(files->queries.size(), 1u);
  EXPECT_TRUE(intelligence->previews.empty()) << "previews belong to standard mode";
  model.setSearchMode(SearchMode::standard);
  env.advanceBy(std::chrono::milliseconds(100));
  model.setSearchMode(SearchMode::files);
  env.advanceBy(std::chrono::seconds(1));
  EXPECT_EQ(files->queries.size(), 1u);
  EXPECT_EQ(model.fileResults().size(), 2u);
  EXPECT_EQ(model.selectedFileID(), "/home/u/notes.pdf");
  files->fail = true;
  settle("x", std::chrono::milliseconds(300));
  EXPECT_TRUE(model.fileResults().empty());
  EXPECT_EQ(model.fileSearchSessionState().phase, FileSearchSessionState::Phase::completed);
  EXPECT_FALSE(model.fileSearchSessionState().hasResults);
}

TEST_F(ContentViewModelTest, HidingEmptiesTheFieldAndShowingStartsSettledAndEmpty) {
  type("calc");
  model.handlePresentationChange(false);
  EXPECT_EQ(model.searchText(), "");
  EXPECT_FALSE(model.selectedAppID().has_value());
  env.advanceBy(std::chrono::seconds(1));
  EXPECT_TRUE(intelligence->settled.empty());  // The pending debounce died with the hide.
  UUID before = model.scrollResetTrigger();
  model.handlePresentationChange(true);
  EXPECT_TRUE(model.isSearchSettled());
  EXPECT_TRUE(model.isSearchFieldFocused());
  EXPECT_NE(model.scrollResetTrigger(), before);
  EXPECT_EQ(model.displayedApps().size(), 6u);
}

TEST_F(ContentViewModelTest, LaunchingAnAppRecordsUseReportsAndHidesThePanel) {
  ScopedTelemetryRecorder recorder;
  type("calc");
  ASSERT_TRUE(model.activateSelectedApp());
  ASSERT_EQ(workspace->requests().size(), 1u);
  EXPECT_EQ(workspace->requests()[0].action, RecordingWorkspace::Action::launchApplication);
  EXPECT_EQ(workspace->requests()[0].target, "/usr/share/applications/calc.desktop");
  ASSERT_EQ(apps->saved.size(), 1u);
  EXPECT_EQ(apps->saved[0].lastUsed, env.clock().wallNow());
  EXPECT_EQ(window->hides, 1);
  auto signal = recorder.sink().named("ContentViewModel.activateApp");
  ASSERT_EQ(signal.size(), 1u);
  EXPECT_EQ(signal[0].parameters.at("domain"), "shared");
  EXPECT_EQ(signal[0].parameters.at("action"), "launch");
  EXPECT_EQ(signal[0].parameters.at("result"), "success");

  workspace->failWith(Error("Workspace", 2, "no such program"));
  type("term");
  EXPECT_FALSE(model.activateSelectedApp());
  EXPECT_EQ(window->hides, 1);  // Nothing opened: the panel stays.
  EXPECT_EQ(recorder.sink().count("ContentViewModel.activateApp.launchFailed"), 1u);
  EXPECT_EQ(recorder.sink().named("ContentViewModel.activateApp")[1].parameters.at("result"), "failure");
}

TEST_F(ContentViewModelTest, FileActivationOnlyInItsModeAndReportsTheMatchType) {
  ScopedTelemetryRecorder recorder;
  FileSearchResult result = fileResult("/home/u/a.pdf");
  EXPECT_FALSE(model.activate(result, false, /*allowStandardMode=*/false));
  EXPECT_TRUE(model.activate(result, true, /*allowStandardMode=*/true));
  EXPECT_EQ(workspace->requests().back().action, RecordingWorkspace::Action::revealInFileManager);
  EXPECT_EQ(workspace->requests().back().target, "/home/u/a.pdf");
  auto signal = recorder.sink().named("FileSearch.fileRevealed");
  ASSERT_EQ(signal.size(), 1u);
  EXPECT_EQ(signal[0].parameters.at("extension"), "pdf");
  EXPECT_EQ(signal[0].parameters.at("matchType"), fileMatchTypeRawValue(FileMatchType::prefix));
}

TEST_F(ContentViewModelTest, LateAnswersDieWithTheSession) {
  model.setSearchMode(SearchMode::files);
  type("late");
  env.advanceBy(std::chrono::milliseconds(300));
  // The model must not be touched by the answers still queued.
  auto other = std::make_unique<ContentViewModel>(env.mainRunner(), env.makeRunner("s"));
  other->setFileSearch(files);
  other->setSearchMode(SearchMode::files);
  other->handleSearchTextChange("gone");
  env.advanceBy(std::chrono::milliseconds(300));
  other.reset();
  env.runUntilIdle();
  EXPECT_EQ(model.fileResults().size(), 2u);
}

// The router picking files also runs the file preview.
TEST_F(ContentViewModelTest, FlushRunsTheDebouncedSearchOnceAndAtOnce) {
  intelligence->selected = {"files"};
  type("taxes");
  EXPECT_TRUE(model.hasPendingWork());
  model.flushPendingSearch();
  EXPECT_TRUE(model.isSearchSettled());
  EXPECT_EQ(intelligence->settled, std::vector<std::string>{"taxes"});
  EXPECT_TRUE(model.hasPendingWork());  // The file preview is on the search runner.
  env.runUntilIdle();
  EXPECT_FALSE(model.hasPendingWork());
  EXPECT_EQ(model.filePreviewResults().size(), 2u);
  env.advanceBy(std::chrono::seconds(1));
  EXPECT_EQ(model.settledSearchCount(), 1u);
  model.flushPendingSearch();  // Nothing pending: nothing runs.
  EXPECT_EQ(model.settledSearchCount(), 1u);
}

struct SemanticCase {
  const char* name;
  bool enabled;
  SemanticIndexStatus status;
  bool available;
  bool lexicalEmpty;
  bool expectMerge;
};

class SemanticStageTest : public ContentViewModelTest, public ::testing::WithParamInterface<SemanticCase> {};

TEST_P(SemanticStageTest, RunsOnlyWhenTheIndexCanAnswerAndKeepsLoadingUntilItHas) {
  const SemanticCase& c = GetParam();
  useSemanticFilesSearch();
  files->empty = c.lexicalEmpty;
  semantic->enabled = c.enabled;
  semantic->indexStatus = c.status;
  semantic->available = c.available;
  semantic->extra = {fileResult("/d/spending-plan.txt", 0.7f)};
  model.handleSearchTextChange("budget");
  env.advanceBy(std::chrono::milliseconds(300));
  env.runUntilIdle();
  if (c.expectMerge) {
    // The lexical answer is out; the semantic stage waits 100 ms more.
    EXPECT_EQ(model.fileSearchSessionState().phase, FileSearchSessionState::Phase::semanticSearching);
    EXPECT_TRUE(model.isSearchingFiles());
    EXPECT_TRUE(semantic->merged.empty());
    env.advanceBy(ContentViewModel::kSemanticStageDelay);
    env.runUntilIdle();
  }
  EXPECT_EQ(semantic->merged, c.expectMerge ? std::vector<std::string>{"budget"} : std::vector<std::string>{});
  EXPECT_EQ(model.fileResults().size(), (c.lexicalEmpty ? 0u : 2u) + (c.expectMerge ? 1u : 0u));
  EXPECT_EQ(model.fileSearchSessionState().phase, FileSearchSessionState::Phase::completed);
  EXPECT_FALSE(model.isSearchingFiles());
  if (c.enabled) {
    EXPECT_EQ(model.fileSemanticIndexStatus(), c.status);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemanticStageTest,
    ::testing::Values(SemanticCase{"ready", true, SemanticIndexStatus::ready, true, false, true},
                      SemanticCase{"readyNoLexical", true, SemanticIndexStatus::ready, true, true, true},
                      SemanticCase{"off", false, SemanticIndexStatus::ready, true, false, false},
                      SemanticCase{"rebuilding", true, SemanticIndexStatus::rebuilding, true, false, false},
                      SemanticCase{"initializing", true, SemanticIndexStatus::initializing, true, false, false},
                      SemanticCase{"cannotSearch", true, SemanticIndexStatus::empty, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContentViewModelTest, ANewerFilesQueryDropsThePendingSemanticStage) {
  useSemanticFilesSearch();
  type("bud");
  env.advanceBy(std::chrono::milliseconds(350));
  type("budget");
  env.advanceBy(std::chrono::milliseconds(500));
  env.runUntilIdle();
  EXPECT_EQ(semantic->merged, std::vector<std::string>{"budget"});
}

TEST(SelectionRulesTest, KeepMoveAndRestoreAgreeForEveryList) {
  const std::vector<std::string> ids = {"a", "b", "c"};
  struct Move {
    std::optional<std::string> from;
    int by;
    std::optional<std::string> to;
  };
  for (const Move& m : {Move{std::nullopt, 1, "a"}, Move{std::nullopt, -1, "c"}, Move{"a", -1, "a"}, Move{"a", 2, "c"},
                        Move{"c", 5, "c"}, Move{"gone", 1, "a"}}) {
    EXPECT_EQ(selection::moved(ids, m.from, m.by), m.to) << m.from.value_or("-") << " by " << m.by;
  }
  EXPECT_EQ(selection::moved({}, std::string("a"), 1), std::nullopt);
  EXPECT_EQ(selection::afterResults(ids, std::string("b"), /*reset=*/false), "b");
  EXPECT_EQ(selection::afterResults(ids, std::string("b"), /*reset=*/true), "a");
  EXPECT_EQ(selection::afterResults(ids, std::string("gone"), false), "a");
  EXPECT_EQ(selection::afterResults(ids, std::nullopt, false), "a");
  EXPECT_EQ(selection::afterResults(ids, std::nullopt, false, /*keepNone=*/true), std::nullopt);
  EXPECT_EQ(selection::afterResults({}, std::string("b"), false), std::nullopt);
}

TEST_F(ContentViewModelTest, CurrentSelectionFollowsTheModeModesHearTheyOpenAndCloseAndNeedAProvider) {
  apps->apps.clear();
  openClipboardMode();
  ASSERT_EQ(model.selectedModeResultID(), "1");
  model.advanceCurrentSelection(1);
  EXPECT_EQ(model.selectedModeResultID(), "2");
  ContentViewModel::Activation activation = model.activateCurrentSelection();
  EXPECT_EQ(activation.outcome, ContentViewModel::Activation::Outcome::opened);
  EXPECT_EQ(activation.target, "second");
  model.setSearchMode(SearchMode::standard);
  EXPECT_EQ(model.activateCurrentSelection().outcome, ContentViewModel::Activation::Outcome::nothingSelected);
  EXPECT_EQ(clipboard->events, (std::vector<std::string>{"open", "search:", "activate:2", "close"}));
  // A mode without a provider yields nothing.
  model.setSearchMode(SearchMode::emoji);
  settle("smile");
  EXPECT_TRUE(model.modeResults().empty());
  EXPECT_TRUE(model.isSearchSettled());
  EXPECT_FALSE(model.activateSelectedModeResult());
}

TEST_F(ContentViewModelTest, AResultTypedIntoTheUsersWindowIsActivatedOnlyOnceThePanelHides) {
  auto emoji = std::make_shared<TypingModeSearch>();
  emoji->hides = [this] { return window->hides; };
  model.setModeSearch(SearchMode::emoji, emoji);
  model.handlePresentationChange(true);
  model.setSearchMode(SearchMode::emoji);
  env.runUntilIdle();
  model.advanceCurrentSelection(1);
  // Hiding ends the presentation, which empties the results being activated.
  window->onHide = [this] { model.handlePresentationChange(false); };
  EXPECT_EQ(model.activateCurrentSelection().outcome, ContentViewModel::Activation::Outcome::opened);
  EXPECT_EQ(window->hides, 1);
  EXPECT_EQ(emoji->events.back(), "activate:2 after 1 hide");
  // The others still activate first and hide after a success.
  window->onHide = nullptr;
  openClipboardMode();
  model.activateCurrentSelection();
  EXPECT_EQ(clipboard->events.back(), "activate:1");
  EXPECT_EQ(window->hides, 2);
}

TEST_F(ContentViewModelTest, EnterRightAfterTypingActivatesTheFirstResultOfTheTypedText) {
  openClipboardMode();
  clipboard->results = {{"3", "third", ""}, {"4", "fourth", ""}};
  type("th");
  model.activateCurrentSelection();
  EXPECT_EQ(clipboard->events.back(), "search:");
  env.runUntilIdle();
  EXPECT_EQ(clipboard->events.back(), "activate:3");
  EXPECT_EQ(window->hides, 1);
  // Typing on after Enter takes the pick back.
  type("thi");
  model.activateCurrentSelection();
  type("thir");
  env.runUntilIdle();
  EXPECT_EQ(clipboard->events.back(), "search:thir");
}

// Copies made while clipboard mode shows appear without a keystroke, for the
// query typed, and the selection stays on the item it was on.
TEST_F(ContentViewModelTest, AnOpenModeShowsWhatItsProviderFindsAnewAndKeepsTheSelection) {
  openClipboardMode();
  model.advanceCurrentSelection(1);
  ASSERT_EQ(model.selectedModeResultID(), "2");
  clipboard->change({{"9", "new copy", ""}, {"1", "first", ""}, {"2", "second", ""}});
  env.runUntilIdle();
  ASSERT_EQ(model.modeResults().size(), 3u);
  EXPECT_EQ(model.modeResults()[0].title, "new copy");
  EXPECT_EQ(model.selectedModeResultID(), "2");
  EXPECT_EQ(clipboard->events.back(), "search:");
  settle("fir");
  clipboard->change({{"1", "first", ""}});
  env.runUntilIdle();
  EXPECT_EQ(clipboard->events.back(), "search:fir");
  // Hidden, or in another mode, nothing is searched for it.
  const size_t searches = clipboard->events.size();
  model.setSearchMode(SearchMode::standard);
  clipboard->change({});
  model.handlePresentationChange(false);
  clipboard->change({});
  env.runUntilIdle();
  EXPECT_EQ(std::count_if(clipboard->events.begin() + static_cast<long>(searches), clipboard->events.end(),
                          [](const std::string& e) { return e.rfind("search:", 0) == 0; }),
            0);
}

TEST_F(ContentViewModelTest, SwitchingTheClipboardHistoryOffLeavesClipboardMode) {
  openClipboardMode();
  ASSERT_FALSE(model.modeResults().empty());
  model.handleClipboardHistoryDisabled();
  env.runUntilIdle();
  EXPECT_EQ(model.searchMode(), SearchMode::standard);
  EXPECT_TRUE(model.modeResults().empty());
  EXPECT_EQ(clipboard->events.back(), "close");
}

}  // namespace
}  // namespace pallix
