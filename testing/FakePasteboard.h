#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/Pasteboard.h"

namespace pallix {

// Keeps one item in memory (tests). setItem() and clear() stand for other
// applications; they move the change counter as a real desktop would.
class FakePasteboard final : public Pasteboard {
 public:
  Status writeString(const std::string& text) override;
  Result<std::optional<std::string>> readString() override;
  int64_t changeCount() const override;
  Result<std::optional<PasteboardItem>> readItem() override;
  Result<int64_t> writeItem(const PasteboardItem& item) override;
  std::optional<FrontmostApplication> frontmostApplication() override;
  void setChangeObserver(std::function<void()> observer) override;

  // Another application copies `item` (the observer is told, as a watcher would).
  void setItem(PasteboardItem item);
  void setText(const std::string& text, const std::string& type = kPlainTextUtf8Type);
  void clear();
  void setFrontmostApplication(std::optional<FrontmostApplication> app);
  // Makes writes fail (nullopt: succeed again).
  void failWith(std::optional<Error> error);
  void failReadsWith(std::optional<Error> error);
  // How often readItem() ran: reading is the work a poll does when the counter moved.
  int readCount() const;
  std::optional<PasteboardItem> currentItem() const;

 private:
  void changed();

  mutable std::mutex mutex_;
  std::optional<PasteboardItem> item_;
  std::optional<FrontmostApplication> frontmost_;
  std::optional<Error> failure_;
  std::optional<Error> readFailure_;
  std::function<void()> observer_;
  int64_t changeCount_ = 0;
  int readCount_ = 0;
};

}  // namespace pallix
