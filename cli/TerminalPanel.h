// TerminalPanel: the interactive full-screen panel of `pallix panel`.
//
// A curses view over ContentViewModel: typing edits the search text
// keystroke by keystroke, arrows move the selection, Enter activates, Tab
// cycles the modes that have a provider, Escape hides the panel and ends the
// view. Runs on the main thread and drives the main RunLoop between
// keystrokes, so the session's timers and answers arrive while the user types.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/search/ContentViewModel.h"
#include "core/RunLoop.h"

namespace pallix::cli {

class TerminalPanel {
 public:
  // Answer lines shown above the results in standard mode (calculator, sources).
  using FooterProvider = std::function<std::vector<std::string>()>;

  TerminalPanel(ContentViewModel& model, std::shared_ptr<RunLoop> mainLoop, std::vector<SearchMode> modes);
  void setFooterProvider(FooterProvider provider) { footer_ = std::move(provider); }
  void setStatusLine(std::string status) { status_ = std::move(status); }
  // Asks for a redraw (state outside the session changed).
  void markDirty() { dirty_ = true; }
  // Runs until Escape or Ctrl-C. Returns the process exit code.
  int run();

 private:
  void draw();
  void handleKey(int ch, bool isKeyCode);
  void cycleMode();

  ContentViewModel& model_;
  std::shared_ptr<RunLoop> loop_;
  std::vector<SearchMode> modes_;
  FooterProvider footer_;
  std::string status_;
  std::string text_;
  bool done_ = false;
  bool dirty_ = true;
  std::string lastMessage_;
};

}  // namespace pallix::cli
