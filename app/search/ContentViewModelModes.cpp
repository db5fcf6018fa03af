// The mode side of the search session: the clipboard, emoji and messages
// providers, their results and selection, their commands (delete, pin), the
// messages preview of standard mode, and switching between modes. Main
// runner only, like the rest of ContentViewModel.
#include <utility>

#include "app/search/ContentViewModel.h"
#include "core/Strings.h"

namespace pallix {

void ContentViewModel::setModeSearch(SearchMode mode, std::shared_ptr<ModeSearchProvider> provider) {
  if (provider) provider->setResultsChangedHandler(weak_.wrap([this, mode] { modeResultsChanged(mode); }));
  modeSearch_[static_cast<int>(mode)] = std::move(provider);
}

void ContentViewModel::modeResultsChanged(SearchMode mode) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  // The same query again while the mode shows; the selection stays on its item.
  if (mode != searchMode_ || !isSearchFieldFocused_) return;
  updateModeResults(searchText_);
}

void ContentViewModel::updateModeResults(const std::string& text) {
  modeSearchTask_.cancel();
  modeResultsPending_ = false;
  activateOnModeAnswer_ = false;
  const UUID sessionID = UUID::random();
  modeSearchSessionID_ = sessionID;
  auto provider = modeSearch_[static_cast<int>(searchMode_)];
  if (!provider) {
    modeResults_.clear();
    selectedModeResultID_.reset();
    return;
  }
  // Messages wait for typing to pause; clipboard and emoji filter at once.
  Duration delay = searchMode_ == SearchMode::messages ? kModeSearchDebounceInterval : Duration::zero();
  modeResultsPending_ = true;
  auto main = main_;
  auto deliver = weak_.wrap([this, sessionID](std::vector<ModeResult> results) {
    if (modeSearchSessionID_ != sessionID) return;
    modeResults_ = std::move(results);
    selectedModeResultID_ = selection::afterResults(modeResultIdentifiers(), selectedModeResultID_,
                                                    std::exchange(shouldResetModeSelection_, false));
    modeResultsPending_ = false;
    if (std::exchange(activateOnModeAnswer_, false)) activateSelectedModeResult();
    notifyChanged();
  });
  modeSearchTask_ = main_->postDelayed(delay, [provider, text, main, deliver]() mutable {
    provider->search(text, [main, deliver](std::vector<ModeResult> results) mutable {
      main->post([deliver, results = std::move(results)]() mutable { deliver(std::move(results)); });
    });
  });
}

void ContentViewModel::updateMessagePreview(const std::string& text) {
  messagePreviewTask_.cancel();
  auto provider = modeSearch_[static_cast<int>(SearchMode::messages)];
  if (!provider || trimWhitespace(text).empty()) {
    messagePreviewResults_.clear();
    return;
  }
  const UUID sessionID = UUID::random();
  messagePreviewSessionID_ = sessionID;
  auto main = main_;
  auto deliver = weak_.wrap([this, sessionID](std::vector<ModeResult> results) {
    if (messagePreviewSessionID_ != sessionID) return;
    messagePreviewTask_ = TaskHandle();
    messagePreviewResults_ = std::move(results);
    notifyChanged();
  });
  messagePreviewTask_ = main_->post([provider, text, main, deliver]() mutable {
    provider->search(text, [main, deliver](std::vector<ModeResult> results) mutable {
      main->post([deliver, results = std::move(results)]() mutable { deliver(std::move(results)); });
    });
  });
}

std::vector<std::string> ContentViewModel::modeResultIdentifiers() const {
  std::vector<std::string> ids;
  for (const ModeResult& result : modeResults_) ids.push_back(result.identifier);
  return ids;
}

void ContentViewModel::advanceModeSelection(int by) {
  selectedModeResultID_ = selection::moved(modeResultIdentifiers(), selectedModeResultID_, by);
  notifySelectionChanged();
}

bool ContentViewModel::activateSelectedModeResult() {
  auto provider = modeSearch_[static_cast<int>(searchMode_)];
  if (provider && modeResultsPending_) {
    // Enter typed right after the text means its first result, not the previous text's.
    activateOnModeAnswer_ = true;
    return true;
  }
  if (!provider || !selectedModeResultID_) return false;
  for (const ModeResult& result : modeResults_) {
    if (result.identifier != *selectedModeResultID_) continue;
    if (provider->deliversAfterHiding()) {
      // A copy: hiding ends the mode's presentation, which may clear the results.
      ModeResult chosen = result;
      if (window_) window_->hideWindow(/*immediate=*/false, /*deactivateApp=*/true);
      return provider->activate(chosen);
    }
    bool ok = provider->activate(result);
    if (ok && window_) window_->hideWindow(/*immediate=*/false, /*deactivateApp=*/true);
    return ok;
  }
  return false;
}

bool ContentViewModel::performModeCommand(ModeCommand command) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  auto provider = modeSearch_[static_cast<int>(searchMode_)];
  if (!provider || modeResultsPending_ || !selectedModeResultID_) return false;
  const std::vector<std::string> ids = modeResultIdentifiers();
  const int index = selection::indexOf(ids, selectedModeResultID_);
  if (index < 0) return false;
  // A copy: the provider's change notice may replace the results.
  const ModeResult target = modeResults_[static_cast<size_t>(index)];
  std::optional<std::string> next = selectedModeResultID_;
  if (command == ModeCommand::remove) {
    const size_t below = static_cast<size_t>(index) + 1;
    next = below < ids.size() ? std::optional<std::string>(ids[below])
           : index > 0        ? std::optional<std::string>(ids[static_cast<size_t>(index) - 1])
                              : std::nullopt;
  }
  if (!provider->perform(command, target)) return false;
  selectedModeResultID_ = next;
  shouldResetModeSelection_ = false;
  updateModeResults(searchText_);
  notifyChanged();
  return true;
}

void ContentViewModel::clearResultsOfOtherModes(SearchMode keep) {
  if (keep != SearchMode::files) {
    // The file session and its results stay, so that coming back to files
    // mode with the same text reuses them instead of searching again.
    selectedFileID_.reset();
    shouldResetFileSelection_ = false;
  }
  if (keep != SearchMode::standard) {
    searchDebounceTask_.cancel();
    clearStandardPreviews();
    selectedAppID_.reset();
    shouldResetSelection_ = false;
  }
  modeSearchTask_.cancel();
  modeResultsPending_ = false;
  activateOnModeAnswer_ = false;
  modeResults_.clear();
  selectedModeResultID_.reset();
  shouldResetModeSelection_ = false;
}

void ContentViewModel::setSearchMode(SearchMode mode) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (mode == searchMode_) return;
  if (auto& leaving = modeSearch_[static_cast<int>(searchMode_)]) leaving->modeDidClose();
  fileFilterChips_.clear();
  searchMode_ = mode;
  if (auto& entering = modeSearch_[static_cast<int>(searchMode_)]) entering->modeDidOpen();
  clearResultsOfOtherModes(mode);
  if (intelligence_) {
    intelligence_->cancelQueries(/*resetResults=*/true);
    intelligence_->resetIntelligenceState();
  }
  if (mode == SearchMode::files) {
    const std::string query(trimWhitespace(searchText_));
    if (query == lastFileSearchQuery_ && (fileSearchSessionState_.hasResults || fileSearchSessionState_.isRunning())) {
      pendingFileSearchReuseSessionID_ = fileSearchSessionState_.sessionID;
    } else {
      pendingFileSearchReuseSessionID_.reset();
    }
  }
  if (intelligence_) {
    intelligence_->setHasActiveQuery(mode == SearchMode::standard &&
                                     !StandardQueryIntent::resolve(searchText_).effectiveQuery.empty());
  }
  handleSearchTextChange(searchText_);
}

}  // namespace pallix
