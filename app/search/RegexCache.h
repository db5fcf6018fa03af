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
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/Error.h"
#include "core/ThreadAnnotations.h"

U_NAMESPACE_BEGIN
class RegexPattern;
class RegexMatcher;
class UnicodeString;
U_NAMESPACE_END

namespace pallix {

class CompiledRegex {
 public:
  ~CompiledRegex();
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // Compiles `pattern` case-insensitively; fails with a description of why
  // and where the pattern does not compile.
  static Result<std::shared_ptr<const CompiledRegex>> compile(const std::string& pattern);

  const std::string& pattern() const { return pattern_; }
  // True when the expression matches somewhere in the UTF-8 `text`.
  bool findIn(std::string_view text) const;
  // Where it first matches in the UTF-8 `text`, as a half-open range of
  // bytes (empty for a match of nothing, such as /^/).
  std::optional<std::pair<size_t, size_t>> findBytesIn(std::string_view text) const;

  // findIn() for many texts in a row: keeps one ICU matcher. Used by one
  // thread at a time.
  class Matcher {
   public:
    explicit Matcher(std::shared_ptr<const CompiledRegex> regex);
    ~Matcher();
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;
    bool findIn(std::string_view text);

   private:
    std::shared_ptr<const CompiledRegex> regex_;
    std::unique_ptr<icu::UnicodeString> input_;  // The matcher reads it; outlives every match.
    std::unique_ptr<icu::RegexMatcher> matcher_;
  };

 private:
  CompiledRegex(std::string pattern, std::unique_ptr<icu::RegexPattern> compiled);

  std::string pattern_;
  std::unique_ptr<icu::RegexPattern> compiled_;
};

class RegexCache {
 public:
  static constexpr size_t kDefaultCapacity = 128;
  static constexpr const char* kErrorDomain = "RegexError";

  explicit RegexCache(size_t capacity = kDefaultCapacity);
  RegexCache(const RegexCache&) = delete;
  RegexCache& operator=(const RegexCache&) = delete;

  // The cache shared by QueryParser.
  static RegexCache& shared();

  // The compiled expression for `pattern`, from the cache or compiled now;
  // the compile error when it does not compile (failures are remembered too).
  Result<std::shared_ptr<const CompiledRegex>> lookup(const std::string& pattern);
  // lookup() without the reason: nullptr when the pattern does not compile.
  std::shared_ptr<const CompiledRegex> regex(const std::string& pattern);

  size_t size() const;
  size_t capacity() const { return capacity_; }
  // Number of compilations performed so far (hits do not count).
  size_t compileCount() const;
  void clear();

 private:
  struct Entry {
    Result<std::shared_ptr<const CompiledRegex>> regex;
    std::list<std::string>::iterator recency;
  };

  const size_t capacity_;
  mutable Mutex mutex_;
  std::list<std::string> recency_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
  size_t compileCount_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pallix
