// Where a capture's work runs: the pasteboard read and the store insert on
// the capture runner, the history and observers on the main runner, which
// gets finished items only, in the order of the copies.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ClipboardTestSupport.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

using testing::ClipboardFixture;
using testing::textItem;

// The fake pasteboard, with a hook that runs inside each read (as the
// owner answers).
class ObservedPasteboard final : public Pasteboard {
 public:
  explicit ObservedPasteboard(std::shared_ptr<FakePasteboard> inner) : inner_(std::move(inner)) {}
  Status writeString(const std::string& text) override { return inner_->writeString(text); }
  Result<std::optional<std::string>> readString() override { return inner_->readString(); }
  int64_t changeCount() const override { return inner_->changeCount(); }
  Result<std::optional<PasteboardItem>> readItem() override {
    auto item = inner_->readItem();
    if (duringRead) duringRead();
    return item;
  }
  Result<int64_t> writeItem(const PasteboardItem& item) override { return inner_->writeItem(item); }
  std::optional<FrontmostApplication> frontmostApplication() override { return inner_->frontmostApplication(); }
  void setChangeObserver(std::function<void()> observer) override { inner_->setChangeObserver(std::move(observer)); }

  std::function<void()> duringRead;

 private:
  std::shared_ptr<FakePasteboard> inner_;
};

std::vector<std::string> texts(const std::vector<ClipboardItem>& items) {
  std::vector<std::string> out;
  for (const ClipboardItem& i : items) out.push_back(i.primaryText.value_or("-"));
  return out;
}

TEST(ClipboardCaptureRunnerTest, TheReadAndTheInsertRunOnTheCaptureRunnerAndTheMainRunnerGetsTheItem) {
  ClipboardFixture f;
  auto observed = std::make_shared<ObservedPasteboard>(f.pasteboard);
  f.servicePasteboard = observed;
  f.start();
  f.service->setPanelVisible(true);
  struct Seen {
    bool onCapture = false, onMain = false;
    int64_t stored = -1;
    size_t history = 99;
  };
  std::vector<Seen> reads, captures;
  observed->duringRead = [&] {
    reads.push_back(
        {f.captureRunner->isCurrent(), f.env.mainRunner()->isCurrent(), f.storedCount(), f.service->history().size()});
  };
  f.service->setCaptureObserver([&](const ClipboardItem& item, bool isNew) {
    EXPECT_TRUE(isNew);
    EXPECT_EQ(item.primaryText, "big");
    captures.push_back(
        {f.captureRunner->isCurrent(), f.env.mainRunner()->isCurrent(), f.storedCount(), f.service->history().size()});
  });
  f.pasteboard->setItem(textItem("big"));
  EXPECT_EQ(f.service->capturesInFlight(), 0u);
  f.env.runUntilIdle();
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_TRUE(reads[0].onCapture);
  EXPECT_FALSE(reads[0].onMain);
  EXPECT_EQ(reads[0].stored, 0);
  EXPECT_EQ(reads[0].history, 0u);
  // The item reached the main runner stored (uncommitted) and in the history.
  ASSERT_EQ(captures.size(), 1u);
  EXPECT_TRUE(captures[0].onMain);
  EXPECT_FALSE(captures[0].onCapture);
  EXPECT_EQ(captures[0].stored, 1);
  EXPECT_EQ(captures[0].history, 1u);
  EXPECT_EQ(f.service->capturesInFlight(), 0u);
  EXPECT_TRUE(f.service->hasPendingChanges());
  // The batched commit runs on the capture runner too.
  f.env.advanceBy(ClipboardService::kSaveBatchDelay);
  EXPECT_FALSE(f.store->hasUncommittedChanges());
  EXPECT_FALSE(f.service->hasPendingChanges());
}

// While the first copy is being read the user copies again: the main runner
// sees the second change before the first item comes back, and both are
// recorded in the order copied, the second one current.
TEST(ClipboardCaptureRunnerTest, TwoQuickCopiesAreRecordedInOrderAndTheLatestIsCurrent) {
  ClipboardFixture f;
  auto observed = std::make_shared<ObservedPasteboard>(f.pasteboard);
  f.servicePasteboard = observed;
  f.start();
  f.service->setPanelVisible(true);
  std::vector<std::string> observedOrder;
  f.service->setCaptureObserver(
      [&](const ClipboardItem& item, bool) { observedOrder.push_back(item.primaryText.value_or("-")); });
  int reads = 0;
  observed->duringRead = [&] {
    if (++reads == 1) f.pasteboard->setItem(textItem("second"));
  };
  f.pasteboard->setItem(textItem("first"));
  f.env.runUntilIdle();
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(observedOrder, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(texts(f.service->history()), (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(f.service->history()[0].pasteboardChangeCount, f.pasteboard->changeCount());
  EXPECT_EQ(f.service->history()[1].pasteboardChangeCount, f.pasteboard->changeCount() - 1);
  EXPECT_EQ(f.service->lastObservedChangeCount(), f.pasteboard->changeCount());
  // Copying the first text again moves it to the top, in memory and stored.
  f.env.advanceBy(seconds(1));
  f.copyText("first");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(texts(f.service->history()), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(texts(f.stored()), (std::vector<std::string>{"first", "second"}));
}

// A read that fails is logged with the owner's reason where it fails, even
// when the service is gone before the main runner hears of it.
TEST(ClipboardCaptureRunnerTest, AFailedReadIsLoggedOnTheCaptureRunner) {
  testing::ScopedLogCapture logs(LogLevel::error);
  ClipboardFixture f;
  auto observed = std::make_shared<ObservedPasteboard>(f.pasteboard);
  f.servicePasteboard = observed;
  f.start();
  bool logged = false;
  observed->duringRead = [&] { f.service.reset(); };
  f.pasteboard->failReadsWith(Error("PasteboardError", 8, "Abandoned the transfer of \"image/png\""));
  f.pasteboard->setItem(textItem("lost"));
  logs.sink().clear();
  f.env.runUntilIdle();
  logged = logs.contains("Cannot read the clipboard: Abandoned the transfer of \"image/png\"");
  EXPECT_TRUE(logged);
  EXPECT_EQ(f.storedCount(), 0);
}

}  // namespace
}  // namespace pallix
