// EmojiInsertionController: puts a picked emoji into the frontmost
// application: typed as keyboard input where that is permitted (TextInput),
// else placed on the clipboard with the emoji marker so that the clipboard
// history leaves it out.
//
// Threading: the main runner, except type(), which any thread may call.
// Shares the text input and pasteboard.
#pragma once

#include <memory>
#include <string>

#include "app/platform/Pasteboard.h"
#include "app/platform/TextInput.h"
#include "core/Error.h"

namespace pallix {

enum class EmojiInsertionOutcome { typed, copied, typingFailed, copyFailed };
const char* emojiInsertionOutcomeName(EmojiInsertionOutcome outcome);

// The errors shown to the user for the two failed outcomes.
struct EmojiInsertionError {
  static constexpr const char* kDomain = "EmojiInsertionError";
  static Error pasteboardWriteFailed() { return Error(kDomain, 1, "Unable to prepare the emoji for pasting."); }
  static Error eventPostFailed() { return Error(kDomain, 2, "Pallix couldn\u2019t send the paste keystroke."); }
};

class EmojiInsertionController {
 public:
  EmojiInsertionController(std::shared_ptr<TextInput> textInput, std::shared_ptr<Pasteboard> pasteboard)
      : textInput_(std::move(textInput)), pasteboard_(std::move(pasteboard)) {}

  EmojiInsertionOutcome insert(const std::string& characters);
  // The two halves of insert(): typing (`failure` tells why it failed) and
  // copying with the marker (the main runner).
  EmojiInsertionOutcome type(const std::string& characters, std::string& failure) const;
  EmojiInsertionOutcome copy(const std::string& characters, std::string& failure);
  // Whether insert() would type (true) or copy (false): the paste capability.
  bool canTypeDirectly() const { return textInput_ && textInput_->isPermitted(); }
  // Why the last insert() failed, for the log.
  const std::string& lastFailure() const { return lastFailure_; }

 private:
  std::shared_ptr<TextInput> textInput_;
  std::shared_ptr<Pasteboard> pasteboard_;
  std::string lastFailure_;
};

}  // namespace pallix
