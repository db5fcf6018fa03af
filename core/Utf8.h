// UTF-8 checks on raw bytes, for text that arrives from outside (socket
// requests, file names, settings). Pure functions, thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pallix {

// The offset of the first byte of `text` that does not start or continue a
// well-formed UTF-8 character (overlong forms, surrogates and code points
// past U+10FFFF included), or npos when `text` is UTF-8.
size_t firstInvalidUtf8Offset(std::string_view text);

// `text` with each ill-formed sequence replaced by one U+FFFD (a lead byte
// with the continuation bytes it could still take, or a stray byte: the
// "maximal subpart" practice of the Unicode standard); valid text comes back
// unchanged.
std::string toValidUtf8(std::string_view text);

// `text` cut to at most `maxBytes` without splitting a UTF-8 character.
std::string_view truncateUtf8(std::string_view text, size_t maxBytes);

// The characters of UTF-8 `text`: its bytes that are not continuation bytes.
size_t utf8CharacterCount(std::string_view text);

}  // namespace pallix
