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

}  // namespace pallix
