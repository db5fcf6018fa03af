// CalculatorText: the small UTF-8 helpers the calculator's pre-test,
// evaluator and conversion parser share.
//
// Every helper is a pure function, safe from any thread. Malformed UTF-8 never
// crashes: an invalid byte sequence decodes as U+FFFD, which is neither a
// letter nor one of the calculator's characters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pallix::calculator {

// The code points of `text`; invalid sequences become U+FFFD.
std::vector<char32_t> decodeUtf8(std::string_view text);
// Appends the UTF-8 encoding of `c` to `out`.
void appendUtf8(std::string& out, char32_t c);

// White space and line breaks in the Unicode sense (Zs, Zl, Zp, tab, CR, LF, ...).
bool isWhitespaceOrNewline(char32_t c);
// Letters in the Unicode sense (general categories L* and M*).
bool isLetter(char32_t c);
// Decimal digits in the Unicode sense (general category Nd).
bool isDecimalDigit(char32_t c);

// `text` without leading and trailing white space and line breaks.
std::string_view trimText(std::string_view text);
// Unicode full lowercase of `text` (locale-independent).
std::string lowercaseText(std::string_view text);
// Number of code points in `text`.
size_t codePointCount(std::string_view text);

}  // namespace pallix::calculator
