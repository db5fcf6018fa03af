#include "app/clipboard/ClipboardSearchIndex.h"

#include "app/clipboard/ClipboardCapture.h"
#include "core/Strings.h"

namespace pallix {
namespace {

bool legacyMatch(const ClipboardItem& item, const std::string& query) {
  auto has = [&](const std::optional<std::string>& field) {
    return field && lowercasedForSearch(*field).find(query) != std::string::npos;
  };
  return has(item.normalizedSearchText) || has(item.primaryText) || has(item.sourceAppName) ||
         has(item.detectedURLString);
}

}  // namespace

ClipboardSearchIndex::ClipboardSearchIndex(TaskRunnerPtr runner, TaskRunnerPtr background)
    : runner_(std::move(runner)),
      background_(std::move(background)),
      history_(std::make_shared<const std::vector<ClipboardItem>>()) {}

ClipboardSearchIndex::~ClipboardSearchIndex() = default;

std::string ClipboardSearchIndex::searchableText(const ClipboardItem& item) {
  std::string text = item.normalizedSearchText ? *item.normalizedSearchText
                                               : (item.primaryText ? lowercasedForSearch(*item.primaryText) : "");
  if (item.sourceAppName) text += "\n" + lowercasedForSearch(*item.sourceAppName);
  if (item.detectedURLString) text += "\n" + lowercasedForSearch(*item.detectedURLString);
  return text;
}

void ClipboardSearchIndex::updateHistory(std::vector<ClipboardItem> history) {
  history_ = std::make_shared<const std::vector<ClipboardItem>>(std::move(history));
  snapshots_.clear();
  ++generation_;
}

void ClipboardSearchIndex::clear() {
  snapshots_.clear();
  ++generation_;
}

void ClipboardSearchIndex::prime() {
  clear();
  const auto history = history_;
  const size_t warm = std::min(kWarmSearchIndexLimit, history->size());
  for (size_t i = 0; i < warm; ++i) snapshots_.push_back(searchableText((*history)[i]));
  if (warm == history->size()) return;
  const uint64_t generation = generation_;
  auto apply = weak_.wrap([this, generation](std::vector<std::string> built) {
    if (generation != generation_) return;
    snapshots_ = std::move(built);
  });
  TaskRunnerPtr runner = runner_;
  background_->post([history, runner, apply]() mutable {
    std::vector<std::string> built;
    built.reserve(history->size());
    for (const ClipboardItem& item : *history) built.push_back(searchableText(item));
    runner->post([apply, built = std::move(built)]() mutable { apply(std::move(built)); });
  });
}

void ClipboardSearchIndex::rebuild() {
  ++generation_;
  snapshots_.clear();
  snapshots_.reserve(history_->size());
  for (const ClipboardItem& item : *history_) snapshots_.push_back(searchableText(item));
}

std::vector<const ClipboardItem*> ClipboardSearchIndex::filter(const std::string& rawQuery) {
  std::vector<const ClipboardItem*> matches;
  const std::vector<ClipboardItem>& items = *history_;
  std::string_view trimmed = trimWhitespace(rawQuery);
  if (trimmed.empty()) {
    for (size_t i = 0; i < items.size() && matches.size() < kDisplayLimit; ++i) matches.push_back(&items[i]);
    return matches;
  }
  const std::string query = lowercasedForSearch(trimmed);
  if (items.size() > snapshots_.size()) rebuild();
  for (size_t i = 0; i < items.size() && matches.size() < kDisplayLimit; ++i) {
    bool match = i < snapshots_.size() ? snapshots_[i].find(query) != std::string::npos : legacyMatch(items[i], query);
    if (match) matches.push_back(&items[i]);
  }
  return matches;
}

}  // namespace pallix
