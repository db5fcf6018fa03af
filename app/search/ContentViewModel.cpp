#include "app/search/ContentViewModel.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <utility>

#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ContentViewModel");
  return log;
}

std::string trimmed(std::string_view text) {
  return std::string(trimWhitespace(text));
}

const char* kBool[] = {"0", "1"};

std::string appDomain(const std::string& path) {
  if (startsWith(path, "/System/Applications/")) return "system";
  if (startsWith(path, "/Applications/") || startsWith(path, "/usr/share/applications/") ||
      startsWith(path, "/usr/local/share/applications/"))
    return "shared";
  return "user";
}

}  // namespace

const char* searchModeName(SearchMode mode) {
  switch (mode) {
    case SearchMode::standard:
      return "standard";
    case SearchMode::clipboard:
      return "clipboard";
    case SearchMode::emoji:
      return "emoji";
    case SearchMode::messages:
      return "messages";
    case SearchMode::files:
      return "files";
  }
  return "standard";
}

std::optional<SearchMode> searchModeFromName(std::string_view name) {
  for (SearchMode m :
       {SearchMode::standard, SearchMode::clipboard, SearchMode::emoji, SearchMode::messages, SearchMode::files}) {
    if (name == searchModeName(m)) return m;
  }
  return std::nullopt;
}

ContentViewModel::ContentViewModel(TaskRunnerPtr mainRunner, TaskRunnerPtr searchRunner)
    : main_(std::move(mainRunner)), search_(std::move(searchRunner)) {}

ContentViewModel::~ContentViewModel() {
  searchDebounceTask_.cancel();
  fileSearchTask_.cancel();
  fileSemanticSearchTask_.cancel();
  modeSearchTask_.cancel();
  filePreviewTask_.cancel();
  messagePreviewTask_.cancel();
}

void ContentViewModel::notifyChanged() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (changeHandler_) changeHandler_();
}

void ContentViewModel::notifySelectionChanged() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (!selectionChangeHandler_) return notifyChanged();
  selectionChangeHandler_();
}

bool ContentViewModel::hasActiveQuery() const {
  return intelligence_ ? intelligence_->hasActiveQuery() : !trimmed(searchText_).empty();
}

std::vector<IndexedItem> ContentViewModel::selectionCandidates() const {
  if (trimmed(searchText_).empty() || displayedApps_.size() <= kMaxSearchResults) return displayedApps_;
  return std::vector<IndexedItem>(displayedApps_.begin(), displayedApps_.begin() + kMaxSearchResults);
}

// ---------------------------------------------------------------------------
// Text changes

void ContentViewModel::handleSearchTextChange(const std::string& text) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  searchText_ = text;
  switch (searchMode_) {
    case SearchMode::standard:
      handleStandardTextChange(text);
      break;
    case SearchMode::files: {
      shouldResetFileSelection_ = true;
      const std::string query = trimmed(text);
      const bool reuse = pendingFileSearchReuseSessionID_ == fileSearchSessionState_.sessionID && !query.empty() &&
                         query == lastFileSearchQuery_ &&
                         (fileSearchSessionState_.hasResults || fileSearchSessionState_.isRunning());
      pendingFileSearchReuseSessionID_.reset();
      if (reuse) {
        applyFileSelection();
      } else {
        updateFileResults(text);
      }
      resetSearchTasks(/*cancelIntelligence=*/false);
      isSearchSettled_ = true;
      break;
    }
    case SearchMode::clipboard:
    case SearchMode::emoji:
    case SearchMode::messages:
      shouldResetModeSelection_ = true;
      updateModeResults(text);
      resetSearchTasks(/*cancelIntelligence=*/false);
      isSearchSettled_ = true;
      break;
  }
  if (searchMode_ != SearchMode::standard && appSearch_) performAppSearch(text);
  notifyChanged();
}

void ContentViewModel::handleStandardTextChange(const std::string& text) {
  shouldResetSelection_ = true;
  searchDebounceTask_.cancel();
  searchDebounceTask_ = TaskHandle();
  StandardQueryIntent intent = StandardQueryIntent::resolve(text);
  if (intelligence_) {
    intelligence_->setLatestTrimmedQuery(intent.effectiveQuery);
    intelligence_->setHasActiveQuery(!intent.effectiveQuery.empty());
  }
  if (!intent.trimmedQuery.empty()) {
    isSearchSettled_ = false;
    performAppSearch(intent.effectiveQuery);
    if (intelligence_ && !intent.effectiveQuery.empty()) intelligence_->runPreviewSearch(intent.effectiveQuery);
    startDebounce(intent);
  } else {
    if (intelligence_) {
      intelligence_->prepareForPendingQuery("", {});
      intelligence_->handleClearedQueryState();
    }
    clearStandardPreviews();
    performAppSearch("");
    isSearchSettled_ = true;
  }
}

void ContentViewModel::startDebounce(const StandardQueryIntent& intent) {
  searchDebounceTask_ =
      main_->postDelayed(kSearchDebounceInterval, weak_.wrap([this, intent] { runDebouncedSearch(intent); }));
}

void ContentViewModel::runDebouncedSearch(const StandardQueryIntent& intent) {
  // The text moved on while we slept: this answer would be stale.
  if (searchText_ != intent.rawQuery || searchMode_ != SearchMode::standard) {
    searchDebounceTask_ = TaskHandle();
    return;
  }
  std::set<std::string> preserved;
  if (intelligence_ && intelligence_->shouldPreserveCalculator(intent.effectiveQuery)) preserved.insert("calculator");
  if (intelligence_) intelligence_->prepareForPendingQuery(intent.effectiveQuery, preserved);
  clearStandardPreviews();
  if (intelligence_ && !preserved.empty()) intelligence_->refreshCalculatorResult(intent.effectiveQuery);
  if (intelligence_) {
    if (intent.effectiveQuery.empty()) {
      intelligence_->handleClearedQueryState();
    } else {
      intelligence_->runSettledSearch(intent.effectiveQuery);
    }
  }
  updateStandardPreviewSearches(intent, std::nullopt);
  isSearchSettled_ = true;
  ++settledSearchCount_;
  searchDebounceTask_ = TaskHandle();
  notifyChanged();
}

void ContentViewModel::runSearchServices(const std::string& text, bool includeAppSearch) {
  StandardQueryIntent intent = StandardQueryIntent::resolve(text);
  if (intelligence_) {
    intelligence_->setLatestTrimmedQuery(intent.effectiveQuery);
    intelligence_->setHasActiveQuery(!intent.effectiveQuery.empty());
    intelligence_->prepareForPendingQuery(intent.effectiveQuery, {});
  }
  if (includeAppSearch) performAppSearch(intent.effectiveQuery);
  if (intelligence_) {
    if (intent.effectiveQuery.empty()) {
      intelligence_->handleClearedQueryState();
    } else {
      intelligence_->runSettledSearch(intent.effectiveQuery);
    }
  }
  updateStandardPreviewSearches(intent, std::nullopt);
}

void ContentViewModel::updateStandardPreviewSearches(const StandardQueryIntent& intent,
                                                     const std::optional<std::set<std::string>>& selected) {
  if (searchMode_ != SearchMode::standard) return;
  std::set<std::string> sources = selected ? *selected : std::set<std::string>();
  if (!selected && intelligence_) sources = intelligence_->selectedSourceIdentifiers();
  if (intent.forceMessagesPreview || sources.count("messages")) {
    updateMessagePreview(intent.effectiveQuery);
  } else {
    messagePreviewTask_.cancel();
    messagePreviewResults_.clear();
  }
  if (intent.forceFilesPreview || sources.count("files")) {
    updateFilePreview(intent.effectiveQuery);
  } else {
    filePreviewTask_.cancel();
    filePreviewResults_.clear();
  }
}

void ContentViewModel::clearStandardPreviews() {
  filePreviewTask_.cancel();
  messagePreviewTask_.cancel();
  filePreviewResults_.clear();
  messagePreviewResults_.clear();
}

void ContentViewModel::resetSearchTasks(bool cancelIntelligence) {
  searchDebounceTask_.cancel();
  searchDebounceTask_ = TaskHandle();
  appsSearchSessionID_ = UUID::random();
  if (!intelligence_) return;
  if (cancelIntelligence) {
    intelligence_->cancelQueries(/*resetResults=*/true);
  } else {
    intelligence_->cancelPreviewAndRenewSession();
  }
}

// ---------------------------------------------------------------------------
// Apps

void ContentViewModel::performAppSearch(const std::string& query) {
  appsSearchSessionID_ = UUID::random();
  if (!appSearch_) {
    displayedApps_.clear();
    if (searchMode_ == SearchMode::standard) updateSelectionAfterResults(trimmed(query));
    return;
  }
  auto apps = appSearch_->fetchApps(query);
  if (!apps.ok()) {
    logger().error("Pallix.ContentView: Failed to fetch apps: %s", apps.error().description().c_str());
    return;
  }
  displayedApps_ = std::move(apps).value();
  if (searchMode_ == SearchMode::standard) updateSelectionAfterResults(trimmed(query));
}

void ContentViewModel::updateSelectionAfterResults(const std::string& trimmedQuery) {
  selectedAppID_ =
      selection::afterResults(appIdentifiers(), selectedAppID_, std::exchange(shouldResetSelection_, false),
                              /*keepNone=*/trimmedQuery.empty());
}

std::vector<std::string> ContentViewModel::appIdentifiers() const {
  std::vector<std::string> ids;
  for (const IndexedItem& app : selectionCandidates()) ids.push_back(app.path);
  return ids;
}

void ContentViewModel::advanceSelection(int by) {
  selectedAppID_ = selection::moved(appIdentifiers(), selectedAppID_, by);
  notifySelectionChanged();
}

bool ContentViewModel::activateSelectedApp(bool useFileManager) {
  if (!selectedAppID_) return false;
  for (const IndexedItem& app : displayedApps_) {
    if (app.path == *selectedAppID_) return activate(app, useFileManager);
  }
  return false;
}

bool ContentViewModel::activate(const IndexedItem& app, bool useFileManager) {
  selectedAppID_ = app.path;
  bool success = false;
  if (workspace_) {
    if (useFileManager) {
      success = workspace_->revealInFileManager(app.path).ok();
    } else {
      Status launched = workspace_->launchApplication({app.path, app.bundleIdentifier.value_or("")});
      success = launched.ok();
      if (!launched.ok()) {
        TelemetryService::signal("ContentViewModel.activateApp.launchFailed",
                                 errorTelemetryParameters(launched.error()));
        logger().error("Pallix.ContentView: Failed to launch %s: %s", app.name.c_str(),
                       launched.error().description().c_str());
      }
    }
  }
  TelemetryService::signal("ContentViewModel.activateApp",
                           {{"domain", appDomain(app.path)},
                            {"action", useFileManager ? "finder" : "launch"},
                            {"hasBundleIdentifier", kBool[app.bundleIdentifier.has_value()]},
                            {"isPinned", kBool[app.isPinned]},
                            {"result", success ? "success" : "failure"}});
  if (success && !useFileManager) {
    // The launched record need not be among the shown ones (the command
    // line activates a result of an earlier search); its use is kept anyway.
    IndexedItem launched = app;
    launched.lastUsed = main_->clock().wallNow();
    for (IndexedItem& shown : displayedApps_) {
      if (shown.path == launched.path) shown.lastUsed = launched.lastUsed;
    }
    if (appSearch_) {
      Status saved = appSearch_->saveApp(launched);
      if (!saved.ok()) {
        logger().error("Pallix.ContentView: Failed to persist model changes: %s", saved.error().description().c_str());
      }
    }
    handleLocalAppMutation();
  }
  if (success && window_) window_->hideWindow(/*immediate=*/false, /*deactivateApp=*/true);
  notifyChanged();
  return success;
}

void ContentViewModel::handleLocalAppMutation() {
  if (!appSearch_) return;
  displayedApps_ = appSearch_->sortApps(std::move(displayedApps_), asciiLowercase(trimmed(searchText_)));
}

// ---------------------------------------------------------------------------
// Files

void ContentViewModel::advanceCurrentSelection(int by) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  switch (searchMode_) {
    case SearchMode::standard:
      return advanceSelection(by);
    case SearchMode::files:
      return advanceFileSelection(by);
    default:
      return advanceModeSelection(by);
  }
}

ContentViewModel::Activation ContentViewModel::activateCurrentSelection(bool alternate) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  using Outcome = Activation::Outcome;
  auto outcome = [](std::optional<std::string> target, bool ok) {
    if (!target) return Activation{Outcome::nothingSelected, {}};
    return Activation{ok ? Outcome::opened : Outcome::failed, *target};
  };
  switch (searchMode_) {
    case SearchMode::files: {
      std::optional<std::string> target = selectedFileID_;
      return outcome(target, target && activateSelectedFile(alternate));
    }
    case SearchMode::standard: {
      if (std::optional<std::string> answer = intelligence_ ? intelligence_->calculatorResultText() : std::nullopt) {
        return {copyCalculatorResultToPasteboard() ? Outcome::copiedAnswer : Outcome::copyFailed, *answer};
      }
      std::optional<std::string> target = selectedAppID_;
      return outcome(target, target && activateSelectedApp(alternate));
    }
    default: {
      std::optional<std::string> target = selectedModeResultID_;
      for (const ModeResult& result : modeResults_) {
        if (target && result.identifier == *target) target = result.title;
      }
      return outcome(target, target && activateSelectedModeResult());
    }
  }
}

bool ContentViewModel::copyCalculatorResultToPasteboard() {
  if (!intelligence_ || !pasteboard_) return false;
  auto text = intelligence_->calculatorResultText();
  if (!text) return false;
  bool ok = pasteboard_->writeString(*text).ok();
  TelemetryService::signal("ContentViewModel.copyCalculatorResult",
                           {{"characterCount", std::to_string(icu::UnicodeString::fromUTF8(*text).countChar32())}});
  return ok;
}

// ---------------------------------------------------------------------------
// Presentation and modes

void ContentViewModel::handlePresentationChange(bool isPresented) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (isPresented) {
    isSearchFieldFocused_ = true;
    isSearchSettled_ = true;
    scrollResetTrigger_ = UUID::random();
    if (intelligence_) intelligence_->cancelPreviewAndRenewSession();
    switch (searchMode_) {
      case SearchMode::standard:
        runSearchServices(searchText_, /*includeAppSearch=*/true);
        break;
      case SearchMode::files:
        shouldResetFileSelection_ = true;
        updateFileResults(searchText_);
        break;
      default:
        shouldResetModeSelection_ = true;
        if (auto& provider = modeSearch_[static_cast<int>(searchMode_)]) provider->modeDidOpen();
        updateModeResults(searchText_);
        break;
    }
    if (searchMode_ != SearchMode::standard) performAppSearch(searchText_);
    if (intelligence_) intelligence_->refreshPendingPermissions();
  } else {
    isSearchFieldFocused_ = false;
    selectedAppID_.reset();
    selectedFileID_.reset();
    selectedModeResultID_.reset();
    shouldResetSelection_ = shouldResetFileSelection_ = shouldResetModeSelection_ = false;
    searchText_.clear();
    fileFilterChips_.clear();
    resetSearchTasks(/*cancelIntelligence=*/true);
    if (intelligence_) {
      intelligence_->resetIntelligenceState();
      intelligence_->refreshPendingPermissions();
    }
    fileSearchTask_.cancel();
    fileSemanticSearchTask_.cancel();
    modeSearchTask_.cancel();
    modeResultsPending_ = false;
    activateOnModeAnswer_ = false;
    if (auto& provider = modeSearch_[static_cast<int>(searchMode_)]) provider->modeDidClose();
    clearStandardPreviews();
    fileResults_.clear();
    modeResults_.clear();
    fileSearchSessionState_ = FileSearchSessionState::idle();
    pendingFileSearchReuseSessionID_.reset();
    isSearchingFiles_ = false;
    isSearchSettled_ = true;
  }
  notifyChanged();
}

void ContentViewModel::handleDisappear() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  resetSearchTasks(/*cancelIntelligence=*/true);
  fileSearchTask_.cancel();
  fileSemanticSearchTask_.cancel();
  modeSearchTask_.cancel();
  modeResultsPending_ = false;
  activateOnModeAnswer_ = false;
  clearStandardPreviews();
  if (intelligence_) intelligence_->resetIntelligenceState();
  selectedModeResultID_.reset();
}

void ContentViewModel::handleClipboardHistoryDisabled() {
  if (searchMode_ == SearchMode::clipboard) {
    setSearchMode(SearchMode::standard);
  } else if (auto& provider = modeSearch_[static_cast<int>(SearchMode::clipboard)]) {
    provider->modeDidClose();
  }
  notifyChanged();
}

void ContentViewModel::flushPendingSearch() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (!searchDebounceTask_.valid() || searchDebounceTask_.isCancelled()) return;
  searchDebounceTask_.cancel();
  runDebouncedSearch(StandardQueryIntent::resolve(searchText_));
}

bool ContentViewModel::hasPendingWork() const {
  auto pending = [](const TaskHandle& h) { return h.valid() && !h.isCancelled(); };
  return !isSearchSettled_ || isSearchingFiles_ || pending(searchDebounceTask_) || pending(filePreviewTask_) ||
         pending(messagePreviewTask_);
}

}  // namespace pallix
