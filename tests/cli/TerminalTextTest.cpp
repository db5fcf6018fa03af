// Escaping of outside text for the terminal, display widths, and the parent
// folders that tell equal names apart.
#include <gtest/gtest.h>

#include <random>

#include "core/Strings.h"
#include "core/TerminalText.h"

namespace pallix {
namespace {

TEST(TerminalTextTest, EscapesWhatATerminalWouldActOn) {
  struct Case {
    std::string raw, shown;
  };
  const Case cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"evil\x1b]0;title\x07.txt", "evil\\e]0;title\\a.txt"},
      {"row\rover", "row\\rover"},
      {"split\nline", "split\\nline"},
      {"tab\tbs\b ff\f vt\v nul" + std::string(1, '\0'), "tab\\tbs\\b ff\\f vt\\v nul\\x00"},
      {"del\x7f us\x1f", "del\\x7f us\\x1f"},
      {"csi\xc2\x9b"
       "31m",
       "csi\\u{9b}31m"},
      {"bidi\xe2\x80\xae"
       "txt.exe",
       "bidi\\u{202e}txt.exe"},
      {"sep\xe2\x80\xa8", "sep\\u{2028}"},
      {"bad\xff"
       "byte",
       "bad\\xffbyte"},
      {"cut\xe6\x97", "cut\\xe6\\x97"},
      {"overlong\xc0\xaf", "overlong\\xc0\\xaf"},
      {"back\\slash", "back\\slash"},
      {"日本語 café e\xcc\x81 😀", "日本語 café e\xcc\x81 😀"},
  };
  for (const Case& c : cases) EXPECT_EQ(escapeForTerminal(c.raw), c.shown) << c.shown;
}

// Whatever the bytes, the escaped text holds no control character and is UTF-8.
TEST(TerminalTextTest, EscapedRandomBytesAreInertUtf8) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string raw(rng() % 24, '\0');
    for (char& c : raw) c = static_cast<char>(rng() % 256);
    const std::string shown = escapeForTerminal(raw);
    for (unsigned char c : shown) ASSERT_TRUE(c >= 0x20 && c != 0x7f) << shown;
    EXPECT_EQ(escapeForTerminal(shown), shown);  // Already safe text stays as it is.
    EXPECT_EQ(shown.find("\xc2\x80"), std::string::npos);
  }
}

TEST(TerminalTextTest, WidthCountsColumnsNotBytes) {
  struct Case {
    std::string text;
    int width;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"日本語", 6},
      {"ｆｕｌｌ", 8},
      {"e\xcc\x81", 1},
      {"a\xe2\x80\x8b"
       "b",
       2},
      {"😀", 2},
      {"한\xe1\x85\xa1", 2},
      {"\xd7\x90\xd6\xb8", 1},
      {"x\xe2\x83\x9d", 1},
      {"soft\xc2\xad", 5},
      {"\xff", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(displayWidth(c.text), c.width) << c.text;
}

TEST(TerminalTextTest, PadAndTruncateByWidth) {
  EXPECT_EQ(padToDisplayWidth("日本", 6), "日本  ");
  EXPECT_EQ(padToDisplayWidth("toolong", 3), "toolong");
  EXPECT_EQ(truncateToDisplayWidth("日本語です", 6), "日本~");  // A wide character never half-shown.
  EXPECT_EQ(truncateToDisplayWidth("abcdef", 4), "abc~");
  EXPECT_EQ(truncateToDisplayWidth("abc", 3), "abc");
  EXPECT_EQ(truncateToDisplayWidth("e\xcc\x81"
                                   "xyz",
                                   2),
            "e\xcc\x81~");  // The mark stays with its letter.
  EXPECT_EQ(truncateToDisplayWidth("abc", 0), "");
  for (int width = 1; width < 12; ++width) {
    EXPECT_LE(displayWidth(truncateToDisplayWidth("日本語のファイル名.txt", width)), width);
  }
}

TEST(TerminalTextTest, ParentsTellEqualNamesApart) {
  struct Case {
    std::vector<std::string> paths;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {{"/h/a/notes.txt", "/h/b/notes.txt", "/h/b/other.txt"}, {"a", "b", ""}},
      {{"/h/x/src/main.c", "/h/y/src/main.c"}, {"x/src", "y/src"}},
      {{"/x/f", "/a/x/f"}, {"/x", "a/x"}},
      {{"/f", "/d/f"}, {"/", "d"}},
      {{"/p/q/r/f", "/p/s/r/f", "/t/f"}, {"q/r", "s/r", "t"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names;
    for (const auto& p : c.paths) names.push_back(p.substr(p.rfind('/') + 1));
    EXPECT_EQ(distinguishingParents(names, c.paths), c.labels) << joinStrings(c.paths, " ");
  }
}

// Random trees: every label is a suffix of its path's parent, and two
// entries of one name never get the same label.
TEST(TerminalTextTest, RandomPathsGetUniqueSuffixLabels) {
  std::mt19937 rng(11);
  const char* parts[] = {"a", "b", "src", "docs"};
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> paths;
    while (paths.size() < 6) {
      std::string path;
      for (int depth = static_cast<int>(rng() % 4); depth >= 0; --depth) path += std::string("/") + parts[rng() % 4];
      path += "/notes";
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    }
    const std::vector<std::string> names(paths.size(), "notes");
    const auto labels = distinguishingParents(names, paths);
    for (size_t i = 0; i < paths.size(); ++i) {
      const std::string parent = paths[i].substr(0, paths[i].rfind('/'));
      const std::string label = labels[i] == "/" ? "" : labels[i];
      ASSERT_TRUE(endsWith(parent.empty() ? "/" : parent, label)) << paths[i] << " " << labels[i];
      for (size_t j = 0; j < i; ++j) ASSERT_NE(labels[i], labels[j]) << paths[i] << " " << paths[j];
    }
  }
}

TEST(TerminalTextTest, QuotesAreNeverDoubled) {
  EXPECT_EQ(inQuotes("/x"), "\"/x\"");
  EXPECT_EQ(inQuotes("\"/x\""), "\"/x\"");
  EXPECT_EQ(inQuotes("'/x'"), "'/x'");
  EXPECT_EQ(inQuotes("say \"hi\" now"), "'say \"hi\" now'");
  EXPECT_EQ(inQuotes("it's \"x"), "\"it's \\\"x\"");
  EXPECT_EQ(inQuotes(""), "\"\"");
}

}  // namespace
}  // namespace pallix
