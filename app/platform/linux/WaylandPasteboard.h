// WaylandPasteboard: the Wayland clipboard through the wl-clipboard tools.
// A `wl-paste --watch` child prints a line on every change, which moves the
// change counter and calls the observer; reading lists the types
// (`wl-paste --list-types`) and reads each (`wl-paste --type`); writing can
// hold one type only (`wl-copy --type`), so it writes the item's primary
// text and returns the counter that write produced, for the poller to skip.
// The frontmost application is not known on Wayland.
//
// Thread-safe; owns the watching child and its reader thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/platform/Pasteboard.h"
#include "core/Clock.h"

namespace pallix {

class WaylandPasteboard final : public Pasteboard {
 public:
  // Fails when wl-paste or wl-copy is missing (install wl-clipboard).
  static Result<std::shared_ptr<WaylandPasteboard>> create();
  ~WaylandPasteboard() override;

  Status writeString(const std::string& text) override;
  Result<std::optional<std::string>> readString() override;
  int64_t changeCount() const override { return changeCount_.load(); }
  Result<std::optional<PasteboardItem>> readItem() override;
  Result<int64_t> writeItem(const PasteboardItem& item) override;
  void setChangeObserver(std::function<void()> observer) override;

 private:
  WaylandPasteboard() = default;

  std::atomic<int64_t> changeCount_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> observer_;
  std::thread thread_;
};

}  // namespace pallix
