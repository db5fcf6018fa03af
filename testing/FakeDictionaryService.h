#pragma once

#include <map>
#include <optional>
#include <string>

#include "app/platform/DictionaryService.h"

namespace pallix {

class FakeDictionaryService final : public DictionaryService {
 public:
  explicit FakeDictionaryService(std::map<std::string, std::string> entries = {}) : entries_(std::move(entries)) {}
  bool isAvailable() const override { return true; }
  std::optional<std::string> definition(const std::string& term) override {
    ++lookups;
    auto it = entries_.find(term);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }
  int lookups = 0;

 private:
  std::map<std::string, std::string> entries_;
};

}  // namespace pallix
