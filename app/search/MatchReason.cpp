#include "app/search/MatchReason.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "app/search/TextFolding.h"

namespace pallix {
namespace {

constexpr std::string_view kSeparator = " \u00B7 ";
constexpr std::string_view kEllipsis = "\u2026";

// A UTF-8 text decoded for ICU, with the byte offset of every UTF-16 unit
// (bytes that are not UTF-8 count as U+FFFD, each sequence at its own offset).
struct Decoded {
  icu::UnicodeString units;
  std::vector<size_t> byteAt;  // one per unit, then the text's length

  explicit Decoded(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
      const int32_t start = i;
      UChar32 c = 0;
      U8_NEXT(bytes, i, length, c);
      if (c < 0) c = 0xFFFD;
      units.append(c);
      while (byteAt.size() < static_cast<size_t>(units.length())) byteAt.push_back(static_cast<size_t>(start));
    }
    byteAt.push_back(text.size());
  }

  // The UTF-16 offset of a byte offset at a code point's start (or the end).
  size_t unitOf(size_t byte) const {
    return static_cast<size_t>(std::lower_bound(byteAt.begin(), byteAt.end(), byte) - byteAt.begin());
  }
};

// The boundaries (UTF-16 offsets, the first 0, the last the length) of
// `decoded` as `iterator` finds them.
std::vector<int32_t> boundaries(const Decoded& decoded, icu::BreakIterator* iterator) {
  std::vector<int32_t> out{0};
  const int32_t length = decoded.units.length();
  if (iterator) {
    iterator->setText(decoded.units);
    for (int32_t b = iterator->next(); b != icu::BreakIterator::DONE; b = iterator->next()) out.push_back(b);
  }
  if (out.back() != length) out.push_back(length);
  return out;
}

std::unique_ptr<icu::BreakIterator> characterIterator() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  return U_SUCCESS(status) ? std::move(it) : nullptr;
}

std::unique_ptr<icu::BreakIterator> sentenceIterator() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status));
  return U_SUCCESS(status) ? std::move(it) : nullptr;
}

// A text folded grapheme by grapheme, so that every byte of the folded text
// leads back to the grapheme it came from.
class FoldedText {
 public:
  explicit FoldedText(std::string_view text) : text_(text), decoded_(text) {
    auto iterator = characterIterator();
    const std::vector<int32_t> units = boundaries(decoded_, iterator.get());
    for (size_t g = 0; g + 1 < units.size(); ++g) {
      const size_t from = decoded_.byteAt[static_cast<size_t>(units[g])];
      const size_t to = decoded_.byteAt[static_cast<size_t>(units[g + 1])];
      graphemeBytes_.push_back(from);
      const std::string folded = foldForSearch(text.substr(from, to - from));
      folded_ += folded;
      graphemeOfFolded_.insert(graphemeOfFolded_.end(), folded.size(), g);
      foldedAtGrapheme_.push_back(folded_.size() - folded.size());
    }
    graphemeBytes_.push_back(text.size());
    foldedAtGrapheme_.push_back(folded_.size());
  }

  std::optional<ByteRange> find(std::string_view needle, size_t fromByte) const {
    if (needle.empty()) return std::nullopt;
    const size_t startGrapheme = graphemeAtOrAfter(fromByte);
    const size_t at = folded_.find(needle, foldedAtGrapheme_[startGrapheme]);
    if (at == std::string::npos) return std::nullopt;
    const size_t first = graphemeOfFolded_[at];
    const size_t last = graphemeOfFolded_[at + needle.size() - 1];
    return ByteRange{graphemeBytes_[first], graphemeBytes_[last + 1]};
  }

  // Whether a match at `byte` starts a word: the grapheme before it is no
  // letter or digit, or either side is written without spaces.
  bool startsWord(size_t byte) const {
    if (byte == 0) return true;
    const size_t unit = decoded_.unitOf(byte);
    const UChar32 next = decoded_.units.char32At(static_cast<int32_t>(unit));
    const UChar32 previous = decoded_.units.char32At(static_cast<int32_t>(unit) - 1);
    const bool previousInWord = (U_GET_GC_MASK(previous) & (U_GC_L_MASK | U_GC_N_MASK | U_GC_M_MASK)) != 0;
    return !previousInWord || withoutSpaces(previous) || withoutSpaces(next);
  }

 private:
  static bool withoutSpaces(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_IDEOGRAPHIC)) return true;
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(c, &status);
    return U_SUCCESS(status) && (script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA || script == USCRIPT_THAI ||
                                 script == USCRIPT_LAO || script == USCRIPT_KHMER || script == USCRIPT_MYANMAR);
  }

  size_t graphemeAtOrAfter(size_t byte) const {
    return static_cast<size_t>(std::lower_bound(graphemeBytes_.begin(), graphemeBytes_.end() - 1, byte) -
                               graphemeBytes_.begin());
  }

  std::string_view text_;
  Decoded decoded_;
  std::string folded_;
  std::vector<size_t> graphemeOfFolded_;  // per folded byte
  std::vector<size_t> graphemeBytes_;     // per grapheme its first byte, then the text's length
  std::vector<size_t> foldedAtGrapheme_;  // per grapheme its first folded byte, then the folded length
};

std::vector<ByteRange> merged(std::vector<ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) {
    return a.start != b.start ? a.start < b.start : a.end > b.end;
  });
  std::vector<ByteRange> out;
  for (const ByteRange& r : ranges) {
    if (r.end <= r.start) continue;
    if (!out.empty() && r.start <= out.back().end) {
      out.back().end = std::max(out.back().end, r.end);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string collapsedWhitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool space = false;
  for (char c : text) {
    if (isAsciiSpace(c)) {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

constexpr std::string_view kFunctionWords[] = {
    "a",    "an",   "and",   "are",  "as",   "at",   "be",    "by",   "can",  "do",    "does",  "for",
    "from", "has",  "have",  "how",  "i",    "in",   "is",    "it",   "its",  "me",    "my",    "of",
    "on",   "or",   "that",  "the",  "this", "to",   "was",   "what", "when", "where", "which", "who",
    "why",  "with", "about", "into", "you",  "your", "there", "were", "will", "would"};

}  // namespace

std::string matchReasonKindName(const MatchReason& reason) {
  std::string name;
  switch (reason.kind) {
    case MatchReason::Kind::none:
      name = "none";
      break;
    case MatchReason::Kind::name:
      name = "name";
      break;
    case MatchReason::Kind::folder:
      name = "folder";
      break;
    case MatchReason::Kind::filters:
      name = "filters";
      break;
    case MatchReason::Kind::passage:
      return "passage";
  }
  return reason.alsoPassage ? name + "+passage" : name;
}

std::vector<TextSpan> textSpans(std::string_view text, std::vector<ByteRange> ranges) {
  for (ByteRange& r : ranges) {
    r.start = std::min(r.start, text.size());
    r.end = std::min(r.end, text.size());
  }
  ranges = merged(std::move(ranges));
  std::vector<TextSpan> out;
  if (ranges.empty()) return out;
  const Decoded decoded(text);
  for (const ByteRange& r : ranges) {
    const size_t from = decoded.unitOf(r.start);
    const size_t to = decoded.unitOf(r.end);
    out.push_back({r.start, r.end - r.start, from, to - from});
  }
  return out;
}

std::vector<ByteRange> byteRanges(const std::vector<TextSpan>& spans) {
  std::vector<ByteRange> out;
  for (const TextSpan& s : spans) out.push_back({s.byteStart, s.byteStart + s.byteLength});
  return out;
}

std::optional<ByteRange> findFolded(std::string_view text, std::string_view foldedNeedle, size_t from) {
  if (foldedNeedle.empty() || from >= text.size()) return std::nullopt;
  return FoldedText(text).find(foldedNeedle, from);
}

std::vector<ByteRange> findWords(std::string_view text, const std::vector<std::string>& foldedWords) {
  std::vector<ByteRange> found;
  if (text.empty() || foldedWords.empty()) return found;
  const FoldedText folded(text);
  for (const std::string& word : foldedWords) {
    size_t from = 0;
    while (std::optional<ByteRange> at = folded.find(word, from)) {
      if (folded.startsWord(at->start)) found.push_back(*at);
      from = at->end;
    }
  }
  return merged(std::move(found));
}

std::vector<std::string> passageWords(std::string_view query) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < query.size()) {
    while (i < query.size() && isAsciiSpace(query[i])) ++i;
    size_t end = i;
    while (end < query.size() && !isAsciiSpace(query[end])) ++end;
    std::string_view word = query.substr(i, end - i);
    i = end;
    while (!word.empty() && std::ispunct(static_cast<unsigned char>(word.front()))) word.remove_prefix(1);
    while (!word.empty() && std::ispunct(static_cast<unsigned char>(word.back()))) word.remove_suffix(1);
    if (word.empty()) continue;
    std::string folded = foldForSearch(word);
    const Decoded decoded(folded);
    const bool oneLetter =
        decoded.units.countChar32() == 1 && !u_hasBinaryProperty(decoded.units.char32At(0), UCHAR_IDEOGRAPHIC);
    if (oneLetter ||
        std::find(std::begin(kFunctionWords), std::end(kFunctionWords), folded) != std::end(kFunctionWords))
      continue;
    if (std::find(words.begin(), words.end(), folded) == words.end()) words.push_back(std::move(folded));
  }
  return words;
}

MatchReason passageReason(std::string_view content, std::string_view query) {
  MatchReason reason;
  reason.kind = MatchReason::Kind::passage;
  const std::string text = collapsedWhitespace(content);
  if (text.empty()) return reason;
  const std::vector<std::string> words = passageWords(query);
  const FoldedText folded(text);
  // Per word, where it occurs (word starts only).
  std::vector<std::vector<ByteRange>> hits(words.size());
  for (size_t w = 0; w < words.size(); ++w) {
    size_t from = 0;
    while (std::optional<ByteRange> at = folded.find(words[w], from)) {
      if (folded.startsWord(at->start)) hits[w].push_back(*at);
      from = at->end;
    }
  }

  const Decoded decoded(text);
  auto sentences = sentenceIterator();
  const std::vector<int32_t> sentenceUnits = boundaries(decoded, sentences.get());
  // The best sentence: the most distinct words, then the most hits, then the first.
  size_t bestFrom = 0, bestTo = text.size();
  std::pair<size_t, size_t> bestScore{0, 0};
  bool chosen = false;
  for (size_t s = 0; s + 1 < sentenceUnits.size(); ++s) {
    const size_t from = decoded.byteAt[static_cast<size_t>(sentenceUnits[s])];
    const size_t to = decoded.byteAt[static_cast<size_t>(sentenceUnits[s + 1])];
    std::pair<size_t, size_t> score{0, 0};
    for (const auto& wordHits : hits) {
      const auto inside = std::count_if(wordHits.begin(), wordHits.end(),
                                        [&](const ByteRange& r) { return r.start >= from && r.start < to; });
      if (inside > 0) ++score.first;
      score.second += static_cast<size_t>(inside);
    }
    if (!chosen || score > bestScore) {
      bestScore = score;
      bestFrom = from;
      bestTo = to;
      chosen = true;
    }
  }
  while (bestTo > bestFrom && text[bestTo - 1] == ' ') --bestTo;

  // The sentence's graphemes, and the window of them shown.
  auto characters = characterIterator();
  const std::vector<int32_t> graphemeUnits = boundaries(decoded, characters.get());
  std::vector<size_t> graphemes;  // first bytes of the sentence's graphemes, then its end
  for (int32_t unit : graphemeUnits) {
    const size_t byte = decoded.byteAt[static_cast<size_t>(unit)];
    if (byte >= bestFrom && byte < bestTo) graphemes.push_back(byte);
  }
  graphemes.push_back(bestTo);
  const size_t count = graphemes.size() - 1;
  size_t first = 0, last = count;  // graphemes [first, last) shown
  if (count > kPassageLimit) {
    size_t anchor = 0;
    std::optional<size_t> firstHit;
    for (const auto& wordHits : hits) {
      for (const ByteRange& r : wordHits) {
        if (r.start >= bestFrom && r.start < bestTo && (!firstHit || r.start < *firstHit)) firstHit = r.start;
      }
    }
    if (firstHit) {
      anchor =
          static_cast<size_t>(std::upper_bound(graphemes.begin(), graphemes.end(), *firstHit) - graphemes.begin()) - 1;
    }
    first = anchor > kPassageLimit / 4 ? anchor - kPassageLimit / 4 : 0;
    const size_t room = kPassageLimit - (first > 0 ? 1 : 0);  // graphemes left for the text and a right ellipsis
    if (count - first <= room) {
      first = count - (kPassageLimit - 1);
      last = count;
    } else {
      last = first + room - 1;
    }
  }
  size_t from = graphemes[first], to = graphemes[last];
  while (from < to && text[from] == ' ') ++from;
  while (to > from && text[to - 1] == ' ') --to;
  const bool cutBefore = first > 0, cutAfter = last < count;

  if (cutBefore) reason.text += kEllipsis;
  const size_t shift = reason.text.size();
  reason.text += text.substr(from, to - from);
  if (cutAfter) reason.text += kEllipsis;
  std::vector<ByteRange> shown;
  for (const auto& wordHits : hits) {
    for (const ByteRange& r : wordHits) {
      const size_t start = std::max(r.start, from), end = std::min(r.end, to);
      if (start < end) shown.push_back({start - from + shift, end - from + shift});
    }
  }
  reason.highlights = textSpans(reason.text, std::move(shown));
  return reason;
}

void appendReasonPart(MatchReason& reason, std::string_view part, const std::vector<ByteRange>& highlights) {
  if (part.empty()) return;
  std::vector<ByteRange> ranges = byteRanges(reason.highlights);
  if (!reason.text.empty()) reason.text += kSeparator;
  const size_t shift = reason.text.size();
  reason.text += part;
  for (const ByteRange& r : highlights) ranges.push_back({r.start + shift, r.end + shift});
  reason.highlights = textSpans(reason.text, std::move(ranges));
}

MatchReason withPassage(MatchReason lexical, const MatchReason& passage) {
  if (lexical.empty() || lexical.kind == MatchReason::Kind::passage) return passage;
  if (passage.empty()) return lexical;
  appendReasonPart(lexical, passage.text, byteRanges(passage.highlights));
  lexical.alsoPassage = true;
  return lexical;
}

}  // namespace pallix
