#include "testing/FakePasteboard.h"

#include "app/platform/PasteboardTypes.h"

namespace pallix {

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
