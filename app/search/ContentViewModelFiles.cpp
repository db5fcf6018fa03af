// The files side of the search session: the lexical file search of files
// mode and its semantic stage, the standard-mode file preview, the file
// selection and file activation. Main runner only, like the rest of
// ContentViewModel.
#include <algorithm>
#include <utility>

#include "app/search/ContentViewModel.h"
#include "app/search/PlainWordsFilters.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ContentViewModel");
  return log;
}

}  // namespace

void ContentViewModel::searchFilesOffMain(const std::string& query, TaskHandle handle,
                                          std::function<void(Result<std::vector<FileSearchResult>>)> deliver) {
  auto provider = fileSearch_;
  auto main = main_;
  search_->postDelayedWithHandle(Duration::zero(), handle, [provider, query, main, deliver, handle]() mutable {
    auto results = std::make_shared<Result<std::vector<FileSearchResult>>>(provider->search(query, kFileSearchLimit));
    main->postDelayedWithHandle(Duration::zero(), handle,
                                [deliver, results]() mutable { deliver(std::move(*results)); });
  });
}

void ContentViewModel::refreshFileSemanticIndexStatus() {
  if (!semantic_) return;
  semantic_->status(weak_.wrap([this](SemanticIndexStatus status) {
    if (fileSemanticIndexStatus_ == status) return;
    fileSemanticIndexStatus_ = status;
    notifyChanged();
  }));
}

std::string ContentViewModel::fileQuery(const std::string& text) const {
  std::vector<std::string> parts = fileFilterChips_;
  const std::string words(trimWhitespace(text));
  if (!words.empty()) parts.push_back(words);
  return joinStrings(parts, " ");
}

bool ContentViewModel::removeFileFilterChip(std::optional<size_t> index) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (fileFilterChips_.empty() || (index && *index >= fileFilterChips_.size())) return false;
  fileFilterChips_.erase(fileFilterChips_.begin() +
                         static_cast<std::ptrdiff_t>(index.value_or(fileFilterChips_.size() - 1)));
  shouldResetFileSelection_ = true;
  updateFileResults(searchText_);
  notifyChanged();
  return true;
}

void ContentViewModel::updateFileResults(const std::string& text) {
  refreshFileSemanticIndexStatus();
  fileSearchTask_.cancel();
  fileSemanticSearchTask_.cancel();
  const std::string query = fileQuery(text);
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
    // Once the typing paused, unambiguous filters leave the field for chips.
    const PlainWordsQuery plain = PlainWordsFilters::read(query, DateContext::current(main_->clock()));
    if (plain.reading == PlainWordsQuery::Reading::filters) {
      fileFilterChips_ = plain.chips();
      searchText_ = joinStrings(plain.words, " ");
      lastFileSearchQuery_ = fileQuery(searchText_);
      notifyChanged();
    }
    if (!fileSearch_) {
      fileResults_.clear();
      completeFileSearchSession(sessionID, false);
      notifyChanged();
      return;
    }
    fileSearchSessionState_.phase = FileSearchSessionState::Phase::lexicalSearching;
    searchFilesOffMain(query, handle,
                       weak_.wrap([this, sessionID, query](Result<std::vector<FileSearchResult>> results) {
                         if (fileSearchSessionID_ != sessionID) return;  // A newer search started: drop this answer.
                         if (!results.ok()) {
                           logger().error("FileSearcher failed: %s", results.error().description().c_str());
                           fileResults_.clear();
                           completeFileSearchSession(sessionID, false);
                           notifyChanged();
                           return;
                         }
                         fileResults_ = std::move(results).value();
                         applyFileSelection();
                         notifyChanged();
                         runSemanticStage(sessionID, query);
                       }));
  }));
}

void ContentViewModel::runSemanticStage(const UUID& sessionID, const std::string& query) {
  auto finish = [this, sessionID] {
    completeFileSearchSession(sessionID, !fileResults_.empty());
    notifyChanged();
  };
  if (!semantic_ || !semantic_->isEnabled()) return finish();
  semantic_->status(weak_.wrap([this, sessionID, query, finish](SemanticIndexStatus status) {
    if (fileSearchSessionID_ != sessionID) return;
    fileSemanticIndexStatus_ = status;
    if (status == SemanticIndexStatus::rebuilding || status == SemanticIndexStatus::initializing) {
      logger().debug("Semantic search deferred while semantic index status is %s", semanticIndexStatusName(status));
      return finish();
    }
    semantic_->canPerformSearch(weak_.wrap([this, sessionID, query, finish](bool canSearch) {
      if (fileSearchSessionID_ != sessionID) return;
      if (!canSearch) {
        logger().debug("Semantic search skipped");
        return finish();
      }
      logger().debug("Semantic search: launching search task");
      if (fileResults_.empty()) logger().debug("Keeping loading state: text empty, semantic will run");
      fileSearchSessionState_.phase = FileSearchSessionState::Phase::semanticSearching;
      TaskHandle handle = TaskHandle::make();
      fileSemanticSearchTask_ = handle;
      main_->postDelayedWithHandle(kSemanticStageDelay, handle, weak_.wrap([this, sessionID, query, finish] {
        if (fileSearchSessionID_ != sessionID || !semantic_) return;
        semantic_->mergeWithTextResults(fileResults_, query, kFileSearchLimit,
                                        weak_.wrap([this, sessionID, finish](FileSemanticSearch::Merge merge) {
                                          if (fileSearchSessionID_ != sessionID) return;
                                          if (merge.addedCount > 0) {
                                            logger().info("Semantic search added %ld results",
                                                          static_cast<long>(merge.addedCount));
                                          }
                                          fileResults_ = std::move(merge.results);
                                          applyFileSelection();
                                          finish();
                                        }));
      }));
    }));
  }));
}

void ContentViewModel::completeFileSearchSession(const UUID& sessionID, bool hasResults) {
  if (fileSearchSessionState_.sessionID != sessionID) return;
  fileSearchSessionState_.phase = FileSearchSessionState::Phase::completed;
  fileSearchSessionState_.hasResults = hasResults;
  isSearchingFiles_ = false;
}

std::vector<std::string> ContentViewModel::fileIdentifiers() const {
  std::vector<std::string> ids;
  for (const FileSearchResult& result : fileResults_) ids.push_back(result.item.path);
  return ids;
}

void ContentViewModel::applyFileSelection() {
  selectedFileID_ =
      selection::afterResults(fileIdentifiers(), selectedFileID_, std::exchange(shouldResetFileSelection_, false));
}

void ContentViewModel::advanceFileSelection(int by) {
  selectedFileID_ = selection::moved(fileIdentifiers(), selectedFileID_, by);
  notifySelectionChanged();
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
  const std::string query(trimWhitespace(text));
  if (query.empty() || !fileSearch_) {
    filePreviewResults_.clear();
    return;
  }
  const UUID sessionID = UUID::random();
  filePreviewSessionID_ = sessionID;
  TaskHandle handle = TaskHandle::make();
  filePreviewTask_ = handle;
  // The standard preview follows the settled search, which is already debounced.
  searchFilesOffMain(query, handle, weak_.wrap([this, sessionID](Result<std::vector<FileSearchResult>> results) {
    if (filePreviewSessionID_ != sessionID) return;
    filePreviewTask_ = TaskHandle();
    if (!results.ok()) logger().error("FileSearcher failed: %s", results.error().description().c_str());
    filePreviewResults_ = results.ok() ? std::move(results).value() : std::vector<FileSearchResult>();
    notifyChanged();
  }));
}

}  // namespace pallix
