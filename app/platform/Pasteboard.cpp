#include "app/platform/Pasteboard.h"

#include <cstdio>

#include "app/platform/PasteboardTypes.h"
#include "core/Strings.h"

namespace pallix {

const PasteboardRepresentation* PasteboardItem::find(std::string_view type) const {
  for (const PasteboardRepresentation& r : representations) {
    if (r.type == type) return &r;
  }
  return nullptr;
}

bool PasteboardItem::isConcealed() const {
  const PasteboardRepresentation* hint = find(kPasswordManagerHintType);
  return hint && trimWhitespace(hint->data) == "secret";
}

std::optional<std::string> primaryTextOf(const PasteboardItem& item) {
  for (const PasteboardRepresentation& r : item.representations) {
    if (pasteboardTypeCategory(r.type) == PasteboardTypeCategory::plainText) return r.data;
  }
  return std::nullopt;
}

std::string encodePasteboardItem(const PasteboardItem& item) {
  std::string out;
  for (const PasteboardRepresentation& r : item.representations) {
    out += std::to_string(r.type.size()) + " " + std::to_string(r.data.size()) + "\n";
    out += r.type;
    out += r.data;
  }
  return out;
}

Result<PasteboardItem> decodePasteboardItem(std::string_view bytes) {
  PasteboardItem item;
  while (!bytes.empty()) {
    size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos || newline > 40) break;
    std::string header(bytes.substr(0, newline));
    unsigned long long typeSize = 0, dataSize = 0;
    if (std::sscanf(header.c_str(), "%llu %llu", &typeSize, &dataSize) != 2) break;
    bytes.remove_prefix(newline + 1);
    if (typeSize + dataSize > bytes.size()) break;
    item.representations.push_back(
        {std::string(bytes.substr(0, typeSize)), std::string(bytes.substr(typeSize, dataSize))});
    bytes.remove_prefix(typeSize + dataSize);
  }
  if (!bytes.empty()) return Error("PasteboardError", 6, "The clipboard item handed over is damaged");
  return item;
}

Result<std::optional<PasteboardItem>> Pasteboard::readItem() {
  auto text = readString();
  if (!text.ok()) return text.error();
  if (!text.value()) return std::optional<PasteboardItem>();
  return std::optional<PasteboardItem>(PasteboardItem{{{kPlainTextUtf8Type, std::move(*text.value())}}});
}

Result<int64_t> Pasteboard::writeItem(const PasteboardItem& item) {
  std::optional<std::string> text = primaryTextOf(item);
  if (!text) {
    return Error("PasteboardError", 3, "This clipboard can hold text only, and the item has no text representation");
  }
  PALLIX_RETURN_IF_ERROR(writeString(*text));
  return changeCount();
}

// ---- FakePasteboard ----

Status FakePasteboard::writeString(const std::string& text) {
  auto written = writeItem(PasteboardItem{{{kPlainTextUtf8Type, text}}});
  if (!written.ok()) return written.error();
  return okStatus();
}

Result<std::optional<std::string>> FakePasteboard::readString() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!item_) return std::optional<std::string>();
  return primaryTextOf(*item_);
}

int64_t FakePasteboard::changeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changeCount_;
}

Result<std::optional<PasteboardItem>> FakePasteboard::readItem() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++readCount_;
  if (readFailure_) return *readFailure_;
  return item_;
}

Result<int64_t> FakePasteboard::writeItem(const PasteboardItem& item) {
  std::function<void()> observer;
  int64_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) return *failure_;
    item_ = item;
    count = ++changeCount_;
    observer = observer_;
  }
  if (observer) observer();
  return count;
}

std::optional<FrontmostApplication> FakePasteboard::frontmostApplication() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frontmost_;
}

void FakePasteboard::setChangeObserver(std::function<void()> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void FakePasteboard::changed() {
  std::function<void()> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++changeCount_;
    observer = observer_;
  }
  if (observer) observer();
}

void FakePasteboard::setItem(PasteboardItem item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    item_ = std::move(item);
  }
  changed();
}

void FakePasteboard::setText(const std::string& text, const std::string& type) {
  setItem(PasteboardItem{{{type, text}}});
}

void FakePasteboard::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    item_.reset();
  }
  changed();
}

void FakePasteboard::setFrontmostApplication(std::optional<FrontmostApplication> app) {
  std::lock_guard<std::mutex> lock(mutex_);
  frontmost_ = std::move(app);
}

void FakePasteboard::failWith(std::optional<Error> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure_ = std::move(error);
}

void FakePasteboard::failReadsWith(std::optional<Error> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  readFailure_ = std::move(error);
}

int FakePasteboard::readCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readCount_;
}

std::optional<PasteboardItem> FakePasteboard::currentItem() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return item_;
}

}  // namespace pallix
