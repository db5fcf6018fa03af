#include "app/intelligence/IntelligenceText.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <map>
#include <memory>

#include "core/DiacriticFolding.h"

namespace pallix::intelligence {

namespace {

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// UTF-16 offset -> UTF-8 byte offset within `text`.
size_t utf8Offset(const icu::UnicodeString& text, int32_t utf16Index) {
  std::string prefix;
  text.tempSubString(0, utf16Index).toUTF8String(prefix);
  return prefix.size();
}

// Per-thread cache of compiled patterns. A pattern that fails to compile maps to nullptr.
icu::RegexPattern* compiledPattern(std::string_view pattern) {
  thread_local std::map<std::string, std::unique_ptr<icu::RegexPattern>, std::less<>> cache;
  auto it = cache.find(pattern);
  if (it != cache.end()) return it->second.get();
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(toUnicode(pattern), 0, parseError, status));
  if (U_FAILURE(status)) compiled.reset();
  auto* raw = compiled.get();
  cache.emplace(std::string(pattern), std::move(compiled));
  return raw;
}

bool isAlnum(UChar32 c) {
  return u_isalnum(c) != 0;
}

}  // namespace

std::string lowercasePosix(std::string_view text) {
  static const icu::Locale posix("en_US_POSIX");
  icu::UnicodeString u = toUnicode(text);
  u.toLower(posix);
  return toUtf8(u);
}

std::string foldDiacritics(std::string_view text) {
  return withoutDiacritics(text);
}

std::string foldAndLowercase(std::string_view text) {
  return lowercasePosix(foldDiacritics(text));
}

bool regexIsValid(std::string_view pattern) {
  return compiledPattern(pattern) != nullptr;
}

std::optional<RegexMatch> regexFind(std::string_view pattern, std::string_view text) {
  icu::RegexPattern* compiled = compiledPattern(pattern);
  if (!compiled) return std::nullopt;
  icu::UnicodeString input = toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
  if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
  RegexMatch match;
  match.begin = utf8Offset(input, matcher->start(status));
  match.end = utf8Offset(input, matcher->end(status));
  for (int32_t g = 0; g <= matcher->groupCount(); ++g) {
    int32_t start = matcher->start(g, status);
    if (U_FAILURE(status) || start < 0) {
      match.groups.push_back(std::nullopt);
      status = U_ZERO_ERROR;
      continue;
    }
    match.groups.push_back(toUtf8(matcher->group(g, status)));
  }
  return match;
}

bool regexContains(std::string_view pattern, std::string_view text) {
  return regexFind(pattern, text).has_value();
}

std::string regexReplaceAll(std::string_view pattern, std::string_view text, std::string_view replacement) {
  icu::RegexPattern* compiled = compiledPattern(pattern);
  if (!compiled) return std::string(text);
  icu::UnicodeString input = toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
  if (U_FAILURE(status)) return std::string(text);
  icu::UnicodeString out = matcher->replaceAll(toUnicode(replacement), status);
  if (U_FAILURE(status)) return std::string(text);
  return toUtf8(out);
}

std::string trimmed(std::string_view text) {
  icu::UnicodeString u = toUnicode(text);
  int32_t start = 0;
  int32_t end = u.length();
  while (start < end && u_isUWhiteSpace(u.char32At(start))) start += U16_LENGTH(u.char32At(start));
  while (end > start) {
    int32_t prev = u.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(u.char32At(prev))) break;
    end = prev;
  }
  return toUtf8(u.tempSubStringBetween(start, end));
}

std::string collapseWhitespace(std::string_view text) {
  return regexReplaceAll("(?s)\\s{2,}", text, " ");
}

std::vector<std::string> splitNonAlphanumeric(std::string_view text) {
  icu::UnicodeString u = toUnicode(text);
  std::vector<std::string> pieces;
  icu::UnicodeString current;
  for (int32_t i = 0; i < u.length();) {
    UChar32 c = u.char32At(i);
    if (isAlnum(c)) {
      current.append(c);
    } else if (!current.isEmpty()) {
      pieces.push_back(toUtf8(current));
      current.remove();
    }
    i += U16_LENGTH(c);
  }
  if (!current.isEmpty()) pieces.push_back(toUtf8(current));
  return pieces;
}

std::vector<std::string> splitWhitespace(std::string_view text) {
  icu::UnicodeString u = toUnicode(text);
  std::vector<std::string> pieces;
  icu::UnicodeString current;
  for (int32_t i = 0; i < u.length();) {
    UChar32 c = u.char32At(i);
    if (u_isUWhiteSpace(c)) {
      if (!current.isEmpty()) pieces.push_back(toUtf8(current));
      current.remove();
    } else {
      current.append(c);
    }
    i += U16_LENGTH(c);
  }
  if (!current.isEmpty()) pieces.push_back(toUtf8(current));
  return pieces;
}

std::string replaceAll(std::string_view text, std::string_view needle, std::string_view replacement) {
  if (needle.empty()) return std::string(text);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(needle, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + needle.size();
  }
  out.append(text.substr(pos));
  return out;
}

namespace {

// Byte-level boundary test; multi-byte UTF-8 characters count as word characters.
bool isWordByte(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 0x80 || (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

size_t findBounded(std::string_view text, std::string_view phrase, size_t from) {
  if (phrase.empty()) return std::string_view::npos;
  while (true) {
    size_t hit = text.find(phrase, from);
    if (hit == std::string_view::npos) return hit;
    bool leftOk = hit == 0 || !isWordByte(text[hit - 1]) || !isWordByte(phrase.front());
    size_t after = hit + phrase.size();
    bool rightOk = after == text.size() || !isWordByte(text[after]) || !isWordByte(phrase.back());
    if (leftOk && rightOk) return hit;
    from = hit + 1;
  }
}

}  // namespace

bool containsPhrase(std::string_view text, std::string_view phrase) {
  return findBounded(text, phrase, 0) != std::string_view::npos;
}

std::string removePhrase(std::string_view text, std::string_view phrase) {
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = findBounded(text, phrase, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.push_back(' ');
    pos = hit + phrase.size();
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace pallix::intelligence
