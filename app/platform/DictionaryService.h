// DictionaryService: the offline dictionary behind the dictionary source. It
// answers the plain-text definition of a word or phrase (one sense per line)
// or nothing. WordNetDictionary (linux/) is the real one; FakeDictionaryService
// holds a fixed table.
//
// Threading: synchronous. Implementations with global state (WordNet) must be
// used from one serial executor; the dictionary source does so.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace pallix {

class DictionaryService {
 public:
  virtual ~DictionaryService() = default;
  // False when the dictionary's data cannot be read (e.g. not installed).
  virtual bool isAvailable() const = 0;
  virtual std::optional<std::string> definition(const std::string& term) = 0;
};

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
