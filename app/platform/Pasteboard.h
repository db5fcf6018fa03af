// Pasteboard: the system clipboard.
//
// The Linux implementation (linux/CommandPasteboard) goes through the
// desktop's clipboard tools (wl-copy/wl-paste under Wayland, xclip or xsel
// under X11); FakePasteboard keeps the text in memory for tests. Calls may
// block briefly; thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "core/Error.h"

namespace pallix {

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Replaces the clipboard's contents with plain text.
  virtual Status writeString(const std::string& text) = 0;
  // The clipboard's plain text, if it holds any.
  virtual Result<std::optional<std::string>> readString() = 0;
  // Increases whenever this process writes (other writers are not seen).
  virtual int64_t changeCount() const = 0;
};

class FakePasteboard final : public Pasteboard {
 public:
  Status writeString(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) return *failure_;
    text_ = text;
    ++changeCount_;
    return okStatus();
  }
  Result<std::optional<std::string>> readString() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  int64_t changeCount() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return changeCount_;
  }
  void failWith(Error error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(error);
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
  std::optional<Error> failure_;
  int64_t changeCount_ = 0;
};

}  // namespace pallix
