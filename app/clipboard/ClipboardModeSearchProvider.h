// ClipboardModeSearchProvider: the clipboard mode of the search session.
//
// It filters the service's history through a ClipboardSearchIndex and
// reuses the chosen item. The session calls search() on each keystroke in
// clipboard mode; prime() when the mode opens, clear() when it closes or the
// panel hides (a search on an empty index primes it first). A change of the
// history (a copy recorded, an item deleted) tells the session its results
// changed. A web link among the first rows shown asks the service for its
// preview (the first time it is shown, which is when a preview may be
// fetched); a title that arrives refreshes the rows, which then show it with
// the URL below. Pinned items come first (each newest first) and carry the
// pin mark; Ctrl+P pins or unpins the selected item, Delete deletes it
// (perform()).
//
// Threading: the service's runner, which is the session's main runner.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

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
  bool perform(ModeCommand command, const ModeResult& result) override;
  void modeDidOpen() override { prime(); }
  void modeDidClose() override { clear(); }

  void prime();
  void clear();
  // The items behind the last search's results, in order.
  const std::vector<const ClipboardItem*>& lastMatches() const { return lastMatches_; }
  // Rows of a search that ask for their links' previews.
  static constexpr size_t kPreviewedRows = 24;
  // The mark of a pinned item's row.
  static constexpr const char* kPinnedTag = "\U0001F4CC Pinned";

  // One row describing an item: its text (a link's page title when known),
  // or its kind and size; below it the link, how long ago it was copied and
  // the application it came from.
  static ModeResult resultFor(const ClipboardItem& item, Date now, const std::string* linkTitle = nullptr);

 private:
  void refreshHistoryIfChanged();
  const ClipboardItem* itemFor(const ModeResult& result) const;
  void askForPreviews();
  const std::string* linkTitle(const ClipboardItem& item) const;

  ClipboardService& service_;
  ClipboardSearchIndex index_;
  bool historyChanged_ = true;
  bool primed_ = false;
  std::vector<const ClipboardItem*> lastMatches_;
  std::unordered_map<std::string, std::string> linkTitles_;  // by URL; only titles that arrived
  std::unordered_set<std::string> previewsAsked_;            // URLs
  WeakGuard weak_;
};

}  // namespace pallix
