// MatchReason: why a result matched, as the panel and the commands show it:
// a short text and the runs of it to highlight. The builders are pure
// functions over UTF-8 text (ICU folds and finds grapheme and sentence
// boundaries) and may run on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix {

// A run of a text in UTF-8 bytes (the commands, JSON readers in C) and in
// UTF-16 code units (Qt, JavaScript). Runs start and end on grapheme
// boundaries.
struct TextSpan {
  size_t byteStart = 0;
  size_t byteLength = 0;
  size_t utf16Start = 0;
  size_t utf16Length = 0;
  friend bool operator==(const TextSpan&, const TextSpan&) = default;
};

// A half-open range of bytes of a UTF-8 text.
struct ByteRange {
  size_t start = 0;
  size_t end = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

struct MatchReason {
  // name: the words are in the name (the text starts with it); folder: in a
  // folder of the path; filters: only filters matched; passage: a passage of
  // the content matched (semantic search, messages, clipboard).
  enum class Kind { none, name, folder, filters, passage };
  Kind kind = Kind::none;
  // Found by the content search as well: the text ends with that passage.
  bool alsoPassage = false;
  std::string text;
  std::vector<TextSpan> highlights;  // in text order, not overlapping
  size_t nameBytes = 0;              // a name reason's text starts with the name, this long

  bool empty() const { return text.empty(); }
  friend bool operator==(const MatchReason&, const MatchReason&) = default;
};

// "name", "folder", "filters", "passage"; a passage after another reason
// adds "+passage" ("name+passage").
std::string matchReasonKindName(const MatchReason& reason);

// The spans of `text` for `ranges` (any order; overlapping ones merged,
// empty ones dropped, each clamped to the text).
std::vector<TextSpan> textSpans(std::string_view text, std::vector<ByteRange> ranges);
std::vector<ByteRange> byteRanges(const std::vector<TextSpan>& spans);

// The first place at or after byte `from` where `foldedNeedle` (already
// passed through foldForSearch) occurs in `text` compared under
// foldForSearch, widened to whole graphemes: "e" finds the "é" of "café"
// written with a combining accent, all of it.
std::optional<ByteRange> findFolded(std::string_view text, std::string_view foldedNeedle, size_t from = 0);

// Every occurrence of the folded `words` in `text` that starts a word (or
// sits among ideographs, which have no spaces between words), merged.
std::vector<ByteRange> findWords(std::string_view text, const std::vector<std::string>& foldedWords);

// The words of a query worth highlighting in a passage: folded, without
// surrounding punctuation, without one-letter words and common English
// function words, each once.
std::vector<std::string> passageWords(std::string_view query);

// The most grapheme clusters a passage shows, its ellipses included.
inline constexpr size_t kPassageLimit = 160;

// The passage of `content` that best explains a match for `query`: its
// sentence holding the most of the query's words (the first sentence when
// none does), whitespace collapsed, cut on grapheme boundaries around the
// first word found when longer than kPassageLimit (an ellipsis marks each
// cut), the words highlighted. Empty when the content is blank.
MatchReason passageReason(std::string_view content, std::string_view query);

// `reason` followed by " · " and `part`, the part's highlights kept.
void appendReasonPart(MatchReason& reason, std::string_view part, const std::vector<ByteRange>& highlights = {});

// A lexical reason with the passage the content search found after it; the
// passage alone when there is no lexical reason.
MatchReason withPassage(MatchReason lexical, const MatchReason& passage);

}  // namespace pallix
