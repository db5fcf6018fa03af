// RegexCache: the process-wide cache of compiled, case-insensitive ICU regular
// expressions used by power queries (/pattern/ tokens), so that repeated
// keystrokes do not recompile the same pattern.
//
// Thread safety: every member is safe for concurrent use. A CompiledRegex is
// immutable once built and shared between threads; each match creates its own
// ICU matcher. The cache is bounded (least recently used entries are evicted);
// holders of an evicted entry keep it alive through their shared_ptr.
#pragma once

#include <unicode/uversion.h>

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace pallix {

class CompiledRegex {
 public:
  ~CompiledRegex();
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // Compiles `pattern` case-insensitively; nullptr when it does not compile.
  static std::shared_ptr<const CompiledRegex> compile(const std::string& pattern);

  const std::string& pattern() const { return pattern_; }
  // True when the expression matches somewhere in the UTF-8 `text`.
  bool findIn(std::string_view text) const;

 private:
  CompiledRegex(std::string pattern, std::unique_ptr<icu::RegexPattern> compiled);

  std::string pattern_;
  std::unique_ptr<icu::RegexPattern> compiled_;
};

class RegexCache {
 public:
  static constexpr size_t kDefaultCapacity = 128;

  explicit RegexCache(size_t capacity = kDefaultCapacity);
  RegexCache(const RegexCache&) = delete;
  RegexCache& operator=(const RegexCache&) = delete;

  // The cache shared by QueryParser.
  static RegexCache& shared();

  // The compiled expression for `pattern`, from the cache or compiled now;
  // nullptr when the pattern does not compile (failures are remembered too).
  std::shared_ptr<const CompiledRegex> regex(const std::string& pattern);

  size_t size() const;
  size_t capacity() const { return capacity_; }
  // Number of compilations performed so far (hits do not count).
  size_t compileCount() const;
  void clear();

 private:
  struct Entry {
    std::shared_ptr<const CompiledRegex> regex;
    std::list<std::string>::iterator recency;
  };

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<std::string> recency_;                  // Most recently used first. Guarded by mutex_.
  std::unordered_map<std::string, Entry> entries_;  // Guarded by mutex_.
  size_t compileCount_ = 0;                         // Guarded by mutex_.
};

}  // namespace pallix
