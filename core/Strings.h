// Small string helpers shared by every subsystem.
#pragma once

#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix {

// printf into a std::string.
std::string stringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string stringPrintfV(const char* format, va_list args);

std::string asciiLowercase(std::string_view s);
std::string_view trimWhitespace(std::string_view s);
bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
std::vector<std::string> splitString(std::string_view s, char separator);
std::string joinStrings(const std::vector<std::string>& parts, std::string_view separator);
// `text` in double quotes for a message, or in single quotes when it holds
// a double quote, and as it is when it already stands in quotes: a message
// never shows doubled quotes.
std::string inQuotes(std::string_view text);
// Appends the UTF-8 encoding of one code point.
void appendUtf8(std::string& out, char32_t codePoint);
// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF), the text a JSON writer accepts.
bool isValidUtf8(std::string_view text);
// Bytes as lower-case hexadecimal (two digits a byte), for raw bytes that
// must travel in JSON; `fromHex` gives nothing for text that is not such.
std::string toHex(std::string_view bytes);
std::optional<std::string> fromHex(std::string_view hex);

}  // namespace pallix
