// Why a result matched: name spans on text with combining marks, CJK and
// emoji; passages cut on grapheme boundaries with the query's words
// highlighted; byte and UTF-16 offsets of every run naming the same text;
// the reason a file row shows, alone and with a passage after it.
#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>
#include <set>

#include "app/search/FileMatchReason.h"
#include "app/search/MatchReason.h"
#include "app/search/TextFolding.h"

namespace pallix {
namespace {

std::string at(const std::string& text, const TextSpan& span) {
  return text.substr(span.byteStart, span.byteLength);
}

// The byte offsets of the grapheme boundaries of `text`, as ICU finds them.
std::set<size_t> graphemeBoundaries(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  const icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
  it->setText(units);
  std::set<size_t> out;
  for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next()) {
    std::string prefix;
    units.tempSubString(0, b).toUTF8String(prefix);
    out.insert(prefix.size());
  }
  return out;
}

size_t graphemeCount(const std::string& text) {
  return graphemeBoundaries(text).size() - 1;
}

// The UTF-16 offsets of a span name the same characters as its bytes.
void expectOffsetsAgree(const std::string& text, const std::vector<TextSpan>& spans) {
  const icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
  for (const TextSpan& span : spans) {
    std::string prefix, inside;
    units.tempSubString(0, static_cast<int32_t>(span.utf16Start)).toUTF8String(prefix);
    units.tempSubString(static_cast<int32_t>(span.utf16Start), static_cast<int32_t>(span.utf16Length))
        .toUTF8String(inside);
    EXPECT_EQ(prefix.size(), span.byteStart) << text;
    EXPECT_EQ(inside, at(text, span)) << text;
  }
}

IndexedItem file(const std::string& path, const std::string& name, const std::string& extension) {
  IndexedItem item;
  item.path = path;
  item.name = name;
  item.searchName = foldForSearch(name);
  item.fileExtension = extension;
  return item;
}

TEST(MatchReasonTest, NameSpansCoverWholeGraphemesOfCombiningCjkAndEmojiNames) {
  struct Case {
    std::string name;
    std::string query;
    std::string highlighted;
  };
  const Case cases[] = {
      // "e" plus a combining acute: the accent belongs to the span.
      {"Cafe\u0301 menu.pdf", "cafe", "Cafe\u0301"},
      {"Cafe\u0301 menu.pdf", "e menu", "e\u0301 menu"},
      {"R\u00E9sum\u00E9 2024.pdf", "resume", "R\u00E9sum\u00E9"},
      {"\u5831\u544A\u66F82024.pdf", "\u544A\u66F8", "\u544A\u66F8"},
      {"\U0001F389 party plan.txt", "party", "party"},
      // A family (three people joined by zero-width joiners) is one grapheme.
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467 plan.txt", "plan", "plan"},
      {"\uAC00\uB098\uB2E4 \uD55C\uAE00.txt", "\uD55C\uAE00", "\uD55C\uAE00"},
      // Folding may change the length: "ß" folds to "ss".
      {"Stra\u00DFe 12.txt", "strasse", "Stra\u00DFe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<ByteRange> found = findFolded(c.name, foldForSearch(c.query));
    ASSERT_TRUE(found);
    const std::vector<TextSpan> spans = textSpans(c.name, {*found});
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(at(c.name, spans[0]), c.highlighted);
    expectOffsetsAgree(c.name, spans);
    const std::set<size_t> boundaries = graphemeBoundaries(c.name);
    EXPECT_TRUE(boundaries.count(found->start) && boundaries.count(found->end));
  }
  EXPECT_FALSE(findFolded("notes.txt", foldForSearch("budget")));
}

TEST(MatchReasonTest, Utf16OffsetsCountSurrogatePairsAndBytesCountUtf8) {
  const std::string text = "\U0001F389\U0001F468\u200D\U0001F469 caf\u00E9 \u6771\u4EAC";
  const std::vector<TextSpan> spans =
      textSpans(text, {{text.find("caf"), text.find(" \u6771")}, {text.rfind("\u4EAC"), text.size()}});
  ASSERT_EQ(spans.size(), 2u);
  // 🎉 is two UTF-16 units and four bytes; the family 2 + 1 + 2 units.
  EXPECT_EQ(spans[0].utf16Start, 2u + 5u + 1u);
  EXPECT_EQ(spans[0].utf16Length, 4u);
  EXPECT_EQ(spans[0].byteLength, 5u);
  EXPECT_EQ(spans[1].utf16Length, 1u);
  EXPECT_EQ(spans[1].byteLength, 3u);
  expectOffsetsAgree(text, spans);
  // Overlapping runs merge; empty and out-of-range ones go.
  const std::vector<TextSpan> merged = textSpans("abcdef", {{3, 5}, {1, 4}, {2, 2}, {5, 99}});
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].byteStart, 1u);
  EXPECT_EQ(merged[0].byteLength, 5u);
}

TEST(MatchReasonTest, PassageIsTheSentenceHoldingTheMostQueryWordsWithThemHighlighted) {
  const std::string chunk =
      "Minutes of the March meeting.\n\nThe garden budget was approved after a long debate about tomatoes. "
      "Next meeting in April.";
  const MatchReason reason = passageReason(chunk, "the garden budget");
  EXPECT_EQ(reason.kind, MatchReason::Kind::passage);
  EXPECT_EQ(reason.text, "The garden budget was approved after a long debate about tomatoes.");
  std::vector<std::string> highlighted;
  for (const TextSpan& span : reason.highlights) highlighted.push_back(at(reason.text, span));
  // "the" is too common to say anything.
  EXPECT_EQ(highlighted, (std::vector<std::string>{"garden", "budget"}));
  expectOffsetsAgree(reason.text, reason.highlights);

  // Words match at word starts only, and case and accents fold.
  const MatchReason folded = passageReason("Regarding the G\u00C4RDEN: gardening tips.", "garden");
  ASSERT_EQ(folded.highlights.size(), 2u);
  EXPECT_EQ(at(folded.text, folded.highlights[0]), "G\u00C4RDEN");
  EXPECT_EQ(at(folded.text, folded.highlights[1]), "garden");
  // No word found: the first sentence, nothing highlighted.
  const MatchReason none = passageReason("First line here. Second line.", "zebra");
  EXPECT_EQ(none.text, "First line here.");
  EXPECT_TRUE(none.highlights.empty());
  EXPECT_TRUE(passageReason(" \n\t ", "garden").empty());
}

TEST(MatchReasonTest, LongSentencesAreCutOnGraphemeBoundariesAroundTheFirstWordFound) {
  // One sentence of about 400 graphemes mixing combining marks, CJK and
  // joined emoji, the word far into it.
  std::string filler;
  for (int i = 0; i < 30; ++i) filler += "e\u0301\u6771\U0001F468\u200D\U0001F469\u200D\U0001F467 ab ";
  const std::string sentence = filler + "the orchard plan " + filler + "end";
  const MatchReason reason = passageReason("Intro. " + sentence + ". Outro.", "orchard");
  ASSERT_FALSE(reason.empty());
  EXPECT_LE(graphemeCount(reason.text), kPassageLimit);
  EXPECT_GE(graphemeCount(reason.text), kPassageLimit - 2);
  const std::string ellipsis = "\u2026";
  ASSERT_EQ(reason.text.rfind(ellipsis, 0), 0u);
  ASSERT_EQ(reason.text.compare(reason.text.size() - ellipsis.size(), ellipsis.size(), ellipsis), 0);
  const std::string inner = reason.text.substr(ellipsis.size(), reason.text.size() - 2 * ellipsis.size());
  const size_t start = sentence.find(inner);
  ASSERT_NE(start, std::string::npos);
  const std::set<size_t> boundaries = graphemeBoundaries(sentence);
  EXPECT_TRUE(boundaries.count(start) && boundaries.count(start + inner.size()));
  ASSERT_EQ(reason.highlights.size(), 1u);
  EXPECT_EQ(at(reason.text, reason.highlights[0]), "orchard");
  expectOffsetsAgree(reason.text, reason.highlights);

  // Near the sentence's start the cut is at its end only.
  const MatchReason early = passageReason("orchard " + filler + filler, "orchard");
  EXPECT_EQ(early.text.rfind("orchard", 0), 0u);
  EXPECT_LE(graphemeCount(early.text), kPassageLimit);
}

TEST(MatchReasonTest, PassageWordsDropPunctuationCommonWordsAndSingleLetters) {
  EXPECT_EQ(passageWords("How do I fix the \"Wi-Fi\" driver? x"), (std::vector<std::string>{"fix", "wi-fi", "driver"}));
  // An ideograph is a word of its own.
  EXPECT_EQ(passageWords("\u6771 \u6771"), (std::vector<std::string>{"\u6771"}));
}

TEST(MatchReasonTest, FileReasonsSayNameSpanFolderAndFilters) {
  const IndexedItem report = file("/home/u/work/Quarterly/Report Q3.pdf", "Report Q3", "pdf");
  const MatchReason name =
      fileMatchReason(report, QueryParser::parse("port ext:pdf,docx modified:week size:>1mb"), "/home/u");
  EXPECT_EQ(name.kind, MatchReason::Kind::name);
  EXPECT_EQ(name.text, "Report Q3.pdf \u00B7 pdf \u00B7 modified this week \u00B7 larger than 1.0 MB");
  ASSERT_EQ(name.highlights.size(), 1u);
  EXPECT_EQ(at(name.text, name.highlights[0]), "port");

  const MatchReason folder = fileMatchReason(report, QueryParser::parse("in:quarter NOT ext:tmp"), "/home/u");
  EXPECT_EQ(folder.kind, MatchReason::Kind::folder);
  EXPECT_EQ(folder.text, "in folder ~/work/Quarterly \u00B7 not tmp");
  ASSERT_EQ(folder.highlights.size(), 1u);
  EXPECT_EQ(at(folder.text, folder.highlights[0]), "Quarter");

  const MatchReason phrase = fileMatchReason(report, QueryParser::parse("\"work/quarterly\""), "/home/u");
  EXPECT_EQ(phrase.kind, MatchReason::Kind::folder);

  const MatchReason filters = fileMatchReason(report, QueryParser::parse("type:document modified:today"), "");
  EXPECT_EQ(filters.kind, MatchReason::Kind::filters);
  EXPECT_EQ(filters.text, "document \u00B7 modified today");
  EXPECT_EQ(matchReasonKindName(filters), "filters");
}

TEST(MatchReasonTest, APatternFoundInTheNameIsHighlightedThereAndOneFoundOnlyInThePathIsSaid) {
  const IndexedItem photo = file("/home/u/Fotos 2024/Café déjà vu 07.jpg", "Café déjà vu 07", "jpg");
  // After the accents: the byte offsets are UTF-8 ones, not UTF-16 ones.
  const MatchReason inName = fileMatchReason(photo, QueryParser::parse("/vu \\d+/"), "/home/u");
  EXPECT_EQ(inName.kind, MatchReason::Kind::name);
  EXPECT_EQ(inName.text, "Café déjà vu 07.jpg");
  ASSERT_EQ(inName.highlights.size(), 1u);
  EXPECT_EQ(at(inName.text, inName.highlights[0]), "vu 07");

  const MatchReason inPath = fileMatchReason(photo, QueryParser::parse("/fotos \\d{4}/"), "/home/u");
  EXPECT_EQ(inPath.kind, MatchReason::Kind::filters);
  EXPECT_EQ(inPath.text, "matches /fotos \\d{4}/");
  EXPECT_TRUE(inPath.highlights.empty());

  const MatchReason nothing = fileMatchReason(photo, QueryParser::parse("/^/"), "/home/u");
  EXPECT_EQ(nothing.text, "matches /^/");
}

TEST(MatchReasonTest, FileRowShowsNameSpanInTitleAndTheRestBelowWithAPassageWhenFoundBothWays) {
  FileSearchResult result;
  result.item = file("/home/u/garden/plan.txt", "plan", "txt");
  result.why = fileMatchReason(result.item, QueryParser::parse("pla ext:txt"), "/home/u");
  FileRowLines lines = fileRowLines(result, "/home/u");
  EXPECT_EQ(lines.title, "plan.txt");
  ASSERT_EQ(lines.titleHighlights.size(), 1u);
  EXPECT_EQ(at(lines.title, lines.titleHighlights[0]), "pla");
  EXPECT_EQ(lines.detail, "~/garden \u00B7 txt");
  EXPECT_TRUE(lines.detailHighlights.empty());

  result.why = withPassage(result.why, passageReason("We plant tomatoes in May.", "plant tomatoes"));
  EXPECT_EQ(matchReasonKindName(result.why), "name+passage");
  EXPECT_EQ(result.why.text, "plan.txt \u00B7 txt \u00B7 We plant tomatoes in May.");
  lines = fileRowLines(result, "/home/u");
  EXPECT_EQ(lines.titleHighlights.size(), 1u);
  EXPECT_EQ(lines.detail, "~/garden \u00B7 txt \u00B7 We plant tomatoes in May.");
  ASSERT_EQ(lines.detailHighlights.size(), 2u);
  EXPECT_EQ(at(lines.detail, lines.detailHighlights[0]), "plant");
  EXPECT_EQ(at(lines.detail, lines.detailHighlights[1]), "tomatoes");
  expectOffsetsAgree(lines.detail, lines.detailHighlights);

  // Found only by its content: the passage is the second line.
  result.why = passageReason("We plant tomatoes in May.", "tomatoes");
  lines = fileRowLines(result, "/home/u");
  EXPECT_TRUE(lines.titleHighlights.empty());
  EXPECT_EQ(lines.detail, "We plant tomatoes in May.");
  // No reason: the folder.
  result.why = MatchReason();
  EXPECT_EQ(fileRowLines(result, "/home/u").detail, "~/garden");
}

}  // namespace
}  // namespace pallix
