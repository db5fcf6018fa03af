#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/TextInput.h"

namespace pallix {

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
