// The collaborators the search session attaches, each behind a small
// interface: the app and file searches, the semantic stage of file search,
// the intelligence side of the panel, the searches of the clipboard, emoji
// and messages modes, and the panel window. Each says where it is called.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/IndexedItem.h"
#include "app/search/MatchReason.h"
#include "app/search/ModeResultMedia.h"
#include "app/search/SemanticIndexStatus.h"
#include "core/Error.h"

namespace pallix {

// The app search over the catalog. Runs on the main runner; must be fast.
class AppSearchProvider {
 public:
  virtual ~AppSearchProvider() = default;
  // Ranked apps for `query` (all apps in launcher order when empty).
  virtual Result<std::vector<IndexedItem>> fetchApps(const std::string& query) = 0;
  // Re-ranks an already fetched list (after a launch changed lastUsed).
  virtual std::vector<IndexedItem> sortApps(std::vector<IndexedItem> apps, const std::string& normalizedQuery) = 0;
  // Persists a changed record (lastUsed after a launch).
  virtual Status saveApp(const IndexedItem& app) = 0;
};

// The lexical file search. Called on the search runner, off the main thread.
class FileSearchProvider {
 public:
  virtual ~FileSearchProvider() = default;
  virtual Result<std::vector<FileSearchResult>> search(const std::string& text, int limit) = 0;
};

// The semantic stage of a files search (the semantic bridge over the file
// embedding store). Called on the main runner; every answer arrives there.
class FileSemanticSearch {
 public:
  struct Merge {
    std::vector<FileSearchResult> results;  // best first, each path once
    size_t addedCount = 0;                  // results only the semantic search found
  };
  virtual ~FileSemanticSearch() = default;
  // The files preference: semantic search is on.
  virtual bool isEnabled() const = 0;
  virtual void status(std::function<void(SemanticIndexStatus)> done) = 0;
  virtual void canPerformSearch(std::function<void(bool)> done) = 0;
  // Runs the semantic search for `query` and merges it into `text`.
  virtual void mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query, int limit,
                                    std::function<void(Merge)> done) = 0;
};

// The intelligence side of the panel (the panel intelligence store). All calls
// happen on the main runner.
class SessionIntelligence {
 public:
  virtual ~SessionIntelligence() = default;
  virtual void setLatestTrimmedQuery(const std::string& query) = 0;
  virtual void setHasActiveQuery(bool active) = 0;
  virtual bool hasActiveQuery() const = 0;
  virtual void prepareForPendingQuery(const std::string& query, const std::set<std::string>& preserving) = 0;
  // The quick answer while typing (local sources only); a newer keystroke or
  // the settled search supersedes it.
  virtual void runPreviewSearch(const std::string& query) = 0;
  virtual void runSettledSearch(const std::string& query) = 0;
  virtual void handleClearedQueryState() = 0;
  virtual void refreshCalculatorResult(const std::string& query) = 0;
  virtual void cancelQueries(bool resetResults) = 0;
  virtual void resetIntelligenceState() = 0;
  virtual void refreshPendingPermissions() = 0;
  // Cancels the preview task and takes a new preview session identifier, so
  // a preview answer still in flight is dropped.
  virtual void cancelPreviewAndRenewSession() = 0;
  // True when the store holds a loaded calculator answer that the calculator
  // still handles for `effectiveQuery` (the answer is kept while typing).
  virtual bool shouldPreserveCalculator(const std::string& effectiveQuery) const = 0;
  // The data sources currently selected for the query ("files", "messages", ...).
  virtual std::set<std::string> selectedSourceIdentifiers() const = 0;
  // The current calculator answer's text, if any.
  virtual std::optional<std::string> calculatorResultText() const = 0;
};

// A result of the clipboard, emoji or messages modes, as providers of those
// modes deliver them.
struct ModeResult {
  std::string identifier;
  std::string title;
  std::string detail;
  std::string tag;  // a short mark shown at the row's end (a pinned item's)
  // The heading the result is shown under (the emoji grid's "Recent",
  // "Smileys & Emotion"); a group's results are consecutive. Empty: the
  // mode's one list.
  std::string group;
  // Runs of the title and of the detail the query matched (the passage of a
  // message or a clipboard text).
  std::vector<TextSpan> titleHighlights;
  std::vector<TextSpan> detailHighlights;
  // Pictures and the detail pane; null for text-only rows.
  std::shared_ptr<const ModeResultMedia> media;
};

// What a key in a mode asks of its selected result, besides activating it.
enum class ModeCommand { togglePin, remove };

// The search of one of the clipboard, emoji and messages modes. search() may
// complete on any runner; the session applies answers on the main runner only
// while the query is still current.
class ModeSearchProvider {
 public:
  virtual ~ModeSearchProvider() = default;
  virtual void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) = 0;
  // Activates a result (paste, copy, open). Returns whether it succeeded.
  virtual bool activate(const ModeResult& result) = 0;
  // Whether the panel must hide before activate(): the result goes to the
  // window the user was in (typed text), which needs the keyboard back.
  virtual bool deliversAfterHiding() const { return false; }
  // The panel entered or left this provider's mode (or hid while in it).
  virtual void modeDidOpen() {}
  virtual void modeDidClose() {}
  // Performs `command` on a result; false when the mode has no such command
  // or it failed. A provider that changes its results calls resultsChanged().
  virtual bool perform(ModeCommand /*command*/, const ModeResult& /*result*/) { return false; }

  // Set by the session, on the main runner: a provider calls it when what
  // the current query finds has changed (a new clipboard item), so that an
  // open mode shows it without waiting for a keystroke.
  void setResultsChangedHandler(std::function<void()> handler) { resultsChanged_ = std::move(handler); }

 protected:
  void resultsChanged() {
    if (resultsChanged_) resultsChanged_();
  }

 private:
  std::function<void()> resultsChanged_;
};

// The panel window.
class PanelWindow {
 public:
  virtual ~PanelWindow() = default;
  virtual void hideWindow(bool immediate, bool deactivateApp) = 0;
};

}  // namespace pallix
