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
// the site's icon and the URL below. The first rows shown also have their
// bytes read (ClipboardService::loadContent) for an image's thumbnail and
// size, a copied file's path and icon, and the detail pane's full text;
// what arrives refreshes the rows. Each row's media carry the tile and the
// detail pane (ModeResultMedia). Pinned items come first (each newest first) and carry the
// pin mark; Ctrl+P pins or unpins the selected item, Delete deletes it
// (perform()). With search by meaning on (the service's semantic index), a
// query of kMinimumSemanticQueryLength characters or more also asks the
// index for items of similar meaning; its answer comes later, refreshes the
// rows, and its items that the text search did not find follow the text
// matches, each marked in its detail line (kSimilarMeaningMark).
//
// Threading: the service's runner, which is the session's main runner.
#pragma once

#include <memory>
#include <optional>
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
  // The image bytes the rows of an open mode hold at most, together.
  static constexpr size_t kHeldImageBytes = size_t{64} << 20;
  // The mark of a pinned item's row.
  static constexpr const char* kPinnedTag = "\U0001F4CC Pinned";
  // Items of similar meaning shown after the text matches, at most.
  static constexpr size_t kSemanticRows = 5;
  static constexpr size_t kMinimumSemanticQueryLength = 3;  // characters, without surrounding spaces
  // How a row found by meaning begins its detail line.
  static constexpr const char* kSimilarMeaningMark = "Similar meaning";

  // One row describing an item: its text (a link's page title when known),
  // or its kind and size; below it the link, how long ago it was copied and
  // the application it came from.
  static ModeResult resultFor(const ClipboardItem& item, Date now,
                              std::shared_ptr<const ClipboardLinkPreviewPayload> preview = nullptr,
                              std::shared_ptr<const ClipboardItemContent> content = nullptr);

 private:
  void refreshHistoryIfChanged();
  const ClipboardItem* itemFor(const ModeResult& result) const;
  void askForPreviewsAndContent();
  // Appends the rows of similar meaning known for `query`, or asks for them.
  void appendSemanticMatches(const std::string& query, std::vector<ModeResult>& results);
  std::shared_ptr<const ClipboardLinkPreviewPayload> preview(const ClipboardItem& item) const;
  std::shared_ptr<const ClipboardItemContent> content(const ClipboardItem& item) const;

  ClipboardService& service_;
  TaskRunnerPtr runner_;
  ClipboardSearchIndex index_;
  bool historyChanged_ = true;
  bool primed_ = false;
  std::vector<const ClipboardItem*> lastMatches_;
  // By URL; only previews that arrived.
  std::unordered_map<std::string, std::shared_ptr<const ClipboardLinkPreviewPayload>> previews_;
  std::unordered_set<std::string> previewsAsked_;  // URLs
  // By item id; dropped when the mode closes (image bytes are large).
  std::unordered_map<int64_t, std::shared_ptr<const ClipboardItemContent>> contents_;
  std::unordered_set<int64_t> contentsAsked_;
  size_t heldImageBytes_ = 0;
  // The query last asked of the semantic index, and its answer once there.
  std::string semanticQuery_;
  std::optional<std::vector<ClipboardSemanticIndex::Match>> semanticMatches_;
  WeakGuard weak_;
};

}  // namespace pallix
