// X11Pasteboard: the CLIPBOARD selection of an X11 display, through xcb and
// the XFixes extension.
//
// Watching: a thread of this object waits for XFixesSelectionNotify on
// CLIPBOARD and moves the change counter on every new owner (and when an
// owner goes away), then calls the change observer, which polls at once.
// Reading converts TARGETS and then each target (INCR transfers included),
// on a second connection, from the calling thread, at the time of the owner
// change that triggered it, each into a property of its own on a requestor
// window made for that read and destroyed after it (so that what an owner
// still sends for an abandoned transfer reaches nothing later). A transfer
// is abandoned, and the read ends with an error naming it, when its owner
// sends nothing for `ownerTimeout`, the whole read passes `readTimeout`, the
// clipboard changes owner during it, or what arrives is garbled or shorter
// than announced. Of the image
// conversions an owner offers, only its first image type is read. An item a
// password manager marked as secret is returned as its hint alone: nothing
// else of it is read. Writing owns the selection and serves every
// representation (plus UTF8_STRING for the text when the item lacks it)
// from the watching thread, in INCR chunks when large, until another
// application takes the clipboard or this object is destroyed. The
// frontmost application is _NET_ACTIVE_WINDOW's WM_CLASS, resolved through
// the desktop entries.
//
// Thread-safe. Owns its two connections and its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/platform/Pasteboard.h"
#include "core/Clock.h"

namespace pallix {

class X11Pasteboard final : public Pasteboard {
 public:
  static constexpr const char* kErrorDomain = "X11PasteboardError";
  static constexpr int64_t kMaxRepresentationBytes = 64 << 20;

  struct Options {
    std::string display;  // empty: $DISPLAY
    // A transfer whose owner sends nothing for this long is abandoned.
    Duration ownerTimeout = std::chrono::seconds(2);
    // A read that takes longer than this in all (an owner trickling) too.
    Duration readTimeout = std::chrono::seconds(30);
    std::function<std::optional<FrontmostApplication>(const std::string& instance, const std::string& className)>
        resolveApplication;
  };

  static Result<std::shared_ptr<X11Pasteboard>> connect(Options options);
  ~X11Pasteboard() override;

  Status writeString(const std::string& text) override;
  Result<std::optional<std::string>> readString() override;
  int64_t changeCount() const override { return changeCount_.load(); }
  Result<std::optional<PasteboardItem>> readItem() override;
  Result<int64_t> writeItem(const PasteboardItem& item) override;
  std::optional<FrontmostApplication> frontmostApplication() override;
  void setChangeObserver(std::function<void()> observer) override;

  bool ownsSelection() const { return owned_.load(); }
  // Blocks until another application owns the clipboard or the display
  // connection ends (a process that only serves its write).
  void waitUntilOwnershipLost();

  struct Connection;

 private:
  explicit X11Pasteboard(Options options);
  void runEvents();
  void notifyOwnershipChanged();

  Options options_;
  std::unique_ptr<Connection> events_;  // owner window, XFixes events; used by the thread (and writeItem)
  std::unique_ptr<Connection> reader_;  // requestor window; used under readMutex_
  std::mutex readMutex_;
  std::atomic<int64_t> changeCount_{0};
  // Server time of the last owner change another application made (XFixes);
  // conversions are asked for at that time. 0: none seen yet.
  std::atomic<uint32_t> lastSelectionTime_{0};
  std::atomic<bool> owned_{false};
  std::atomic<bool> stopping_{false};
  std::mutex observerMutex_;
  std::function<void()> observer_;
  std::mutex ownershipMutex_;
  std::condition_variable ownershipChanged_;
  int wakePipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace pallix
