// EmojiPicker: the emoji mode of the search session, and what the command
// line's `pallix emoji` runs: search with the user's recents and preferred
// tone, and picking with the reactions of the panel (a typed emoji counts
// as used; a copied one tells the user; failures are reported as
// "EmojiInsertionController.failure").
//
// In the panel (with a KeyboardFocusReturn) a pick is typed on the typing
// runner once the keyboard is back with the user's window, and its outcome is
// applied on `main`; the command line types at once on the caller's thread.
//
// Threading: the main runner; searches run on `worker` and answer on `main`.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/emoji/EmojiInsertionController.h"
#include "app/emoji/EmojiSearchService.h"
#include "app/emoji/EmojiUsageStore.h"
#include "app/emoji/KeyboardFocusReturn.h"
#include "app/search/ContentViewModel.h"

namespace pallix {

struct EmojiPickOutcome {
  EmojiInsertionOutcome outcome;
  std::string character;  // what was inserted (with the preferred tone)
  // What the panel tells the user: the copy hint or the error's description.
  std::string message;
  bool succeeded() const { return outcome == EmojiInsertionOutcome::typed || outcome == EmojiInsertionOutcome::copied; }
};

class EmojiPicker final : public ModeSearchProvider {
 public:
  static constexpr const char* kCopiedMessage =
      "The emoji is on the clipboard: paste it. Allowing Pallix to type (an X11 display with XTest, or wtype on "
      "Wayland) inserts it directly.";

  EmojiPicker(std::shared_ptr<EmojiSearchService> search, std::shared_ptr<EmojiUsageStore> usage,
              std::shared_ptr<EmojiInsertionController> insertion, TaskRunnerPtr main, TaskRunnerPtr worker);

  // How long a panel pick waits for the keyboard before it copies instead.
  static constexpr std::chrono::milliseconds kFocusReturnTimeout{2000};

  // The most results a typed query shows: the best matches, enough rows of
  // the grid to browse and few enough to build at typing speed.
  static constexpr int kQueryResultLimit = 270;
  static constexpr const char* kRecentGroup = "Recent";

  // A typed query answers its best matches in one list; the empty query
  // answers every emoji, grouped: the recents (in the preferred tone) under
  // kRecentGroup, then each category of the catalog in the catalog's order.
  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override;
  // Loads the catalog on the worker, so that the first search answers at once;
  // `loaded` (may be null) then hears, on the worker, its entries and the heap they hold.
  void preload(std::function<void(size_t entries, int64_t bytes)> loaded = nullptr);
  // With a focus return: starts the pick and answers whether it could start.
  bool activate(const ModeResult& result) override;
  bool deliversAfterHiding() const override { return focusReturn_ != nullptr; }
  // The panel's way of typing: wait on `typing` for the keyboard, then type.
  void setFocusReturn(std::shared_ptr<KeyboardFocusReturn> focusReturn, TaskRunnerPtr typing);

  // Searches on the caller's thread (the command line).
  std::vector<EmojiSearchMatch> searchNow(const std::string& text, std::optional<int> limit);
  // Inserts the entry with this id or character.
  std::optional<EmojiPickOutcome> pick(const std::string& idOrCharacter);
  EmojiPickOutcome pick(const EmojiEntry& entry);
  // Called after every pick with its outcome, on the main runner.
  void setOutcomeHandler(std::function<void(const EmojiPickOutcome&)> h) { outcomeHandler_ = std::move(h); }
  // The preferred tone; a change is signalled as "EmojiPicker.skinTonePreferenceChanged".
  Status setPreferredSkinTone(std::optional<EmojiSkinTone> tone);
  std::optional<EmojiSkinTone> preferredSkinTone() const { return usage_->preferredSkinTone(); }
  // True when picking types directly, false when it copies (the paste capability).
  bool canTypeDirectly() const { return insertion_->canTypeDirectly(); }
  const std::optional<EmojiPickOutcome>& lastOutcome() const { return lastOutcome_; }

 private:
  EmojiPickOutcome finish(const std::string& id, std::string character, EmojiInsertionOutcome outcome,
                          const std::string& failure);

  std::function<void(const EmojiPickOutcome&)> outcomeHandler_;
  std::shared_ptr<EmojiSearchService> search_;
  std::shared_ptr<EmojiUsageStore> usage_;
  std::shared_ptr<EmojiInsertionController> insertion_;
  TaskRunnerPtr main_;
  TaskRunnerPtr worker_;
  std::optional<EmojiPickOutcome> lastOutcome_;
  std::shared_ptr<KeyboardFocusReturn> focusReturn_;
  TaskRunnerPtr typing_;
  // Last member: typed picks answering after the picker is gone are dropped.
  WeakGuard weak_;
};

}  // namespace pallix
