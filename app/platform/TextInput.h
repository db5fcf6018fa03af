// TextInput: typing a Unicode string into the frontmost application, as if
// the user had typed it (the emoji picker's direct insertion).
//
// linux/XdoTextInput posts XTest key events through libxdo (X11);
// linux/WtypeTextInput runs wtype (Wayland); FakeTextInput records (tests).
// isPermitted() says whether typing can work here: the display is reachable
// and the mechanism is present. Thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

class TextInput {
 public:
  static constexpr const char* kErrorDomain = "TextInputError";
  virtual ~TextInput() = default;
  virtual bool isPermitted() = 0;
  // Types `text` (UTF-8) into the focused window.
  virtual Status typeText(const std::string& text) = 0;
};

}  // namespace pallix
