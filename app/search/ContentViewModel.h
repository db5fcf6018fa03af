// ContentViewModel: the search session behind the panel.
//
// It receives every edit of the search text, the panel's show and hide, and
// mode switches; decides which searches run and when (app search and the
// intelligence preview at once, the settled search after a 100 ms debounce,
// file search after 300 ms); drops
// late answers by comparing per-kind session identifiers; keeps the result
// lists and selections the views observe; and performs activation.
//
// Threading: every public operation and every state change happens on the
// main runner. File searches run on the search runner and hop back to the
// main runner before touching state. Collaborators are attached after
// construction; until a provider is attached its mode yields no results.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/Pasteboard.h"
#include "app/platform/Workspace.h"
#include "app/search/FileSearchResult.h"
#include "app/search/IndexedItem.h"
#include "app/search/SelectionList.h"
#include "app/search/SessionProviders.h"
#include "app/search/StandardQueryIntent.h"
#include "core/Error.h"
#include "core/SequenceChecker.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"

namespace pallix {

enum class SearchMode : uint8_t { standard = 0, clipboard = 1, emoji = 2, messages = 3, files = 4 };
const char* searchModeName(SearchMode mode);
std::optional<SearchMode> searchModeFromName(std::string_view name);

struct FileSearchSessionState {
  enum class Phase { idle, lexicalDebouncing, lexicalSearching, semanticSearching, completed };
  UUID sessionID;
  Phase phase = Phase::idle;
  bool hasResults = false;

  static FileSearchSessionState idle() { return FileSearchSessionState(); }
  bool isRunning() const {
    return phase == Phase::lexicalDebouncing || phase == Phase::lexicalSearching || phase == Phase::semanticSearching;
  }
};

class ContentViewModel {
 public:
  static constexpr size_t kMaxSearchResults = 4;
  static constexpr size_t kClipboardDisplayLimit = 25;
  static constexpr Duration kSearchDebounceInterval = std::chrono::milliseconds(100);
  static constexpr Duration kFileSearchDebounceInterval = std::chrono::milliseconds(300);
  static constexpr Duration kModeSearchDebounceInterval = std::chrono::milliseconds(300);
  static constexpr Duration kSemanticStageDelay = std::chrono::milliseconds(100);
  static constexpr int kFileSearchLimit = 50;

  ContentViewModel(TaskRunnerPtr mainRunner, TaskRunnerPtr searchRunner);
  ~ContentViewModel();
  ContentViewModel(const ContentViewModel&) = delete;
  ContentViewModel& operator=(const ContentViewModel&) = delete;

  // Collaborators, each optional until attached.
  void setAppSearch(std::shared_ptr<AppSearchProvider> provider) { appSearch_ = std::move(provider); }
  void setFileSearch(std::shared_ptr<FileSearchProvider> provider) { fileSearch_ = std::move(provider); }
  void setIntelligence(std::shared_ptr<SessionIntelligence> intelligence) { intelligence_ = std::move(intelligence); }
  void setFileSemanticSearch(std::shared_ptr<FileSemanticSearch> semantic) { semantic_ = std::move(semantic); }
  // The provider of a mode's search; its results-changed handler refreshes
  // the open mode.
  void setModeSearch(SearchMode mode, std::shared_ptr<ModeSearchProvider> provider);
  void setWindow(std::shared_ptr<PanelWindow> window) { window_ = std::move(window); }
  void setWorkspace(std::shared_ptr<Workspace> workspace) { workspace_ = std::move(workspace); }
  void setPasteboard(std::shared_ptr<Pasteboard> pasteboard) { pasteboard_ = std::move(pasteboard); }
  // Called after every change of the observable state (views redraw).
  void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }
  // Called instead of the change handler when only a selection moved and
  // every result list is as it was (views repaint the old and new rows).
  void setSelectionChangeHandler(std::function<void()> handler) { selectionChangeHandler_ = std::move(handler); }

  // Inputs from the panel.
  void handleSearchTextChange(const std::string& text);
  void setSearchMode(SearchMode mode);
  void handlePresentationChange(bool isPresented);
  void handleDisappear();
  // The clipboard history was switched off: clipboard mode falls back to
  // standard, and its results and index are cleared.
  void handleClipboardHistoryDisabled();
  // Runs the pending debounced search at once: for the command line, where
  // nobody types on and waiting out the debounce would only add latency.
  void flushPendingSearch();
  // True while a debounced search, a file search or a preview is in flight.
  bool hasPendingWork() const;

  // Navigation and activation.
  void advanceSelection(int by);
  void advanceFileSelection(int by);
  void advanceModeSelection(int by);
  bool activateSelectedApp(bool useFileManager = false);
  bool activateSelectedFile(bool revealInFileManager = false);
  bool activateSelectedModeResult();
  // A mode's command on its selected result (Ctrl+P, Delete in clipboard
  // mode). After a removal the row below is selected (the one above when it
  // was the last); the results are searched again either way.
  bool performModeCommand(ModeCommand command);
  bool activate(const IndexedItem& app, bool useFileManager);
  bool activate(const FileSearchResult& result, bool revealInFileManager, bool allowStandardMode);
  bool copyCalculatorResultToPasteboard();
  // The same for whichever list the current mode shows (every panel uses
  // these): files in files mode; in standard mode the calculator answer
  // when there is one, else the selected app; the mode's results otherwise.
  // `alternate` reveals a file or an app in the file manager.
  struct Activation {
    enum class Outcome { nothingSelected, opened, copiedAnswer, copyFailed, failed };
    Outcome outcome = Outcome::nothingSelected;
    std::string target;  // the path, identifier or answer acted on
  };
  void advanceCurrentSelection(int by);
  Activation activateCurrentSelection(bool alternate = false);

  // Observable state.
  const std::string& searchText() const { return searchText_; }
  SearchMode searchMode() const { return searchMode_; }
  bool isSearchSettled() const { return isSearchSettled_; }
  bool isSearchFieldFocused() const { return isSearchFieldFocused_; }
  const UUID& scrollResetTrigger() const { return scrollResetTrigger_; }
  const std::vector<IndexedItem>& displayedApps() const { return displayedApps_; }
  bool isAppListEmpty() const { return displayedApps_.empty(); }
  // The apps that can be selected: all for an empty query, else the first 4.
  std::vector<IndexedItem> selectionCandidates() const;
  const std::optional<std::string>& selectedAppID() const { return selectedAppID_; }
  const std::vector<FileSearchResult>& fileResults() const { return fileResults_; }
  // Files mode: the filters lifted out of the words typed once a search ran
  // ("pdfs from last week" leaves ext:pdf and modified:lastweek here and an
  // empty field); every search holds them before the field's words.
  const std::vector<std::string>& fileFilterChips() const { return fileFilterChips_; }
  // Removes chip `index` (the last one without it) and searches again; false
  // when there is no such chip.
  bool removeFileFilterChip(std::optional<size_t> index = std::nullopt);
  const std::optional<std::string>& selectedFileID() const { return selectedFileID_; }
  bool isSearchingFiles() const { return isSearchingFiles_; }
  const FileSearchSessionState& fileSearchSessionState() const { return fileSearchSessionState_; }
  // Unknown until a semantic stage is attached and has answered.
  const std::optional<SemanticIndexStatus>& fileSemanticIndexStatus() const { return fileSemanticIndexStatus_; }
  const std::vector<ModeResult>& modeResults() const { return modeResults_; }
  // The mode's search for the current text has not answered yet.
  bool isModeSearchPending() const { return modeResultsPending_; }
  const std::optional<std::string>& selectedModeResultID() const { return selectedModeResultID_; }
  bool hasActiveQuery() const;
  // Standard-mode previews: files and messages, run when the words force
  // them ("budget files") or the router selected those sources.
  const std::vector<FileSearchResult>& filePreviewResults() const { return filePreviewResults_; }
  const std::vector<ModeResult>& messagePreviewResults() const { return messagePreviewResults_; }
  // Which searches have run, for tests and diagnostics.
  uint64_t settledSearchCount() const { return settledSearchCount_; }

 private:
  void handleStandardTextChange(const std::string& text);
  void startDebounce(const StandardQueryIntent& intent);
  void runDebouncedSearch(const StandardQueryIntent& intent);
  void runSearchServices(const std::string& text, bool includeAppSearch);
  void updateStandardPreviewSearches(const StandardQueryIntent& intent,
                                     const std::optional<std::set<std::string>>& selected);
  void clearStandardPreviews();
  void resetSearchTasks(bool cancelIntelligence);
  void performAppSearch(const std::string& query);
  void updateSelectionAfterResults(const std::string& trimmedQuery);
  void updateFileResults(const std::string& text);
  // The chips and `text` as one files-mode query.
  std::string fileQuery(const std::string& text) const;
  void runSemanticStage(const UUID& sessionID, const std::string& query);
  void refreshFileSemanticIndexStatus();
  // Runs the file search on the search runner and answers on the main
  // runner, both under `handle`.
  void searchFilesOffMain(const std::string& query, TaskHandle handle,
                          std::function<void(Result<std::vector<FileSearchResult>>)> deliver);
  std::vector<std::string> appIdentifiers() const;
  std::vector<std::string> fileIdentifiers() const;
  std::vector<std::string> modeResultIdentifiers() const;
  void updateFilePreview(const std::string& text);
  void updateMessagePreview(const std::string& text);
  void completeFileSearchSession(const UUID& sessionID, bool hasResults);
  void applyFileSelection();
  void updateModeResults(const std::string& text);
  void modeResultsChanged(SearchMode mode);
  void clearResultsOfOtherModes(SearchMode keep);
  void handleLocalAppMutation();
  void notifyChanged();
  void notifySelectionChanged();

  TaskRunnerPtr main_;
  TaskRunnerPtr search_;
  SequenceChecker sequence_{main_.get(), "ContentViewModel"};
  std::shared_ptr<AppSearchProvider> appSearch_;
  std::shared_ptr<FileSearchProvider> fileSearch_;
  std::shared_ptr<FileSemanticSearch> semantic_;
  std::shared_ptr<SessionIntelligence> intelligence_;
  std::shared_ptr<ModeSearchProvider> modeSearch_[5];
  std::shared_ptr<PanelWindow> window_;
  std::shared_ptr<Workspace> workspace_;
  std::shared_ptr<Pasteboard> pasteboard_;
  std::function<void()> changeHandler_;
  std::function<void()> selectionChangeHandler_;

  std::string searchText_;
  SearchMode searchMode_ = SearchMode::standard;
  bool isSearchSettled_ = true;
  bool isSearchFieldFocused_ = false;
  UUID scrollResetTrigger_ = UUID::random();

  std::vector<IndexedItem> displayedApps_;
  std::optional<std::string> selectedAppID_;
  bool shouldResetSelection_ = false;

  std::vector<FileSearchResult> fileResults_;
  std::vector<std::string> fileFilterChips_;
  std::optional<std::string> selectedFileID_;
  bool shouldResetFileSelection_ = false;
  bool isSearchingFiles_ = false;
  std::string lastFileSearchQuery_;
  std::optional<UUID> pendingFileSearchReuseSessionID_;
  FileSearchSessionState fileSearchSessionState_;
  std::optional<SemanticIndexStatus> fileSemanticIndexStatus_;

  std::vector<FileSearchResult> filePreviewResults_;
  std::vector<ModeResult> messagePreviewResults_;
  std::vector<ModeResult> modeResults_;
  std::optional<std::string> selectedModeResultID_;
  bool shouldResetModeSelection_ = false;
  // The mode's search for the current text has not answered yet, and
  // whether the user asked to activate its first result meanwhile.
  bool modeResultsPending_ = false;
  bool activateOnModeAnswer_ = false;

  TaskHandle searchDebounceTask_;
  TaskHandle fileSearchTask_;
  TaskHandle fileSemanticSearchTask_;
  TaskHandle modeSearchTask_;
  TaskHandle filePreviewTask_;
  TaskHandle messagePreviewTask_;
  UUID appsSearchSessionID_ = UUID::random();
  UUID fileSearchSessionID_ = UUID::random();
  UUID modeSearchSessionID_ = UUID::random();
  UUID filePreviewSessionID_ = UUID::random();
  UUID messagePreviewSessionID_ = UUID::random();
  uint64_t settledSearchCount_ = 0;

  // Last member: callbacks posted to the runners die with the session.
  WeakGuard weak_;
};

}  // namespace pallix
