// IntelligenceText: the small text toolkit the query analyzers and the
// intelligence coordinator share: POSIX-locale lowercasing, diacritic
// folding, ICU regular expressions over UTF-8 and word splitting.
//
// All functions are pure and thread-safe. Compiled patterns are cached per
// thread, since icu::RegexMatcher objects are not shareable between threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix::intelligence {

// Lowercases with the "en_US_POSIX" locale rules.
std::string lowercasePosix(std::string_view text);
// Removes diacritics (NFD, drop non-spacing marks, NFC) without changing case.
std::string foldDiacritics(std::string_view text);
// foldDiacritics then lowercasePosix: the analyzers' comparison form.
std::string foldAndLowercase(std::string_view text);

// A match of a regular expression: byte offsets into the UTF-8 text.
struct RegexMatch {
  size_t begin = 0;
  size_t end = 0;
  std::vector<std::optional<std::string>> groups;  // groups[0] is the whole match
};

// ICU syntax, case-sensitive. An invalid pattern never matches.
bool regexContains(std::string_view pattern, std::string_view text);
std::optional<RegexMatch> regexFind(std::string_view pattern, std::string_view text);
std::string regexReplaceAll(std::string_view pattern, std::string_view text, std::string_view replacement);
bool regexIsValid(std::string_view pattern);

// Trims ASCII and Unicode whitespace (including newlines) at both ends.
std::string trimmed(std::string_view text);
// Runs of two or more whitespace characters become one space.
std::string collapseWhitespace(std::string_view text);
// Pieces between characters that are not letters or digits; empty pieces dropped.
std::vector<std::string> splitNonAlphanumeric(std::string_view text);
// Pieces between whitespace; empty pieces dropped.
std::vector<std::string> splitWhitespace(std::string_view text);
// Replaces every occurrence of `needle` (plain text) with `replacement`.
std::string replaceAll(std::string_view text, std::string_view needle, std::string_view replacement);
// True when `phrase` occurs in `text` bounded by non-alphanumerics or the ends.
bool containsPhrase(std::string_view text, std::string_view phrase);
// Removes every bounded occurrence of `phrase`, leaving a space in its place.
std::string removePhrase(std::string_view text, std::string_view phrase);

}  // namespace pallix::intelligence
