// The semantic stage of files search, the shared selection rules, and the
// mode-independent navigation and activation of the session.
#include <gtest/gtest.h>

#include "app/search/ContentViewModel.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

FileSearchResult fileAt(const std::string& path, float score) {
  FileSearchResult r;
  r.item.path = path;
  r.item.name = path.substr(path.rfind('/') + 1);
  r.relevanceScore = score;
  return r;
}

class OneFileSearch : public FileSearchProvider {
 public:
  std::vector<FileSearchResult> results;
  Result<std::vector<FileSearchResult>> search(const std::string&, int) override { return results; }
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

struct SemanticCase {
  const char* name;
  bool enabled;
  SemanticIndexStatus status;
  bool available;
  bool lexicalEmpty;
  bool expectMerge;
};

// A files-mode session over one lexical and one semantic provider.
struct FilesSession {
  FilesSession() {
    model.setFileSearch(lexical);
    model.setFileSemanticSearch(semantic);
    model.setSearchMode(SearchMode::files);
  }
  VirtualTimeEnvironment env;
  ContentViewModel model{env.mainRunner(), env.makeRunner("search")};
  std::shared_ptr<OneFileSearch> lexical = std::make_shared<OneFileSearch>();
  std::shared_ptr<FakeSemantic> semantic = std::make_shared<FakeSemantic>();
};

class SemanticStageTest : public ::testing::TestWithParam<SemanticCase> {};

TEST_P(SemanticStageTest, RunsOnlyWhenTheIndexCanAnswerAndKeepsLoadingUntilItHas) {
  const SemanticCase& c = GetParam();
  FilesSession session;
  auto& [env, model, lexical, semantic] = session;
  if (!c.lexicalEmpty) lexical->results = {fileAt("/d/budget.ods", 0.9f)};
  semantic->enabled = c.enabled;
  semantic->indexStatus = c.status;
  semantic->available = c.available;
  semantic->extra = {fileAt("/d/spending-plan.txt", 0.7f)};
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
  EXPECT_EQ(model.fileResults().size(), (c.lexicalEmpty ? 0u : 1u) + (c.expectMerge ? 1u : 0u));
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

TEST(SemanticStageTest, ANewerQueryDropsThePendingStage) {
  FilesSession session;
  session.lexical->results = {fileAt("/d/a.txt", 0.9f)};
  session.model.handleSearchTextChange("bud");
  session.env.advanceBy(std::chrono::milliseconds(350));
  session.model.handleSearchTextChange("budget");
  session.env.advanceBy(std::chrono::milliseconds(500));
  session.env.runUntilIdle();
  EXPECT_EQ(session.semantic->merged, std::vector<std::string>{"budget"});
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

// Records the mode hooks and activations of one mode.
class RecordingModeSearch : public ModeSearchProvider {
 public:
  std::vector<std::string> events;
  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override {
    events.push_back("search:" + text);
    completion({{"1", "first", ""}, {"2", "second", ""}});
  }
  bool activate(const ModeResult& result) override {
    events.push_back("activate:" + result.identifier);
    return true;
  }
  void modeDidOpen() override { events.push_back("open"); }
  void modeDidClose() override { events.push_back("close"); }
};

// A shown panel in clipboard mode over a recording provider.
struct ClipboardModeSession {
  ClipboardModeSession() {
    model.setModeSearch(SearchMode::clipboard, clipboard);
    model.handlePresentationChange(true);
    model.setSearchMode(SearchMode::clipboard);
    env.runUntilIdle();
  }
  VirtualTimeEnvironment env;
  ContentViewModel model{env.mainRunner(), env.makeRunner("search")};
  std::shared_ptr<RecordingModeSearch> clipboard = std::make_shared<RecordingModeSearch>();
};

TEST(SessionNavigationTest, CurrentSelectionFollowsTheModeAndModesHearTheyOpenAndClose) {
  ClipboardModeSession session;
  auto& [env, model, clipboard] = session;
  ASSERT_EQ(model.selectedModeResultID(), "1");
  model.advanceCurrentSelection(1);
  EXPECT_EQ(model.selectedModeResultID(), "2");
  ContentViewModel::Activation activation = model.activateCurrentSelection();
  EXPECT_EQ(activation.outcome, ContentViewModel::Activation::Outcome::opened);
  EXPECT_EQ(activation.target, "second");
  model.setSearchMode(SearchMode::standard);
  EXPECT_EQ(model.activateCurrentSelection().outcome, ContentViewModel::Activation::Outcome::nothingSelected);
  EXPECT_EQ(clipboard->events, (std::vector<std::string>{"open", "search:", "activate:2", "close"}));
}

TEST(SessionNavigationTest, SwitchingTheClipboardHistoryOffLeavesClipboardMode) {
  ClipboardModeSession session;
  auto& [env, model, clipboard] = session;
  ASSERT_FALSE(model.modeResults().empty());
  model.handleClipboardHistoryDisabled();
  env.runUntilIdle();
  EXPECT_EQ(model.searchMode(), SearchMode::standard);
  EXPECT_TRUE(model.modeResults().empty());
  EXPECT_EQ(clipboard->events.back(), "close");
}

}  // namespace
}  // namespace pallix
