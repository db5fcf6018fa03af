// ClipboardModeSearchProvider: the clipboard mode of the search session.
//
// It filters the service's history through a ClipboardSearchIndex and
// reuses the chosen item. The session calls search() on each keystroke in
// clipboard mode; prime() when the mode opens, clear() when it closes or the
// panel hides (a search on an empty index primes it first). A change of the
// history (a copy recorded, an item deleted) tells the session its results
// changed.
//
// Threading: the service's runner, which is the session's main runner.
#pragma once

#include <memory>

#include "app/clipboard/ClipboardSearchIndex.h"
#include "app/clipboard/ClipboardService.h"
#include "app/search/ContentViewModel.h"

namespace pallix {

class ClipboardModeSearchProvider final : public ModeSearchProvider {
 public:
  ClipboardModeSearchProvider(ClipboardService& service, TaskRunnerPtr runner, TaskRunnerPtr background);
  ~ClipboardModeSearchProvider() override;

  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override;
  bool activate(const ModeResult& result) override;
  void modeDidOpen() override { prime(); }
  void modeDidClose() override { clear(); }

  void prime();
  void clear();
  // The items behind the last search's results, in order.
  const std::vector<const ClipboardItem*>& lastMatches() const { return lastMatches_; }
  // One line describing an item: its text, or its kind and size.
  static ModeResult resultFor(const ClipboardItem& item);

 private:
  void refreshHistoryIfChanged();

  ClipboardService& service_;
  ClipboardSearchIndex index_;
  bool historyChanged_ = true;
  bool primed_ = false;
  std::vector<const ClipboardItem*> lastMatches_;
};

}  // namespace pallix
