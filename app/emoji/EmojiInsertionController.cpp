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
  if (canTypeDirectly()) return type(characters, lastFailure_);
  return copy(characters, lastFailure_);
}

EmojiInsertionOutcome EmojiInsertionController::type(const std::string& characters, std::string& failure) const {
  if (!textInput_) {
    failure = "no text input";
    return EmojiInsertionOutcome::typingFailed;
  }
  Status typed = textInput_->typeText(characters);
  if (typed.ok()) return EmojiInsertionOutcome::typed;
  failure = typed.error().description();
  return EmojiInsertionOutcome::typingFailed;
}

EmojiInsertionOutcome EmojiInsertionController::copy(const std::string& characters, std::string& failure) {
  if (!pasteboard_) {
    failure = "no clipboard";
    return EmojiInsertionOutcome::copyFailed;
  }
  auto written = pasteboard_->writeItem(PasteboardItem{{{kPlainTextUtf8Type, characters}, {kEmojiMarkerType, ""}}});
  if (written.ok()) return EmojiInsertionOutcome::copied;
  failure = written.error().description();
  return EmojiInsertionOutcome::copyFailed;
}

}  // namespace pallix
