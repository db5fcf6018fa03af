#include "app/platform/CharsetConversion.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <memory>

#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix {
namespace {

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

bool isUtf8Name(std::string_view charset) {
  std::string lower = asciiLowercase(charset);
  return lower == "utf-8" || lower == "utf8";
}

// Every byte is the code point of its value.
std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

// Strict conversion: an unmapped or truncated sequence fails the whole text
// rather than turning into substitution characters.
bool convertStrictly(std::string_view bytes, const std::string& charset, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(charset.c_str(), &status));
  if (U_FAILURE(status) || !converter) return false;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), converter.get(), status);
  if (U_FAILURE(status)) return false;
  out.clear();
  text.toUTF8String(out);
  return true;
}

ConvertedText fallBack(std::string_view bytes, bool named) {
  if (firstInvalidUtf8Offset(bytes) == std::string_view::npos) return {std::string(bytes), "UTF-8", named};
  return {latin1ToUtf8(bytes), "ISO-8859-1", named};
}

}  // namespace

ConvertedText convertToUtf8(std::string_view bytes, std::string_view charset) {
  std::string name(trimWhitespace(charset));
  if (name.empty()) return fallBack(bytes, false);
  if (isUtf8Name(name)) {
    ConvertedText text = fallBack(bytes, false);
    text.fellBack = text.readAs != "UTF-8";
    return text;
  }
  std::string out;
  if (!convertStrictly(bytes, name, out)) return fallBack(bytes, true);
  return {std::move(out), name, false};
}

}  // namespace pallix
