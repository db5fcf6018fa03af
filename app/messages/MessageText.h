// MessageText: the text rules every message feature shares: extraction of
// text from the archived rich-text column, clean-up of extracted text,
// trimming, and counting characters as a person sees them (grapheme
// clusters, so "e" plus a combining accent is one).
//
// The archived column holds an archive of an attributed string. There is no
// keyed unarchiver on Linux, so extraction is the byte scan: the longest run
// of text bytes that says something. Pure functions, safe on any bytes and
// from any thread; this file depends on ICU only, so the fuzz target can
// build it alone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pallix {

// Removes leading and trailing Unicode white space and line ends.
std::string_view trimWhitespaceAndNewlines(std::string_view text);
// Grapheme clusters in UTF-8 `text` (ASCII without "\r\n" counts its bytes).
size_t characterCount(std::string_view text);
// The first `count` grapheme clusters of `text`.
std::string_view prefixCharacters(std::string_view text, size_t count);

// The longest run of text bytes (32-126, tab, line feed, carriage return and
// well-formed UTF-8 sequences), trimmed, that has at least 2 characters and a
// letter or digit. nullopt when no run qualifies.
std::optional<std::string> extractTextFromBinary(std::string_view bytes);

// Removes the archive's internal attribute names ("__kIMMessagePartAttributeName"),
// a leading "+" marker pair ("+:", "+=", "+5"), and attachment identifiers
// ("at_0_" plus a UUID), then trims. nullopt when nothing is left.
std::optional<std::string> sanitizeExtractedText(std::string_view text);

// The clean-up patterns, as written (without the literal's slashes).
inline constexpr const char* kInternalAttributePattern = "__?kIM[A-Za-z]+";
inline constexpr const char* kLeadingMarkerPattern = "^\\+[=:0-9]";
inline constexpr const char* kAttachmentIdentifierPattern =
    "\\)?at_\\d+_[A-Fa-f0-9]{8}-[A-Fa-f0-9]{4}-[A-Fa-f0-9]{4}-[A-Fa-f0-9]{4}-[A-Fa-f0-9]{12}";

}  // namespace pallix
