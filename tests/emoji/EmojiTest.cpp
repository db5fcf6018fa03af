// Emoji: the bundled catalogue and its fallback, search scoring, usage
// recents, and the picker that types or copies a pick.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/emoji/EmojiEntryCatalog.h"
#include "app/emoji/EmojiPicker.h"
#include "app/emoji/EmojiSearchService.h"
#include "core/Telemetry.h"
#include "testing/FakeTextInput.h"
#include "tests/clipboard/ClipboardTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

const std::vector<EmojiEntry>& bundled() {
  static const std::vector<EmojiEntry> catalog =
      EmojiEntryCatalog::loadCatalog(EmojiEntryCatalog::resourcePath()).value();
  return catalog;
}

const EmojiEntry& entryNamed(const std::string& name) {
  const auto& catalog = bundled();
  return *std::find_if(catalog.begin(), catalog.end(), [&](const EmojiEntry& e) { return e.shortName == name; });
}

TEST(EmojiCatalogTest, BundledCatalogGroupsToneVariantsUnderTheirBase) {
  ASSERT_GT(bundled().size(), 1800u);
  const EmojiEntry& wave = entryNamed("waving hand");
  EXPECT_EQ(wave.id, "👋");
  EXPECT_EQ(wave.category, "People & Body");
  EXPECT_EQ(wave.subcategory, "hand-fingers-open");
  ASSERT_EQ(wave.skinToneVariants.size(), 5u);
  EXPECT_EQ(wave.skinToneVariants.at(EmojiSkinTone::medium), "👋🏽");
  for (const char* keyword : {"waving hand", "waving", "hand", "people & body", "people", "body", "1f44b", "👋"}) {
    EXPECT_TRUE(std::binary_search(wave.keywords.begin(), wave.keywords.end(), keyword)) << keyword;
  }
  // No entry is a tone variant in its own right.
  EXPECT_TRUE(std::none_of(bundled().begin(), bundled().end(),
                           [](const EmojiEntry& e) { return e.shortName.find("skin tone") != std::string::npos; }));
}

TEST(EmojiCatalogTest, MissingOrEmptyResourceFallsBackToTheBuiltInList) {
  testing::TempDir dir;
  const std::string empty = dir.write("empty/Emojis.json", R"({"emojis":[]})");
  const std::string broken = dir.write("broken/Emojis.json", "{");
  const std::pair<std::string, const char*> cases[] = {{dir / "missing/Emojis.json", "could not be found"},
                                                       {empty, "did not contain any emoji entries"},
                                                       {broken, "could not be decoded"}};
  for (const auto& [path, reason] : cases) {
    EXPECT_TRUE(testing::failsWith(EmojiEntryCatalog::loadCatalog(path), reason)) << path;
    ScopedTelemetryRecorder telemetry;
    EXPECT_EQ(EmojiEntryCatalog::loadOrFallback(path), EmojiEntryCatalog::fallbackCatalog());
    EXPECT_EQ(telemetry.sink().count("EmojiEntryCatalog.loadFailed"), 1u);
  }
  EmojiSearchService service([] { return EmojiEntryCatalog::fallbackCatalog(); });
  EXPECT_EQ(service.search("thumbs up", {}, EmojiSkinTone::dark, 1).at(0).entry.character, "👍🏿");
}

class EmojiSearchTest : public ::testing::Test {
 protected:
  EmojiSearchService service{[] { return bundled(); }};
  std::vector<EmojiSearchMatch> search(const std::string& q, const std::vector<std::string>& recents = {},
                                       std::optional<EmojiSkinTone> tone = std::nullopt) {
    return service.search(q, recents, tone);
  }
  int scoreOf(const std::vector<EmojiSearchMatch>& matches, const std::string& id) {
    for (const auto& m : matches) {
      if (m.entry.id == id) return m.score;
    }
    return -1;
  }
};

TEST(EmojiFootprintTest, CountsTheLoadedEntriesAndGrowsWithTheirWords) {
  auto catalog = EmojiEntryCatalog::fallbackCatalog();
  EmojiSearchService plain([&] { return catalog; });
  auto [entries, bytes] = plain.footprint();
  EXPECT_EQ(entries, catalog.size());
  EXPECT_GE(bytes, static_cast<int64_t>(catalog.size() * sizeof(EmojiEntry)));

  for (EmojiEntry& entry : catalog) entry.annotations.push_back(std::string(1000, 'w'));
  EmojiSearchService wordy([&] { return catalog; });
  // Each long annotation is held three times: in the entry, its search text and its words.
  EXPECT_GE(wordy.footprint().second - bytes, static_cast<int64_t>(3 * 1000 * catalog.size()));
}

TEST_F(EmojiSearchTest, EveryWordMustMatchAndTheWholeNameRanksFirst) {
  auto matches = search("red heart");
  ASSERT_FALSE(matches.empty());
  EXPECT_EQ(matches[0].entry.shortName, "red heart");
  EXPECT_EQ(scoreOf(matches, entryNamed("red apple").id), -1) << "\"heart\" is not in it";
  EXPECT_EQ(scoreOf(matches, entryNamed("broken heart").id), -1) << "\"red\" is not in it";
  for (size_t i = 1; i < matches.size(); ++i) EXPECT_GE(matches[i - 1].score, matches[i].score);
  // While a word is being typed, its start matches.
  auto typing = search("red hea");
  ASSERT_FALSE(typing.empty());
  EXPECT_EQ(typing[0].entry.shortName, "red heart");
}

// One word scores by its best match: a word of the name 300 (350 in a
// two-word name), the start of one 150, inside the name 60; equal scores
// keep Unicode's order.
TEST_F(EmojiSearchTest, OneWordScoresByItsBestMatchAndTiesKeepTheCatalogOrder) {
  EXPECT_EQ(scoreOf(search("hand"), entryNamed("waving hand").id), 300 + 50) << "a two-word name";
  EXPECT_EQ(scoreOf(search("hand"), entryNamed("raised back of hand").id), 300);
  EXPECT_EQ(scoreOf(search("wav"), entryNamed("waving hand").id), 150);
  EXPECT_EQ(scoreOf(search("aving"), entryNamed("waving hand").id), 60);
  EXPECT_EQ(scoreOf(search("waving hand"), entryNamed("waving hand").id), 350 + 350 + 500);
  auto hands = search("hand");
  auto position = [&](const std::string& name) {
    for (size_t i = 0; i < hands.size(); ++i) {
      if (hands[i].entry.shortName == name) return i;
    }
    return hands.size();
  };
  EXPECT_LT(position("raised back of hand"), position("folded hands"));
  EXPECT_LT(position("waving hand"), position("raised back of hand"));
}

TEST_F(EmojiSearchTest, RecentPicksScoreByPosition) {
  std::vector<std::string> recents;
  for (const char* name : {"fire", "rocket", "thumbs up"}) recents.push_back(entryNamed(name).id);
  auto defaults = service.search("", recents, std::nullopt, 5);
  ASSERT_EQ(defaults.size(), 5u);
  EXPECT_EQ(defaults[0].score, 300);
  EXPECT_EQ(defaults[1].score, 295);
  EXPECT_TRUE(defaults[2].isRecent);
  EXPECT_FALSE(defaults[3].isRecent);
  EXPECT_EQ(defaults[3].entry, bundled()[0]);
  // A matching recent gains 200 - 5p; the 41st gains nothing but is marked.
  const std::string rocket = entryNamed("rocket").id;
  const int plain = scoreOf(search("rocket"), rocket);
  EXPECT_EQ(scoreOf(search("rocket", {rocket}), rocket), plain + 200);
  std::vector<std::string> long_(40, "x");
  long_.push_back(rocket);
  auto late = search("rocket", long_);
  EXPECT_EQ(scoreOf(late, rocket), plain);
  EXPECT_TRUE(late[0].isRecent);
}

// A tone-modified emoji finds its base entry; a preferred tone changes only entries that have it.
TEST_F(EmojiSearchTest, TonesMatchTheirBaseAndThePreferredOneChangesOnlyEntriesThatHaveIt) {
  auto toned = search("👋🏾");
  ASSERT_FALSE(toned.empty());
  EXPECT_EQ(toned[0].entry.id, "👋");
  EXPECT_GE(toned[0].score, 500);
  auto matches = search("wav", {}, EmojiSkinTone::medium);
  EXPECT_EQ(matches[0].entry.character, "👋🏽");
  auto rockets = search("rocket", {}, EmojiSkinTone::medium);
  EXPECT_EQ(rockets[0].entry.character, "🚀");
  EXPECT_EQ(service.search("face", {}, std::nullopt, 3).size(), 3u);
  EXPECT_TRUE(search("zzzzqq").empty());
}

TEST(EmojiUsageStoreTest, RecentsAreOrderedByCountThenRecency) {
  UserDefaults defaults;
  EmojiUsageStore usage(defaults);
  ASSERT_TRUE(usage.recordUsage("a").ok());
  ASSERT_TRUE(usage.recordUsage("a").ok());
  EXPECT_EQ(usage.recentIdentifiers(), std::vector<std::string>{"a"});
  EXPECT_EQ(usage.usageCount("a"), 2);
  ASSERT_TRUE(usage.recordUsage("a").ok());
  ASSERT_TRUE(usage.recordUsage("b").ok());
  ASSERT_TRUE(usage.recordUsage("c").ok());
  EXPECT_EQ(usage.recentIdentifiers(), (std::vector<std::string>{"a", "c", "b"}));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(usage.recordUsage("e" + std::to_string(i)).ok());
  auto recents = usage.recentIdentifiers();
  EXPECT_EQ(recents.size(), 50u);
  EXPECT_EQ(std::count(recents.begin(), recents.end(), "a"), 0);
  EXPECT_EQ(usage.usageCount("a"), 3);
  ASSERT_TRUE(usage.updatePreferredSkinTone(EmojiSkinTone::dark).ok());
  EXPECT_EQ(defaults.stringValue(EmojiUsageStore::kPreferredSkinToneKey), "1F3FF");
  ASSERT_TRUE(usage.updatePreferredSkinTone(std::nullopt).ok());
  EXPECT_FALSE(defaults.contains(EmojiUsageStore::kPreferredSkinToneKey));
}

struct PickerFixture {
  testing::ClipboardFixture clipboard;
  UserDefaults defaults;
  std::shared_ptr<FakeTextInput> input = std::make_shared<FakeTextInput>();
  std::shared_ptr<EmojiUsageStore> usage = std::make_shared<EmojiUsageStore>(defaults);
  EmojiPicker picker{std::make_shared<EmojiSearchService>([] { return EmojiEntryCatalog::fallbackCatalog(); }), usage,
                     std::make_shared<EmojiInsertionController>(input, clipboard.pasteboard),
                     clipboard.env.mainRunner(), clipboard.env.makeRunner("emoji")};
};

TEST(EmojiPickerTest, TypedPicksAreCountedAsOneStringEachAndModeResultsAnswerOnTheMainRunner) {
  PickerFixture f;
  ASSERT_TRUE(f.picker.setPreferredSkinTone(EmojiSkinTone::mediumDark).ok());
  for (const char* pick : {"👨‍👩‍👧‍👦", "🇨🇦", "👍"}) {
    auto outcome = f.picker.pick(pick);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->outcome, EmojiInsertionOutcome::typed);
  }
  EXPECT_EQ(f.input->typed(), (std::vector<std::string>{"👨‍👩‍👧‍👦", "🇨🇦", "👍🏾"}));
  EXPECT_EQ(f.usage->usageCount("👍"), 1);
  EXPECT_FALSE(f.picker.pick("not an emoji"));
  // The mode search answers on the main runner; activating a result types it.
  std::vector<ModeResult> results;
  f.picker.search("fire", [&](std::vector<ModeResult> r) { results = std::move(r); });
  EXPECT_TRUE(results.empty());
  f.clipboard.env.runUntilIdle();
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results[0].identifier, "🔥");
  EXPECT_TRUE(f.picker.activate(results[0]));
  EXPECT_EQ(f.input->typed().back(), "🔥");
}

TEST(EmojiPickerTest, WithoutTypingTheEmojiIsCopiedAndTheHistoryLeavesItOut) {
  PickerFixture f;
  f.clipboard.start();
  f.input->setPermitted(false);
  auto outcome = f.picker.pick("🔥");
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->outcome, EmojiInsertionOutcome::copied);
  EXPECT_EQ(outcome->message, EmojiPicker::kCopiedMessage);
  f.clipboard.env.advanceBy(seconds(5));
  EXPECT_EQ(f.clipboard.pasteboard->readString().value(), "🔥");
  EXPECT_EQ(f.clipboard.storedCount(), 0);
  EXPECT_TRUE(f.usage->recentIdentifiers().empty());
}

TEST(EmojiPickerTest, FailuresAreReportedWithTheirReason) {
  struct Case {
    bool permitted;
    EmojiInsertionOutcome outcome;
    Error shown;
  };
  const Case cases[] = {{true, EmojiInsertionOutcome::typingFailed, EmojiInsertionError::eventPostFailed()},
                        {false, EmojiInsertionOutcome::copyFailed, EmojiInsertionError::pasteboardWriteFailed()}};
  for (const Case& c : cases) {
    PickerFixture f;
    ScopedTelemetryRecorder telemetry;
    f.input->setPermitted(c.permitted);
    f.input->failWith(Error("TextInputError", 1, "XTest is missing"));
    f.clipboard.pasteboard->failWith(Error("PasteboardError", 1, "no display"));
    auto outcome = f.picker.pick("🔥");
    EXPECT_EQ(outcome->outcome, c.outcome);
    EXPECT_EQ(outcome->message, c.shown.description());
    auto signals = telemetry.sink().named("EmojiInsertionController.failure");
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].parameters.at("source"), "emoji-picker");
    EXPECT_EQ(signals[0].parameters.at("reason"), emojiInsertionOutcomeName(c.outcome));
    EXPECT_TRUE(f.usage->recentIdentifiers().empty());
  }
}

// The keyboard's way back, answering as told; records whether the panel's
// pick asked before anything was typed.
class FakeFocusReturn final : public KeyboardFocusReturn {
 public:
  explicit FakeFocusReturn(std::shared_ptr<FakeTextInput> input) : input_(std::move(input)) {}
  bool returns = true;
  std::vector<Duration> waits;
  size_t typedWhenAsked = 0;
  bool waitForReturn(Duration timeout) override {
    waits.push_back(timeout);
    typedWhenAsked = input_->typed().size();
    return returns;
  }

 private:
  std::shared_ptr<FakeTextInput> input_;
};

struct PanelPickerFixture : PickerFixture {
  PanelPickerFixture() { picker.setFocusReturn(focus, typing); }
  TaskRunnerPtr typing = clipboard.env.makeRunner("typing");
  std::shared_ptr<FakeFocusReturn> focus = std::make_shared<FakeFocusReturn>(input);
  std::vector<EmojiPickOutcome> outcomes;
};

TEST(EmojiPickerTest, APanelPickIsTypedOnlyOnceTheKeyboardIsBackAndCountsWhenDelivered) {
  PanelPickerFixture f;
  f.picker.setOutcomeHandler([&](const EmojiPickOutcome& o) { f.outcomes.push_back(o); });
  ASSERT_TRUE(f.picker.deliversAfterHiding());
  EXPECT_TRUE(f.picker.activate({"🎉", "🎉 party popper", ""}));
  // Nothing is typed or counted on the main runner's turn.
  EXPECT_TRUE(f.input->typed().empty());
  EXPECT_EQ(f.usage->usageCount("🎉"), 0);
  f.clipboard.env.runUntilIdle();
  EXPECT_EQ(f.focus->waits, (std::vector<Duration>{EmojiPicker::kFocusReturnTimeout}));
  EXPECT_EQ(f.focus->typedWhenAsked, 0u);
  EXPECT_EQ(f.input->typed(), (std::vector<std::string>{"🎉"}));
  EXPECT_EQ(f.usage->usageCount("🎉"), 1);
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_EQ(f.outcomes[0].outcome, EmojiInsertionOutcome::typed);

  // Typing that fails is not a use.
  f.input->failWith(Error("TextInputError", 1, "XTest is missing"));
  EXPECT_TRUE(f.picker.activate({"🔥", "🔥 fire", ""}));
  f.clipboard.env.runUntilIdle();
  EXPECT_EQ(f.usage->usageCount("🔥"), 0);
  EXPECT_EQ(f.outcomes.back().outcome, EmojiInsertionOutcome::typingFailed);
  EXPECT_FALSE(f.picker.activate({"nope", "", ""}));
}

TEST(EmojiPickerTest, WhenTheKeyboardDoesNotComeBackThePanelPickIsCopiedAndNotCounted) {
  PanelPickerFixture f;
  f.clipboard.start();
  f.focus->returns = false;
  EXPECT_TRUE(f.picker.activate({"🎉", "🎉 party popper", ""}));
  f.clipboard.env.advanceBy(seconds(5));
  EXPECT_TRUE(f.input->typed().empty());
  ASSERT_TRUE(f.picker.lastOutcome());
  EXPECT_EQ(f.picker.lastOutcome()->outcome, EmojiInsertionOutcome::copied);
  EXPECT_EQ(f.picker.lastOutcome()->message, EmojiPicker::kCopiedMessage);
  EXPECT_EQ(f.clipboard.pasteboard->readString().value(), "🎉");
  EXPECT_EQ(f.usage->usageCount("🎉"), 0);
}

}  // namespace
}  // namespace pallix
