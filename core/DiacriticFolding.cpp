#include "core/DiacriticFolding.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

namespace pallix {

bool isAsciiText(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

icu::UnicodeString withoutDiacritics(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return text;
  icu::UnicodeString decomposed = nfd->normalize(text, status);
  if (U_FAILURE(status)) return text;
  icu::UnicodeString stripped;
  stripped.getBuffer(decomposed.length());
  stripped.releaseBuffer(0);
  for (int32_t i = 0; i < decomposed.length();) {
    UChar32 c = decomposed.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
    i += U16_LENGTH(c);
  }
  icu::UnicodeString composed = nfc->normalize(stripped, status);
  return U_FAILURE(status) ? stripped : composed;
}

std::string withoutDiacritics(std::string_view utf8) {
  if (isAsciiText(utf8)) return std::string(utf8);
  std::string out;
  withoutDiacritics(icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size()))))
      .toUTF8String(out);
  return out;
}

}  // namespace pallix
