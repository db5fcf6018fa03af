#include "app/emoji/EmojiInsertionController.h"

namespace pallix {

const char* emojiInsertionOutcomeName(EmojiInsertionOutcome outcome) {
  switch (outcome) {
    case EmojiInsertionOutcome::typed:
      return "typed";
    case EmojiInsertionOutcome::copied:
      return "copied";
    case EmojiInsertionOutcome::typingFailed:
      return "typingFailed";
    case EmojiInsertionOutcome::copyFailed:
      return "copyFailed";
  }
  return "copyFailed";
}

EmojiInsertionOutcome EmojiInsertionController::insert(const std::string& characters) {
  lastFailure_.clear();
  if (canTypeDirectly()) {
    Status typed = textInput_->typeText(characters);
    if (typed.ok()) return EmojiInsertionOutcome::typed;
    lastFailure_ = typed.error().description();
    return EmojiInsertionOutcome::typingFailed;
  }
  if (!pasteboard_) {
    lastFailure_ = "no clipboard";
    return EmojiInsertionOutcome::copyFailed;
  }
  auto written = pasteboard_->writeItem(PasteboardItem{{{kPlainTextUtf8Type, characters}, {kEmojiMarkerType, ""}}});
  if (written.ok()) return EmojiInsertionOutcome::copied;
  lastFailure_ = written.error().description();
  return EmojiInsertionOutcome::copyFailed;
}

}  // namespace pallix
