#include <gtest/gtest.h>

#include "app/emoji/EmojiEntryCatalog.h"
#include "app/emoji/EmojiPicker.h"
#include "core/Telemetry.h"
#include "testing/FakeTextInput.h"
#include "tests/clipboard/ClipboardTestSupport.h"

namespace pallix {
namespace {

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

}  // namespace
}  // namespace pallix
