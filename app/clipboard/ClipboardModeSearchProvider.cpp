#include "app/clipboard/ClipboardModeSearchProvider.h"

#include <algorithm>

#include "app/search/MatchReason.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix {
namespace {

// A text item found by a query shows the passage of its text that matched,
// the query's words highlighted, instead of its start.
void showMatchingPassage(ModeResult& result, const ClipboardItem& item, const std::string& query) {
  if (!item.primaryText || trimWhitespace(query).empty()) return;
  if (item.detectedURLString && result.title != *item.primaryText) return;  // a link shown by its page's title
  MatchReason passage = passageReason(*item.primaryText, query);
  if (passage.empty()) return;
  result.title = std::move(passage.text);
  result.titleHighlights = std::move(passage.highlights);
}

}  // namespace

ClipboardModeSearchProvider::ClipboardModeSearchProvider(ClipboardService& service, TaskRunnerPtr runner,
                                                         TaskRunnerPtr background)
    : service_(service), index_(std::move(runner), std::move(background)) {
  service_.setHistoryObserver([this] {
    historyChanged_ = true;
    resultsChanged();
  });
}

ClipboardModeSearchProvider::~ClipboardModeSearchProvider() {
  service_.setHistoryObserver(nullptr);
}

void ClipboardModeSearchProvider::refreshHistoryIfChanged() {
  if (!historyChanged_) return;
  historyChanged_ = false;
  std::vector<ClipboardItem> history = service_.history();
  std::stable_partition(history.begin(), history.end(), [](const ClipboardItem& item) { return item.pinned; });
  index_.updateHistory(std::move(history));
  primed_ = false;
}

void ClipboardModeSearchProvider::prime() {
  refreshHistoryIfChanged();
  index_.prime();
  primed_ = true;
}

void ClipboardModeSearchProvider::clear() {
  index_.clear();
  primed_ = false;
  lastMatches_.clear();
}

ModeResult ClipboardModeSearchProvider::resultFor(const ClipboardItem& item, Date now, const std::string* linkTitle) {
  ModeResult result;
  result.identifier = std::to_string(item.id);
  std::vector<std::string> detail;
  if (linkTitle && item.detectedURLString) {
    result.title = *linkTitle;
    detail.push_back(*item.detectedURLString);
  } else if (item.primaryText) {
    std::string line = *item.primaryText;
    for (char& c : line) {
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    result.title = line;
  } else {
    std::string type = item.representations.empty() ? "" : item.representations.front().typeIdentifier;
    result.title = stringPrintf("[%s %s, %lld bytes]", clipboardContentKindName(item.contentKind()), type.c_str(),
                                static_cast<long long>(item.totalByteCount()));
  }
  detail.push_back(relativeAge(item.createdAt, now));
  detail.push_back(item.sourceAppName.value_or(clipboardContentKindName(item.contentKind())));
  result.detail = joinStrings(detail, " \u00b7 ");
  if (item.pinned) result.tag = kPinnedTag;
  return result;
}

const std::string* ClipboardModeSearchProvider::linkTitle(const ClipboardItem& item) const {
  if (!item.detectedURLString) return nullptr;
  auto it = linkTitles_.find(*item.detectedURLString);
  return it == linkTitles_.end() ? nullptr : &it->second;
}

void ClipboardModeSearchProvider::askForPreviews() {
  const size_t rows = std::min(lastMatches_.size(), kPreviewedRows);
  for (size_t i = 0; i < rows; ++i) {
    const ClipboardItem& item = *lastMatches_[i];
    if (!item.detectedURLString || !previewsAsked_.insert(*item.detectedURLString).second) continue;
    service_.linkMetadata(
        item, /*allowFetchWhenHidden=*/false,
        weak_.wrap([this, url = *item.detectedURLString](std::optional<ClipboardLinkPreviewPayload> preview) {
          if (!preview || !preview->title || preview->title->empty()) return;
          linkTitles_[url] = *preview->title;
          resultsChanged();
        }));
  }
}

void ClipboardModeSearchProvider::search(const std::string& text,
                                         std::function<void(std::vector<ModeResult>)> completion) {
  refreshHistoryIfChanged();
  if (!primed_) prime();
  lastMatches_ = index_.filter(text);
  std::vector<ModeResult> results;
  results.reserve(lastMatches_.size());
  const Date now = service_.now();
  for (const ClipboardItem* item : lastMatches_) {
    results.push_back(resultFor(*item, now, linkTitle(*item)));
    showMatchingPassage(results.back(), *item, text);
  }
  completion(std::move(results));
  askForPreviews();
}

const ClipboardItem* ClipboardModeSearchProvider::itemFor(const ModeResult& result) const {
  for (const ClipboardItem& item : service_.history()) {
    if (std::to_string(item.id) == result.identifier) return &item;
  }
  return nullptr;
}

bool ClipboardModeSearchProvider::activate(const ModeResult& result) {
  const ClipboardItem* item = itemFor(result);
  return item && service_.copyToPasteboard(*item);
}

bool ClipboardModeSearchProvider::perform(ModeCommand command, const ModeResult& result) {
  const ClipboardItem* found = itemFor(result);
  if (!found) return false;
  // A copy: both change the history the pointer is into.
  const ClipboardItem item = *found;
  switch (command) {
    case ModeCommand::togglePin:
      return service_.setPinned(item, !item.pinned);
    case ModeCommand::remove: {
      service_.deleteItem(item);
      return std::none_of(service_.history().begin(), service_.history().end(),
                          [&](const ClipboardItem& i) { return i.id == item.id; });
    }
  }
  return false;
}

}  // namespace pallix
