#include <gtest/gtest.h>

#include "app/clipboard/ClipboardCapture.h"

namespace pallix {
namespace {

std::vector<ClipboardRepresentation> reps(const PasteboardItem& item) {
  return extractRepresentations(item);
}

// Long text is kept whole but displayed short (500 code points).
TEST(ClipboardCaptureTest, PrimaryTextPrefersPlainTextThenRtfThenHtmlAndIsShortened) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += i % 2 ? "é" : "a";
  ASSERT_EQ(reps({{{kPlainTextUtf8Type, text}}}).at(0).data, text);
  ASSERT_EQ(truncateCodePoints(text, 500).size(), 750u);
  struct Case {
    const char* name;
    PasteboardItem item;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"plain first", {{{"text/html", "<b>bold</b>"}, {"UTF8_STRING", "  plain \n"}}}, "plain"},
      {"empty plain skipped", {{{"text/plain", "   "}, {"text/plain;charset=utf-8", "second"}}}, "second"},
      {"rtf before html",
       {{{"text/html", "<p>html</p>"}, {"text/rtf", "{\\rtf1{\\fonttbl{\\f0 Arial;}}\\f0 Caf\\'e9 \\u8364?\\par}"}}},
       "Café €"},
      {"html entities", {{{"text/html", "<style>x{}</style><p>a &amp; b&#33;</p>"}}}, "a & b!"},
      {"image only", {{{"image/png", "\x89PNG"}}}, std::nullopt},
      {"long text", {{{kPlainTextUtf8Type, text}}}, truncateCodePoints(text, 500)},
  };
  for (const Case& c : cases) EXPECT_EQ(derivePrimaryText(reps(c.item)), c.expected) << c.name;
}

TEST(ClipboardCaptureTest, LinksAreDetectedAndValidated) {
  struct Case {
    std::string text;
    std::optional<std::string> link;
  };
  const Case cases[] = {
      {"see https://example.com/a?b=1.", "https://example.com/a?b=1"},
      {"(www.example.org/path)", "http://www.example.org/path"},
      {"https://en.wikipedia.org/wiki/Foo_(bar)", "https://en.wikipedia.org/wiki/Foo_(bar)"},
      {"ftp://example.com/file", std::nullopt},
      {"javascript:alert(1)", std::nullopt},
      {"http://nodot/", std::nullopt},
      {"http://localhost:8080/x", "http://localhost:8080/x"},
      {"plain words", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(detectLink(c.text), c.link) << c.text;
  // A URL representation wins over the text.
  auto r = reps({{{"text/uri-list", "# comment\r\nhttps://a.example/x\r\n"}, {"UTF8_STRING", "https://b.example"}}});
  EXPECT_EQ(deriveURL(r, derivePrimaryText(r)), "https://a.example/x");
}

TEST(ClipboardCaptureTest, ContentKindFirstMatchWins) {
  struct Case {
    const char* name;
    PasteboardItem item;
    ClipboardContentKind kind;
  };
  const Case cases[] = {
      {"link beats image", {{{"image/png", "x"}, {"UTF8_STRING", "https://example.com"}}}, ClipboardContentKind::link},
      {"image", {{{"image/png", "x"}}}, ClipboardContentKind::image},
      {"files", {{{"text/uri-list", "file:///home/a.txt\n"}}}, ClipboardContentKind::file},
      {"rich", {{{"text/html", "<i>x</i>"}}}, ClipboardContentKind::richText},
      {"text", {{{"STRING", "x"}}}, ClipboardContentKind::text},
      {"unknown", {{{"application/x-thing", "x"}}}, ClipboardContentKind::unknown},
  };
  for (const Case& c : cases) {
    auto r = reps(c.item);
    auto primary = derivePrimaryText(r);
    EXPECT_EQ(determineContentKind(r, deriveURL(r, primary), primary), c.kind) << c.name;
  }
}

TEST(ClipboardCaptureTest, HashIsDeterministicAndSkipsTheEmojiMarker) {
  PasteboardItem a{{{"text/html", "<b>x</b>"}, {"UTF8_STRING", "x"}}};
  PasteboardItem b{{{"UTF8_STRING", "x"}, {"text/html", "<b>x</b>"}, {kEmojiMarkerType, ""}}};
  EXPECT_EQ(reps(b).size(), 2u);
  EXPECT_TRUE(reps({{{"UTF8_STRING", ""}}}).empty());
  EXPECT_EQ(computeHash(reps(a)), computeHash(reps(b)));
  EXPECT_NE(computeHash(reps(a)), computeHash(reps({{{"text/html", "<b>y</b>"}, {"UTF8_STRING", "x"}}})));
  // Bytes moving between two types change the hash.
  EXPECT_NE(computeHash(reps({{{"a", "xy"}, {"b", "z"}}})), computeHash(reps({{{"a", "x"}, {"b", "yz"}}})));
  EXPECT_EQ(computeHash({}), std::nullopt);
  EXPECT_EQ(computeHash(reps(a))->size(), 64u);
}

}  // namespace
}  // namespace pallix
