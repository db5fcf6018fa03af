// Diacritic folding, shared by the tokenizers and the text matchers: the text
// decomposed (NFD), its non-spacing marks dropped, and recomposed (NFC), so
// that "Élan" becomes "Elan" while Hangul and other precomposed letters
// without diacritics come back unchanged. Case is left alone: each caller
// applies its own rule (root-locale lower case for the tokenizers, POSIX lower
// case for the analyzers, full case folding for the catalog).
//
// Thread-safe (ICU's normalizer instances are immutable).
#pragma once

#include <unicode/unistr.h>

#include <string>
#include <string_view>

namespace pallix {

// When ICU cannot normalise, the text comes back as it was; when only
// recomposing fails, without its marks but decomposed.
icu::UnicodeString withoutDiacritics(const icu::UnicodeString& text);
// The same over UTF-8; ASCII text is returned as it is without calling ICU.
std::string withoutDiacritics(std::string_view utf8);

bool isAsciiText(std::string_view text);

}  // namespace pallix
