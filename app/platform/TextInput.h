// TextInput: typing a Unicode string into the frontmost application, as if
// the user had typed it (the emoji picker's direct insertion).
//
// linux/XdoTextInput posts XTest key events through libxdo (X11);
// linux/WtypeTextInput runs wtype (Wayland); FakeTextInput records (tests).
// isPermitted() says whether typing can work here: the display is reachable
// and the mechanism is present. Thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

class TextInput {
 public:
  static constexpr const char* kErrorDomain = "TextInputError";
  virtual ~TextInput() = default;
  virtual bool isPermitted() = 0;
  // Types `text` (UTF-8) into the focused window.
  virtual Status typeText(const std::string& text) = 0;
};

class FakeTextInput final : public TextInput {
 public:
  explicit FakeTextInput(bool permitted = true) : permitted_(permitted) {}
  bool isPermitted() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return permitted_;
  }
  Status typeText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) return *failure_;
    typed_.push_back(text);
    return okStatus();
  }
  void setPermitted(bool permitted) {
    std::lock_guard<std::mutex> lock(mutex_);
    permitted_ = permitted;
  }
  void failWith(std::optional<Error> error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(error);
  }
  std::vector<std::string> typed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return typed_;
  }

 private:
  mutable std::mutex mutex_;
  bool permitted_;
  std::optional<Error> failure_;
  std::vector<std::string> typed_;
};

}  // namespace pallix
