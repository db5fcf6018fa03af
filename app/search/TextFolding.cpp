#include "app/search/TextFolding.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace pallix {

namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string foldForSearch(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString source =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (U_FAILURE(status)) {
    std::string out;
    source.foldCase().toUTF8String(out);
    return out;
  }
  icu::UnicodeString decomposed = nfd->normalize(source, status);
  icu::UnicodeString stripped;
  stripped.getBuffer(decomposed.length());
  stripped.releaseBuffer(0);
  for (int32_t i = 0; i < decomposed.length();) {
    UChar32 c = decomposed.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
    i += U16_LENGTH(c);
  }
  icu::UnicodeString composed = nfc->normalize(stripped, status);
  if (U_FAILURE(status)) composed = stripped;
  composed.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  composed.toUTF8String(out);
  return out;
}

}  // namespace pallix
