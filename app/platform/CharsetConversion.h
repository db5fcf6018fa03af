// CharsetConversion: text in a named character set, as UTF-8, through ICU's
// converters. Used for the CHARSET parameter of vCard properties, which
// phones and older mail programs set to Shift_JIS, ISO-8859-1, windows-1252,
// Big5 and others. Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace pallix {

struct ConvertedText {
  std::string utf8;  // always well-formed UTF-8
  // The character set the bytes were read as: `charset` when it is known and
  // the bytes are text in it, else "UTF-8" or "ISO-8859-1".
  std::string readAs;
  bool fellBack = false;  // a named charset was unknown or did not fit the bytes
};

// `bytes` in `charset` (any name or alias ICU knows, case ignored). An empty
// or unknown name, or bytes that are not text in that set, fall back to
// UTF-8 when the bytes are well-formed UTF-8, and to ISO-8859-1 (every byte
// is a character) otherwise, so no raw bytes ever come through.
ConvertedText convertToUtf8(std::string_view bytes, std::string_view charset);

}  // namespace pallix
