// KeyboardFocusReturn: the keyboard going back to the window the user worked
// in before the panel showed, so that a picked emoji is typed there and not
// into the panel that is going away.
//
// Implementations: views::X11FocusReturn (pallix-desktop) and fakes in tests.
// waitForReturn() is called on a worker thread and must be thread-safe.
#pragma once

#include "core/Clock.h"

namespace pallix {

class KeyboardFocusReturn {
 public:
  virtual ~KeyboardFocusReturn() = default;
  // Blocks until that window has the keyboard again, at most `timeout`.
  // Returns whether it has it (true too when there was no such window).
  virtual bool waitForReturn(Duration timeout) = 0;
};

}  // namespace pallix
