#include "app/clipboard/ClipboardModeSearchProvider.h"

#include <algorithm>

#include "app/clipboard/ClipboardItemFacts.h"
#include "app/search/MatchReason.h"
#include "core/Formatting.h"
#include "core/Strings.h"
#include "core/Utf8.h"

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
    : service_(service), runner_(runner), index_(std::move(runner), std::move(background)) {
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
  if (const auto& semantic = service_.semanticIndex()) semantic->warmUp();
}

void ClipboardModeSearchProvider::clear() {
  index_.clear();
  primed_ = false;
  lastMatches_.clear();
  contents_.clear();
  contentsAsked_.clear();
  heldImageBytes_ = 0;
  semanticQuery_.clear();
  semanticMatches_.reset();
}

namespace {

// Shares `bytes` of `owner` without a copy.
template <typename Owner>
std::shared_ptr<const std::string> bytesOf(const std::shared_ptr<const Owner>& owner,
                                           const std::optional<std::string>& bytes) {
  if (!owner || !bytes || bytes->empty()) return nullptr;
  return std::shared_ptr<const std::string>(owner, &*bytes);
}

std::shared_ptr<const ModeResultMedia> mediaFor(const ClipboardItem& item, const ClipboardItemFacts& f,
                                                const std::shared_ptr<const ClipboardLinkPreviewPayload>& preview,
                                                const std::shared_ptr<const ClipboardItemContent>& content) {
  auto m = std::make_shared<ModeResultMedia>();
  m->sourceAppIdentifier = f.sourceAppIdentifier.value_or("");
  m->facts.push_back({"Copied", f.age});
  if (f.sourceAppName) m->facts.push_back({"From", *f.sourceAppName});
  switch (f.kind) {
    case ClipboardContentKind::link:
      m->tileImage = preview ? bytesOf(preview, preview->iconImageData) : nullptr;
      m->image = preview ? bytesOf(preview, preview->previewImageData) : nullptr;
      m->heading = f.linkTitle.value_or(f.url.value_or(f.title));
      m->text = f.url.value_or("");
      break;
    case ClipboardContentKind::image:
      m->tileImage = content ? content->imageData : nullptr;
      m->image = m->tileImage;
      m->heading = f.title;
      if (f.pixelWidth) m->facts.push_back({"Size", stringPrintf("%u\u00d7%u pixels", *f.pixelWidth, *f.pixelHeight)});
      break;
    case ClipboardContentKind::file:
      m->tileIconPath = f.filePath.value_or("");
      m->heading = f.title;
      if (content) m->text = joinStrings(content->filePaths, "\n");
      if (m->text.empty()) m->text = item.primaryText.value_or("");
      break;
    default:
      m->heading = f.kind == ClipboardContentKind::unknown ? f.title : "Text";
      m->text = content && content->fullText ? *content->fullText : item.primaryText.value_or("");
      break;
  }
  // What the copy holds says something for images, files and data, not
  // for text ("UTF8_STRING").
  if (f.kind == ClipboardContentKind::image || f.kind == ClipboardContentKind::file ||
      f.kind == ClipboardContentKind::unknown) {
    if (!f.typeIdentifier.empty()) m->facts.push_back({"Type", f.typeIdentifier});
  }
  if (f.kind != ClipboardContentKind::link) m->facts.push_back({"Holds", humanSize(f.byteCount)});
  return m;
}

}  // namespace

ModeResult ClipboardModeSearchProvider::resultFor(const ClipboardItem& item, Date now,
                                                  std::shared_ptr<const ClipboardLinkPreviewPayload> preview,
                                                  std::shared_ptr<const ClipboardItemContent> content) {
  const ClipboardItemFacts facts = describeClipboardItem(item, now, preview.get(), content.get());
  ModeResult result;
  result.identifier = std::to_string(item.id);
  result.title = facts.title;
  result.detail = facts.detailLine();
  if (item.pinned) result.tag = kPinnedTag;
  result.media = mediaFor(item, facts, preview, content);
  return result;
}

std::shared_ptr<const ClipboardLinkPreviewPayload> ClipboardModeSearchProvider::preview(
    const ClipboardItem& item) const {
  if (!item.detectedURLString) return nullptr;
  auto it = previews_.find(*item.detectedURLString);
  return it == previews_.end() ? nullptr : it->second;
}

std::shared_ptr<const ClipboardItemContent> ClipboardModeSearchProvider::content(const ClipboardItem& item) const {
  auto it = contents_.find(item.id);
  return it == contents_.end() ? nullptr : it->second;
}

namespace {

// Rows whose bytes say more than the history: images (thumbnail, size),
// files (path, icon), and text the history keeps only the start of.
bool needsContent(const ClipboardItem& item) {
  switch (item.contentKind()) {
    case ClipboardContentKind::image:
    case ClipboardContentKind::file:
      return true;
    case ClipboardContentKind::text:
    case ClipboardContentKind::richText:
      return item.primaryText && item.primaryText->size() >= ClipboardItem::kPrimaryTextLimit;
    default:
      return false;
  }
}

}  // namespace

void ClipboardModeSearchProvider::askForPreviewsAndContent() {
  const size_t rows = std::min(lastMatches_.size(), kPreviewedRows);
  for (size_t i = 0; i < rows; ++i) {
    const ClipboardItem& item = *lastMatches_[i];
    if (needsContent(item) && contentsAsked_.insert(item.id).second) {
      service_.loadContent(item, weak_.wrap([this, id = item.id](std::shared_ptr<const ClipboardItemContent> c) {
        // A mode closed since forgets what it asked for.
        if (!c || !contentsAsked_.count(id)) return;
        if (c->imageData) {
          // Past the budget an image keeps its size but shows no thumbnail.
          const size_t bytes = c->imageData->size();
          if (heldImageBytes_ + bytes > kHeldImageBytes) {
            auto lean = std::make_shared<ClipboardItemContent>(*c);
            lean->imageData.reset();
            c = std::move(lean);
          } else {
            heldImageBytes_ += bytes;
          }
        }
        contents_[id] = std::move(c);
        resultsChanged();
      }));
    }
    if (!item.detectedURLString || !previewsAsked_.insert(*item.detectedURLString).second) continue;
    service_.linkMetadata(
        item, /*allowFetchWhenHidden=*/false,
        weak_.wrap([this, url = *item.detectedURLString](std::optional<ClipboardLinkPreviewPayload> preview) {
          if (!preview || (!preview->title && !preview->iconImageData && !preview->previewImageData)) return;
          previews_[url] = std::make_shared<const ClipboardLinkPreviewPayload>(std::move(*preview));
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
    results.push_back(resultFor(*item, now, preview(*item), content(*item)));
    showMatchingPassage(results.back(), *item, text);
  }
  appendSemanticMatches(text, results);
  completion(std::move(results));
  askForPreviewsAndContent();
}

void ClipboardModeSearchProvider::appendSemanticMatches(const std::string& text, std::vector<ModeResult>& results) {
  const std::shared_ptr<ClipboardSemanticIndex>& semantic = service_.semanticIndex();
  const std::string query(trimWhitespace(text));
  if (!semantic || !semantic->isEnabled() || utf8CharacterCount(query) < kMinimumSemanticQueryLength) {
    semanticQuery_.clear();
    semanticMatches_.reset();
    return;
  }
  std::unordered_set<int64_t> shown;
  for (const ClipboardItem* item : lastMatches_) shown.insert(item->id);
  if (query != semanticQuery_) {
    semanticQuery_ = query;
    semanticMatches_.reset();
    semantic->search(query, shown, kSemanticRows, runner_,
                     weak_.wrap([this, query](std::vector<ClipboardSemanticIndex::Match> matches) {
                       if (query != semanticQuery_) return;
                       semanticMatches_ = std::move(matches);
                       if (!semanticMatches_->empty()) resultsChanged();
                     }));
    return;
  }
  if (!semanticMatches_) return;
  const Date now = service_.now();
  for (const ClipboardSemanticIndex::Match& match : *semanticMatches_) {
    if (shown.count(match.id)) continue;
    // An item deleted since the answer is no longer in the history.
    const auto& history = index_.history();
    auto it = std::find_if(history.begin(), history.end(), [&](const ClipboardItem& i) { return i.id == match.id; });
    if (it == history.end()) continue;
    shown.insert(match.id);
    lastMatches_.push_back(&*it);
    results.push_back(resultFor(*it, now, preview(*it), content(*it)));
    ModeResult& row = results.back();
    row.detail = row.detail.empty() ? kSimilarMeaningMark : std::string(kSimilarMeaningMark) + " \u00b7 " + row.detail;
  }
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
