#include "app/search/ContentViewModel.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

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

// Strips leading and trailing punctuation and symbol characters and lowercases.
std::string normalizedKeyword(const std::string& token) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(token);
  auto isStrippable = [](UChar32 c) {
    int8_t type = u_charType(c);
    return u_ispunct(c) || type == U_MATH_SYMBOL || type == U_CURRENCY_SYMBOL || type == U_MODIFIER_SYMBOL ||
           type == U_OTHER_SYMBOL;
  };
  int32_t start = 0, end = u.length();
  while (start < end && isStrippable(u.char32At(start))) start = u.moveIndex32(start, 1);
  while (end > start) {
    int32_t previous = u.moveIndex32(end, -1);
    if (!isStrippable(u.char32At(previous))) break;
    end = previous;
  }
  icu::UnicodeString core = u.tempSubStringBetween(start, end);
  core.toLower();
  std::string out;
  core.toUTF8String(out);
  return out;
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

StandardQueryIntent StandardQueryIntent::resolve(std::string_view raw) {
  StandardQueryIntent intent;
  intent.rawQuery = std::string(raw);
  intent.trimmedQuery = trimmed(raw);
  if (intent.trimmedQuery.empty()) return intent;
  std::vector<std::string> kept;
  for (const std::string& token : splitString(intent.trimmedQuery, ' ')) {
    if (token.empty()) continue;
    std::string word = normalizedKeyword(token);
    if (word == "message" || word == "messages" || word == "text" || word == "texts") {
      intent.forceMessagesPreview = true;
    } else if (word == "file" || word == "files") {
      intent.forceFilesPreview = true;
    } else {
      kept.push_back(token);
    }
  }
  intent.effectiveQuery = joinStrings(kept, " ");
  return intent;
}

ContentViewModel::ContentViewModel(TaskRunnerPtr mainRunner, TaskRunnerPtr searchRunner)
    : main_(std::move(mainRunner)), search_(std::move(searchRunner)) {}

ContentViewModel::~ContentViewModel() {
  searchDebounceTask_.cancel();
  fileSearchTask_.cancel();
  modeSearchTask_.cancel();
  filePreviewTask_.cancel();
  messagePreviewTask_.cancel();
}

void ContentViewModel::setModeSearch(SearchMode mode, std::shared_ptr<ModeSearchProvider> provider) {
  modeSearch_[static_cast<int>(mode)] = std::move(provider);
}

void ContentViewModel::notifyChanged() {
  if (changeHandler_) changeHandler_();
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
  std::vector<IndexedItem> candidates = selectionCandidates();
  auto first = [&]() -> std::optional<std::string> {
    if (candidates.empty()) return std::nullopt;
    return candidates.front().path;
  };
  if (shouldResetSelection_) {
    shouldResetSelection_ = false;
    selectedAppID_ = first();
  } else if (!selectedAppID_) {
    selectedAppID_ = trimmedQuery.empty() ? std::nullopt : first();
  } else {
    bool present = std::any_of(candidates.begin(), candidates.end(),
                               [&](const IndexedItem& app) { return app.path == *selectedAppID_; });
    if (!present) selectedAppID_ = first();
  }
}

void ContentViewModel::advanceSelection(int by) {
  std::vector<IndexedItem> candidates = selectionCandidates();
  if (candidates.empty()) {
    selectedAppID_.reset();
    notifyChanged();
    return;
  }
  int index = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (selectedAppID_ && candidates[i].path == *selectedAppID_) index = static_cast<int>(i);
  }
  int count = static_cast<int>(candidates.size());
  int next = index < 0 ? (by >= 0 ? 0 : count - 1) : std::clamp(index + by, 0, count - 1);
  selectedAppID_ = candidates[static_cast<size_t>(next)].path;
  notifyChanged();
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
        TelemetryService::signal(
            "ContentViewModel.activateApp.launchFailed",
            {{"errorDomain", launched.error().domain()}, {"errorCode", std::to_string(launched.error().code())}});
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

void ContentViewModel::updateFileResults(const std::string& text) {
  fileSearchTask_.cancel();
  const std::string query = trimmed(text);
  lastFileSearchQuery_ = query;
  if (query.empty()) {
    fileResults_.clear();
    fileSearchSessionState_ = FileSearchSessionState::idle();
    isSearchingFiles_ = false;
    return;
  }
  isSearchingFiles_ = true;
  const UUID sessionID = UUID::random();
  fileSearchSessionID_ = sessionID;
  fileSearchSessionState_ =
      FileSearchSessionState{sessionID, FileSearchSessionState::Phase::lexicalDebouncing, !fileResults_.empty()};
  TaskHandle handle = TaskHandle::make();
  fileSearchTask_ = handle;
  main_->postDelayedWithHandle(kFileSearchDebounceInterval, handle, weak_.wrap([this, sessionID, query, handle] {
    if (fileSearchSessionID_ != sessionID) return;
    if (!fileSearch_) {
      fileResults_.clear();
      completeFileSearchSession(sessionID, false);
      notifyChanged();
      return;
    }
    fileSearchSessionState_.phase = FileSearchSessionState::Phase::lexicalSearching;
    auto provider = fileSearch_;
    auto main = main_;
    auto deliver = weak_.wrap([this, sessionID](Result<std::vector<FileSearchResult>> results) {
      if (fileSearchSessionID_ != sessionID) return;  // A newer search started: drop this answer.
      if (!results.ok()) {
        logger().error("FileSearcher failed: %s", results.error().description().c_str());
        fileResults_.clear();
        completeFileSearchSession(sessionID, false);
      } else {
        fileResults_ = std::move(results).value();
        applyFileSelection();
        completeFileSearchSession(sessionID, !fileResults_.empty());
      }
      notifyChanged();
    });
    search_->postDelayedWithHandle(Duration::zero(), handle, [provider, query, main, deliver, handle]() mutable {
      auto results = std::make_shared<Result<std::vector<FileSearchResult>>>(provider->search(query, kFileSearchLimit));
      main->postDelayedWithHandle(Duration::zero(), handle,
                                  [deliver, results]() mutable { deliver(std::move(*results)); });
    });
  }));
}

void ContentViewModel::completeFileSearchSession(const UUID& sessionID, bool hasResults) {
  if (fileSearchSessionState_.sessionID != sessionID) return;
  fileSearchSessionState_.phase = FileSearchSessionState::Phase::completed;
  fileSearchSessionState_.hasResults = hasResults;
  isSearchingFiles_ = false;
}

void ContentViewModel::applyFileSelection() {
  auto first = [&]() -> std::optional<std::string> {
    if (fileResults_.empty()) return std::nullopt;
    return fileResults_.front().item.path;
  };
  if (shouldResetFileSelection_) {
    shouldResetFileSelection_ = false;
    selectedFileID_ = first();
    return;
  }
  bool present = selectedFileID_ && std::any_of(fileResults_.begin(), fileResults_.end(),
                                                [&](const auto& r) { return r.item.path == *selectedFileID_; });
  if (!present) selectedFileID_ = first();
}

void ContentViewModel::advanceFileSelection(int by) {
  if (fileResults_.empty()) return;
  int index = -1;
  for (size_t i = 0; i < fileResults_.size(); ++i) {
    if (selectedFileID_ && fileResults_[i].item.path == *selectedFileID_) index = static_cast<int>(i);
  }
  int count = static_cast<int>(fileResults_.size());
  int next = index < 0 ? 0 : std::clamp(index + by, 0, count - 1);
  selectedFileID_ = fileResults_[static_cast<size_t>(next)].item.path;
  notifyChanged();
}

bool ContentViewModel::activateSelectedFile(bool revealInFileManager) {
  if (!selectedFileID_) return false;
  for (const FileSearchResult& result : fileResults_) {
    if (result.item.path == *selectedFileID_) return activate(result, revealInFileManager, false);
  }
  return false;
}

bool ContentViewModel::activate(const FileSearchResult& result, bool revealInFileManager, bool allowStandardMode) {
  if (searchMode_ != SearchMode::files && !(allowStandardMode && searchMode_ == SearchMode::standard)) return false;
  selectedFileID_ = result.item.path;
  if (!workspace_) return false;
  if (window_) window_->hideWindow(/*immediate=*/false, /*deactivateApp=*/true);
  Status status =
      revealInFileManager ? workspace_->revealInFileManager(result.item.path) : workspace_->openFile(result.item.path);
  if (!status.ok()) {
    logger().error("Pallix.ContentView: Failed to open %s: %s", result.item.path.c_str(),
                   status.error().description().c_str());
  }
  TelemetryService::signal(revealInFileManager ? "FileSearch.fileRevealed" : "FileSearch.fileOpened",
                           {{"extension", result.item.fileExtension.value_or("unknown")},
                            {"matchType", fileMatchTypeRawValue(result.matchType)}});
  notifyChanged();
  return status.ok();
}

void ContentViewModel::updateFilePreview(const std::string& text) {
  filePreviewTask_.cancel();
  const std::string query = trimmed(text);
  if (query.empty() || !fileSearch_) {
    filePreviewResults_.clear();
    return;
  }
  const UUID sessionID = UUID::random();
  filePreviewSessionID_ = sessionID;
  TaskHandle handle = TaskHandle::make();
  filePreviewTask_ = handle;
  auto provider = fileSearch_;
  auto main = main_;
  auto deliver = weak_.wrap([this, sessionID](Result<std::vector<FileSearchResult>> results) {
    if (filePreviewSessionID_ != sessionID) return;
    filePreviewTask_ = TaskHandle();
    if (!results.ok()) logger().error("FileSearcher failed: %s", results.error().description().c_str());
    filePreviewResults_ = results.ok() ? std::move(results).value() : std::vector<FileSearchResult>();
    notifyChanged();
  });
  // The standard preview follows the settled search, which is already debounced.
  search_->postDelayedWithHandle(Duration::zero(), handle, [provider, query, main, deliver, handle]() mutable {
    auto results = std::make_shared<Result<std::vector<FileSearchResult>>>(provider->search(query, kFileSearchLimit));
    main->postDelayedWithHandle(Duration::zero(), handle,
                                [deliver, results]() mutable { deliver(std::move(*results)); });
  });
}

// ---------------------------------------------------------------------------
// Clipboard, emoji and messages: attached providers

void ContentViewModel::updateModeResults(const std::string& text) {
  modeSearchTask_.cancel();
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
  auto main = main_;
  auto deliver = weak_.wrap([this, sessionID](std::vector<ModeResult> results) {
    if (modeSearchSessionID_ != sessionID) return;
    modeResults_ = std::move(results);
    bool present = selectedModeResultID_ &&
                   std::any_of(modeResults_.begin(), modeResults_.end(),
                               [&](const ModeResult& r) { return r.identifier == *selectedModeResultID_; });
    if (shouldResetModeSelection_ || !present) {
      shouldResetModeSelection_ = false;
      selectedModeResultID_ =
          modeResults_.empty() ? std::nullopt : std::optional<std::string>(modeResults_.front().identifier);
    }
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
  if (!provider || trimmed(text).empty()) {
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

void ContentViewModel::advanceModeSelection(int by) {
  if (modeResults_.empty()) return;
  int index = -1;
  for (size_t i = 0; i < modeResults_.size(); ++i) {
    if (selectedModeResultID_ && modeResults_[i].identifier == *selectedModeResultID_) index = static_cast<int>(i);
  }
  int next = index < 0 ? 0 : std::clamp(index + by, 0, static_cast<int>(modeResults_.size()) - 1);
  selectedModeResultID_ = modeResults_[static_cast<size_t>(next)].identifier;
  notifyChanged();
}

bool ContentViewModel::activateSelectedModeResult() {
  auto provider = modeSearch_[static_cast<int>(searchMode_)];
  if (!provider || !selectedModeResultID_) return false;
  for (const ModeResult& result : modeResults_) {
    if (result.identifier != *selectedModeResultID_) continue;
    bool ok = provider->activate(result);
    if (ok && window_) window_->hideWindow(/*immediate=*/false, /*deactivateApp=*/true);
    return ok;
  }
  return false;
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
    resetSearchTasks(/*cancelIntelligence=*/true);
    if (intelligence_) {
      intelligence_->resetIntelligenceState();
      intelligence_->refreshPendingPermissions();
    }
    fileSearchTask_.cancel();
    modeSearchTask_.cancel();
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
  resetSearchTasks(/*cancelIntelligence=*/true);
  fileSearchTask_.cancel();
  modeSearchTask_.cancel();
  clearStandardPreviews();
  if (intelligence_) intelligence_->resetIntelligenceState();
  selectedModeResultID_.reset();
}

void ContentViewModel::flushPendingSearch() {
  if (!searchDebounceTask_.valid() || searchDebounceTask_.isCancelled()) return;
  searchDebounceTask_.cancel();
  runDebouncedSearch(StandardQueryIntent::resolve(searchText_));
}

bool ContentViewModel::hasPendingWork() const {
  auto pending = [](const TaskHandle& h) { return h.valid() && !h.isCancelled(); };
  return !isSearchSettled_ || isSearchingFiles_ || pending(searchDebounceTask_) || pending(filePreviewTask_) ||
         pending(messagePreviewTask_);
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
  modeResults_.clear();
  selectedModeResultID_.reset();
  shouldResetModeSelection_ = false;
}

void ContentViewModel::setSearchMode(SearchMode mode) {
  if (mode == searchMode_) return;
  searchMode_ = mode;
  clearResultsOfOtherModes(mode);
  if (intelligence_) {
    intelligence_->cancelQueries(/*resetResults=*/true);
    intelligence_->resetIntelligenceState();
  }
  if (mode == SearchMode::files) {
    const std::string query = trimmed(searchText_);
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
