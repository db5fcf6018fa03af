#include "cli/TerminalPanel.h"

#include <curses.h>

#include <algorithm>
#include <clocale>
#include <cstdio>

#include "cli/Display.h"
#include "core/Strings.h"
#include "core/TerminalText.h"

namespace pallix::cli {
namespace {

void popUtf8(std::string& s) {
  while (!s.empty()) {
    unsigned char c = static_cast<unsigned char>(s.back());
    s.pop_back();
    if ((c & 0xC0) != 0x80) break;
  }
}

// Every string drawn has been through printable(); this only measures.
std::string fit(const std::string& s, int width) {
  return truncateToDisplayWidth(s, width);
}

// One result row: the display name in a column of its own, then the path.
std::string resultRow(const std::string& name, const std::string& path) {
  return printableColumn(name, 28) + "  " + printable(path);
}

const char* kModeTitles[] = {"Search", "Clipboard", "Emoji", "Messages", "Files"};

}  // namespace

TerminalPanel::TerminalPanel(ContentViewModel& model, std::shared_ptr<RunLoop> mainLoop, std::vector<SearchMode> modes)
    : model_(model), loop_(std::move(mainLoop)), modes_(std::move(modes)) {
  model_.setChangeHandler([this] { dirty_ = true; });
}

int TerminalPanel::run() {
  std::setlocale(LC_ALL, "");
  if (!initscr()) {
    std::fprintf(stderr, "pallix: panel needs a terminal\n");
    return 3;
  }
  raw();
  noecho();
  keypad(stdscr, TRUE);
  set_escdelay(25);
  timeout(10);
  model_.handlePresentationChange(true);
  text_ = model_.searchText();
  while (!done_) {
    loop_->runUntilIdle();
    if (dirty_) {
      // Files mode lifts filters out of the words typed into chips.
      text_ = model_.searchText();
      draw();
      dirty_ = false;
    }
    wint_t ch = 0;
    int kind = get_wch(&ch);
    if (kind == ERR) continue;
    handleKey(static_cast<int>(ch), kind == KEY_CODE_YES);
    dirty_ = true;
  }
  model_.handlePresentationChange(false);
  loop_->runUntilIdle();
  endwin();
  if (!lastMessage_.empty()) std::printf("%s\n", printable(lastMessage_).c_str());
  return 0;
}

void TerminalPanel::cycleMode() {
  if (modes_.empty()) return;
  auto it = std::find(modes_.begin(), modes_.end(), model_.searchMode());
  size_t next = it == modes_.end() ? 0 : (static_cast<size_t>(it - modes_.begin()) + 1) % modes_.size();
  model_.setSearchMode(modes_[next]);
}

void TerminalPanel::handleKey(int ch, bool isKeyCode) {
  if (isKeyCode) {
    switch (ch) {
      case KEY_UP:
        model_.advanceCurrentSelection(-1);
        return;
      case KEY_DOWN:
        model_.advanceCurrentSelection(1);
        return;
      case KEY_BACKSPACE:
        if (text_.empty() && model_.removeFileFilterChip()) return;
        popUtf8(text_);
        model_.handleSearchTextChange(text_);
        return;
      case KEY_ENTER:
        break;
      default:
        return;
    }
  }
  switch (ch) {
    case 27:  // Escape hides the panel.
    case 3:   // Ctrl-C
      done_ = true;
      return;
    case '\t':
      cycleMode();
      return;
    case 21:  // Ctrl-U clears the field.
      text_.clear();
      model_.handleSearchTextChange(text_);
      return;
    case 127:
    case 8:
      if (text_.empty() && model_.removeFileFilterChip()) return;
      popUtf8(text_);
      model_.handleSearchTextChange(text_);
      return;
    case '\n':
    case '\r':
    case KEY_ENTER: {
      using Outcome = ContentViewModel::Activation::Outcome;
      ContentViewModel::Activation activation = model_.activateCurrentSelection();
      switch (activation.outcome) {
        case Outcome::nothingSelected:
          status_ = "Nothing selected";
          return;
        case Outcome::copiedAnswer:
          lastMessage_ = "Copied the answer";
          done_ = true;
          return;
        case Outcome::opened:
          lastMessage_ = "Opened " + activation.target;
          done_ = true;
          return;
        case Outcome::copyFailed:
          status_ = "Could not copy the answer: no clipboard tool (install xclip or wl-clipboard)";
          return;
        case Outcome::failed:
          status_ = "Could not open " + activation.target;
          return;
      }
      return;
    }
    default:
      if (ch >= 32) {
        appendUtf8(text_, static_cast<char32_t>(ch));
        model_.handleSearchTextChange(text_);
      }
  }
}

void TerminalPanel::draw() {
  erase();
  int rows = 0, cols = 0;
  getmaxyx(stdscr, rows, cols);
  int row = 0;
  std::string modeLine;
  for (SearchMode m : modes_) {
    std::string title = kModeTitles[static_cast<int>(m)];
    modeLine += m == model_.searchMode() ? "[" + title + "] " : " " + title + "  ";
  }
  attron(A_DIM);
  mvaddstr(row++, 0, fit(modeLine + "  (Tab: mode, Enter: open, Esc: close)", cols).c_str());
  attroff(A_DIM);
  attron(A_BOLD);
  std::string chips;
  for (const std::string& chip : model_.fileFilterChips()) chips += "[" + chip + "] ";
  mvaddstr(row++, 0, fit("> " + printable(chips + text_), cols).c_str());
  attroff(A_BOLD);
  row++;
  if (footer_ && model_.searchMode() == SearchMode::standard) {
    for (const auto& answer : footer_()) {
      attron(A_BOLD);
      mvaddstr(row++, 0, fit("  " + printable(answer), cols).c_str());
      attroff(A_BOLD);
    }
  }

  auto line = [&](bool selected, const std::string& text) {
    if (row >= rows - 2) return;
    if (selected) attron(A_REVERSE);
    mvaddstr(row++, 0, fit((selected ? " > " : "   ") + text, cols).c_str());
    if (selected) attroff(A_REVERSE);
  };

  if (model_.searchMode() == SearchMode::standard) {
    auto apps = model_.selectionCandidates();
    const std::vector<std::string> appNames = displayNames(apps);
    if (!apps.empty()) mvaddstr(row++, 0, "Applications");
    for (size_t i = 0; i < apps.size(); ++i) {
      line(model_.selectedAppID() == apps[i].path, resultRow(appNames[i], apps[i].path));
    }
    if (!model_.filePreviewResults().empty()) {
      row++;
      mvaddstr(row++, 0, "Files");
      std::vector<IndexedItem> files;
      for (size_t i = 0; i < model_.filePreviewResults().size() && i < 5; ++i) {
        files.push_back(model_.filePreviewResults()[i].item);
      }
      const std::vector<std::string> fileNames = displayNames(files);
      for (size_t i = 0; i < files.size(); ++i) line(false, resultRow(fileNames[i], files[i].path));
    }
  } else if (model_.searchMode() == SearchMode::files) {
    if (model_.isSearchingFiles() && model_.fileResults().empty()) mvaddstr(row++, 0, "Searching...");
    std::vector<IndexedItem> files;
    for (const auto& r : model_.fileResults()) files.push_back(r.item);
    const std::vector<std::string> fileNames = displayNames(files);
    for (size_t i = 0; i < files.size(); ++i) {
      line(model_.selectedFileID() == files[i].path, resultRow(fileNames[i], files[i].path));
    }
    if (!model_.isSearchingFiles() && model_.fileResults().empty() && !text_.empty()) {
      mvaddstr(row++, 0, "No files found");
    }
  } else {
    for (const auto& r : model_.modeResults()) {
      line(model_.selectedModeResultID() == r.identifier, printable(r.title) + "  " + printable(r.detail));
    }
    if (model_.modeResults().empty()) mvaddstr(row++, 0, "Nothing here yet");
  }
  if (!status_.empty()) {
    attron(A_DIM);
    mvaddstr(rows - 1, 0, fit(printable(status_), cols).c_str());
    attroff(A_DIM);
  }
  move(1, std::min(cols - 1, 2 + displayWidth(printable(chips + text_))));
  refresh();
}

}  // namespace pallix::cli
