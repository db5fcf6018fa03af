#include "app/search/RegexCache.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cctype>

namespace pallix {

CompiledRegex::CompiledRegex(std::string pattern, std::unique_ptr<icu::RegexPattern> compiled)
    : pattern_(std::move(pattern)), compiled_(std::move(compiled)) {}

CompiledRegex::~CompiledRegex() = default;

namespace {

// "U_REGEX_MISSING_CLOSE_BRACKET" reads as "missing close bracket".
std::string describeStatus(UErrorCode status) {
  std::string name = u_errorName(status);
  for (const char* prefix : {"U_REGEX_", "U_"}) {
    if (name.rfind(prefix, 0) == 0) {
      name.erase(0, std::char_traits<char>::length(prefix));
      break;
    }
  }
  for (char& c : name) c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

Result<std::shared_ptr<const CompiledRegex>> CompiledRegex::compile(const std::string& pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  parseError.offset = -1;
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(pattern);
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(source, UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    std::string where = parseError.offset >= 0 ? " at character " + std::to_string(parseError.offset + 1) : "";
    return Error(RegexCache::kErrorDomain, static_cast<int>(status),
                 "/" + pattern + "/ is not a valid regular expression (" + describeStatus(status) + where + ")");
  }
  return std::shared_ptr<const CompiledRegex>(new CompiledRegex(pattern, std::move(compiled)));
}

bool CompiledRegex::findIn(std::string_view text) const {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->matcher(input, status));
  if (U_FAILURE(status) || !matcher) return false;
  bool found = matcher->find(status);
  return U_SUCCESS(status) && found;
}

std::optional<std::pair<size_t, size_t>> CompiledRegex::findBytesIn(std::string_view text) const {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->matcher(input, status));
  if (U_FAILURE(status) || !matcher || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
  const int32_t start = matcher->start(status);
  const int32_t end = matcher->end(status);
  if (U_FAILURE(status)) return std::nullopt;
  // UTF-16 offsets to UTF-8 ones: the length of each prefix in UTF-8.
  auto bytesBefore = [&](int32_t units) {
    std::string prefix;
    input.tempSubString(0, units).toUTF8String(prefix);
    return prefix.size();
  };
  return std::make_pair(bytesBefore(start), bytesBefore(end));
}

CompiledRegex::Matcher::Matcher(std::shared_ptr<const CompiledRegex> regex)
    : regex_(std::move(regex)), input_(std::make_unique<icu::UnicodeString>()) {
  UErrorCode status = U_ZERO_ERROR;
  matcher_.reset(regex_->compiled_->matcher(*input_, status));
  if (U_FAILURE(status)) matcher_.reset();
}

CompiledRegex::Matcher::~Matcher() = default;

bool CompiledRegex::Matcher::findIn(std::string_view text) {
  if (!matcher_) return regex_->findIn(text);
  *input_ = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  matcher_->reset(*input_);
  UErrorCode status = U_ZERO_ERROR;
  const bool found = matcher_->find(status);
  return U_SUCCESS(status) && found;
}

RegexCache::RegexCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

RegexCache& RegexCache::shared() {
  static RegexCache* cache = new RegexCache();
  return *cache;
}

std::shared_ptr<const CompiledRegex> RegexCache::regex(const std::string& pattern) {
  auto found = lookup(pattern);
  return found.ok() ? found.value() : nullptr;
}

Result<std::shared_ptr<const CompiledRegex>> RegexCache::lookup(const std::string& pattern) {
  {
    MutexLock lock(mutex_);
    auto it = entries_.find(pattern);
    if (it != entries_.end()) {
      recency_.splice(recency_.begin(), recency_, it->second.recency);
      return it->second.regex;
    }
  }
  // Compile outside the lock: a slow pattern must not block other lookups.
  Result<std::shared_ptr<const CompiledRegex>> compiled = CompiledRegex::compile(pattern);
  MutexLock lock(mutex_);
  ++compileCount_;
  auto it = entries_.find(pattern);
  if (it != entries_.end()) {
    recency_.splice(recency_.begin(), recency_, it->second.recency);
    return it->second.regex;
  }
  recency_.push_front(pattern);
  entries_.emplace(pattern, Entry{compiled, recency_.begin()});
  while (entries_.size() > capacity_) {
    entries_.erase(recency_.back());
    recency_.pop_back();
  }
  return compiled;
}

size_t RegexCache::size() const {
  MutexLock lock(mutex_);
  return entries_.size();
}

size_t RegexCache::compileCount() const {
  MutexLock lock(mutex_);
  return compileCount_;
}

void RegexCache::clear() {
  MutexLock lock(mutex_);
  entries_.clear();
  recency_.clear();
}

}  // namespace pallix
