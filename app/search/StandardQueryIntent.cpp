#include "app/search/StandardQueryIntent.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <vector>

#include "core/Strings.h"

namespace pallix {
namespace {

std::string normalizedKeyword(const std::string& token) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(token);
  auto isStrippable = [](UChar32 c) {
    int8_t type = u_charType(c);
    return u_ispunct(c) || type == U_MATH_SYMBOL || type == U_CURRENCY_SYMBOL || type == U_MODIFIER_SYMBOL ||
           type == U_OTHER_SYMBOL;
  };
  int32_t start = 0, end = u.length();
  while (start < end && isStrippable(u.char32At(start))) start = u.moveIndex32(start, 1);
  while (end > start) {
    int32_t previous = u.moveIndex32(end, -1);
    if (!isStrippable(u.char32At(previous))) break;
    end = previous;
  }
  icu::UnicodeString core = u.tempSubStringBetween(start, end);
  core.toLower();
  std::string out;
  core.toUTF8String(out);
  return out;
}

}  // namespace

StandardQueryIntent StandardQueryIntent::resolve(std::string_view raw) {
  StandardQueryIntent intent;
  intent.rawQuery = std::string(raw);
  intent.trimmedQuery = std::string(trimWhitespace(raw));
  if (intent.trimmedQuery.empty()) return intent;
  std::vector<std::string> kept;
  for (const std::string& token : splitString(intent.trimmedQuery, ' ')) {
    if (token.empty()) continue;
    std::string word = normalizedKeyword(token);
    if (word == "message" || word == "messages" || word == "text" || word == "texts") {
      intent.forceMessagesPreview = true;
    } else if (word == "file" || word == "files") {
      intent.forceFilesPreview = true;
    } else {
      kept.push_back(token);
    }
  }
  intent.effectiveQuery = joinStrings(kept, " ");
  return intent;
}

}  // namespace pallix
