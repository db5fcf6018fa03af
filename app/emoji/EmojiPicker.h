// EmojiPicker: the emoji mode of the search session, and what the command
// line's `pallix emoji` runs: search with the user's recents and preferred
// tone, and picking with the reactions of the panel (a typed emoji counts
// as used; a copied one tells the user; failures are reported as
// "EmojiInsertionController.failure").
//
// Threading: the main runner; searches run on `worker` and answer on `main`.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/emoji/EmojiInsertionController.h"
#include "app/emoji/EmojiSearchService.h"
#include "app/emoji/EmojiUsageStore.h"
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

  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override;
  bool activate(const ModeResult& result) override;

  // Searches on the caller's thread (the command line).
  std::vector<EmojiSearchMatch> searchNow(const std::string& text, std::optional<int> limit);
  // Inserts the entry with this id or character.
  std::optional<EmojiPickOutcome> pick(const std::string& idOrCharacter);
  EmojiPickOutcome pick(const EmojiEntry& entry);
  // The preferred tone; a change is signalled as "EmojiPicker.skinTonePreferenceChanged".
  Status setPreferredSkinTone(std::optional<EmojiSkinTone> tone);
  std::optional<EmojiSkinTone> preferredSkinTone() const { return usage_->preferredSkinTone(); }
  // True when picking types directly, false when it copies (the paste capability).
  bool canTypeDirectly() const { return insertion_->canTypeDirectly(); }
  const std::optional<EmojiPickOutcome>& lastOutcome() const { return lastOutcome_; }

 private:
  std::shared_ptr<EmojiSearchService> search_;
  std::shared_ptr<EmojiUsageStore> usage_;
  std::shared_ptr<EmojiInsertionController> insertion_;
  TaskRunnerPtr main_;
  TaskRunnerPtr worker_;
  std::optional<EmojiPickOutcome> lastOutcome_;
};

}  // namespace pallix
