#include "app/search/TextFolding.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "core/DiacriticFolding.h"

namespace pallix {

std::string foldForSearch(std::string_view text) {
  if (isAsciiText(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString folded =
      withoutDiacritics(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))));
  folded.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  folded.toUTF8String(out);
  return out;
}

}  // namespace pallix
