#include "app/calculator/CalculatorText.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace pallix::calculator {
namespace {

// Decodes the code point at `offset` and advances it; U+FFFD for invalid input.
char32_t nextCodePoint(std::string_view text, size_t& offset) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t i = static_cast<int32_t>(offset);
  const int32_t length = static_cast<int32_t>(text.size());
  UChar32 c = 0;
  U8_NEXT(bytes, i, length, c);
  offset = static_cast<size_t>(i);
  return c < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(c);
}

}  // namespace

std::vector<char32_t> decodeUtf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  size_t offset = 0;
  while (offset < text.size()) out.push_back(nextCodePoint(text, offset));
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  uint8_t buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  UBool error = false;
  U8_APPEND(buffer, length, U8_MAX_LENGTH, static_cast<UChar32>(c), error);
  if (error) return;
  out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

bool isWhitespaceOrNewline(char32_t c) {
  return u_isUWhiteSpace(static_cast<UChar32>(c)) || c == 0x85;
}

bool isLetter(char32_t c) {
  const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

bool isDecimalDigit(char32_t c) {
  return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}

std::string_view trimText(std::string_view text) {
  // Find the first and last code point that is not white space, by byte offset.
  size_t offset = 0;
  size_t begin = text.size();
  size_t end = 0;
  while (offset < text.size()) {
    const size_t start = offset;
    const char32_t c = nextCodePoint(text, offset);
    if (!isWhitespaceOrNewline(c)) {
      if (begin == text.size()) begin = start;
      end = offset;
    }
  }
  if (begin >= end) return text.substr(0, 0);
  return text.substr(begin, end - begin);
}

std::string lowercaseText(std::string_view text) {
  bool ascii = true;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  std::string out;
  if (ascii) {
    out.assign(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  unicode.toUTF8String(out);
  return out;
}

size_t codePointCount(std::string_view text) {
  size_t count = 0;
  size_t offset = 0;
  while (offset < text.size()) {
    nextCodePoint(text, offset);
    ++count;
  }
  return count;
}

}  // namespace pallix::calculator
