#include "app/clipboard/ClipboardModeSearchProvider.h"

#include "core/Strings.h"

namespace pallix {

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
  index_.updateHistory(service_.history());
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

ModeResult ClipboardModeSearchProvider::resultFor(const ClipboardItem& item) {
  ModeResult result;
  result.identifier = std::to_string(item.id);
  if (item.primaryText) {
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
  result.detail = item.sourceAppName.value_or(clipboardContentKindName(item.contentKind()));
  return result;
}

void ClipboardModeSearchProvider::search(const std::string& text,
                                         std::function<void(std::vector<ModeResult>)> completion) {
  refreshHistoryIfChanged();
  if (!primed_) prime();
  lastMatches_ = index_.filter(text);
  std::vector<ModeResult> results;
  results.reserve(lastMatches_.size());
  for (const ClipboardItem* item : lastMatches_) results.push_back(resultFor(*item));
  completion(std::move(results));
}

bool ClipboardModeSearchProvider::activate(const ModeResult& result) {
  for (const ClipboardItem& item : service_.history()) {
    if (std::to_string(item.id) == result.identifier) return service_.copyToPasteboard(item);
  }
  return false;
}

}  // namespace pallix
