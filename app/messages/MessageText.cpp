#include "app/messages/MessageText.h"

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

#include "core/Utf8.h"

namespace pallix {
namespace {

bool isAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// A grapheme iterator per thread: creating one costs far more than using it.
icu::BreakIterator* graphemeIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
}

// Calls `boundary(offset)` for each grapheme end in UTF-8 `text` until it
// returns false. Falls back to code points if ICU has no iterator.
template <typename F>
void forEachGraphemeEnd(std::string_view text, F boundary) {
  icu::BreakIterator* it = graphemeIterator();
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = it ? utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status) : nullptr;
  if (!ut || U_FAILURE(status)) {
    if (ut) utext_close(ut);
    int32_t i = 0, n = static_cast<int32_t>(text.size());
    while (i < n) {
      UChar32 c;
      U8_NEXT(text.data(), i, n, c);
      (void)c;
      if (!boundary(static_cast<size_t>(i))) return;
    }
    return;
  }
  it->setText(ut, status);
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; end = it->next()) {
    if (!boundary(static_cast<size_t>(end))) break;
  }
  // Detach the iterator from the text before the text goes away.
  it->setText(icu::UnicodeString());
  utext_close(ut);
}

// Bytes of the text unit starting at `p`: 1 for ASCII text bytes, 2 to 4 for
// a well-formed UTF-8 sequence, 0 for anything else.
size_t textUnitLength(const unsigned char* p, size_t left) {
  unsigned char b = p[0];
  if ((b >= 32 && b <= 126) || b == 9 || b == 10 || b == 13) return 1;
  auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < left && p[i] >= lo && p[i] <= hi;
  };
  if (b >= 0xC2 && b <= 0xDF) return cont(1) ? 2 : 0;
  if (b == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (b == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (b == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (b >= 0xF1 && b <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (b == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

bool hasLetterOrDigit(std::string_view text) {
  int32_t i = 0, n = static_cast<int32_t>(text.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(text.data(), i, n, c);
    if (c >= 0 && (u_isalpha(c) || u_isdigit(c))) return true;
  }
  return false;
}

struct CleanupPatterns {
  std::unique_ptr<icu::RegexPattern> internalAttribute;
  std::unique_ptr<icu::RegexPattern> leadingMarker;
  std::unique_ptr<icu::RegexPattern> attachmentIdentifier;
};

std::unique_ptr<icu::RegexPattern> compile(const char* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, parseError, status));
  if (U_FAILURE(status)) compiled.reset();
  return compiled;
}

const CleanupPatterns& cleanupPatterns() {
  static const CleanupPatterns patterns{compile(kInternalAttributePattern), compile(kLeadingMarkerPattern),
                                        compile(kAttachmentIdentifierPattern)};
  return patterns;
}

void removeMatches(const icu::RegexPattern* pattern, icu::UnicodeString& text) {
  if (!pattern) return;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
  if (U_FAILURE(status)) return;
  icu::UnicodeString replaced = matcher->replaceAll(icu::UnicodeString(), status);
  if (U_SUCCESS(status)) text = replaced;
}

}  // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  int32_t start = 0, end = static_cast<int32_t>(text.size());
  while (start < end) {
    int32_t next = start;
    UChar32 c;
    U8_NEXT(text.data(), next, end, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    start = next;
  }
  while (end > start) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(text.data(), start, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

size_t characterCount(std::string_view text) {
  if (isAscii(text)) {
    size_t count = text.size();
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '\r' && text[i + 1] == '\n') --count;
    }
    return count;
  }
  size_t count = 0;
  forEachGraphemeEnd(text, [&](size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string_view prefixCharacters(std::string_view text, size_t count) {
  if (count == 0) return text.substr(0, 0);
  if (text.size() <= count) return text;  // fewer bytes than wanted characters
  size_t end = text.size();
  size_t seen = 0;
  forEachGraphemeEnd(text, [&](size_t offset) {
    if (++seen < count) return true;
    end = offset;
    return false;
  });
  return text.substr(0, end);
}

std::optional<std::string> extractTextFromBinary(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  std::optional<std::string> best;
  size_t bestCount = 0;
  size_t i = 0;
  while (i < size) {
    size_t runStart = i;
    while (i < size) {
      size_t unit = textUnitLength(data + i, size - i);
      if (unit == 0) break;
      i += unit;
    }
    if (i > runStart) {
      std::string_view run = trimWhitespaceAndNewlines(bytes.substr(runStart, i - runStart));
      if (run.size() >= 2 && run.size() > bestCount) {  // fewer bytes cannot hold more characters
        size_t count = characterCount(run);
        if (count >= 2 && count > bestCount && hasLetterOrDigit(run)) {
          best = std::string(run);
          bestCount = count;
        }
      }
    } else {
      ++i;
    }
  }
  return best;
}

std::optional<std::string> sanitizeExtractedText(std::string_view text) {
  // Each pattern needs its literal part ("kIM", a leading "+", "at_"); text
  // with none of them only needs trimming.
  bool mayMatch = text.find("kIM") != std::string_view::npos || text.find("at_") != std::string_view::npos ||
                  (!text.empty() && text.front() == '+');
  if (!mayMatch) {
    std::string_view trimmed = trimWhitespaceAndNewlines(text);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  const CleanupPatterns& patterns = cleanupPatterns();
  removeMatches(patterns.internalAttribute.get(), u);
  removeMatches(patterns.leadingMarker.get(), u);
  removeMatches(patterns.attachmentIdentifier.get(), u);
  std::string out;
  u.toUTF8String(out);
  std::string_view trimmed = trimWhitespaceAndNewlines(out);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

}  // namespace pallix
