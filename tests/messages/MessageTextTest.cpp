// The shared text rules: the byte scan of archived bodies (named cases, the
// archive layout Messages writes, and random bytes), the clean-up patterns,
// trimming and character counts.
#include <gtest/gtest.h>

#include <random>

#include "app/messages/MessageText.h"
#include "tests/messages/ArchivedTextInvariants.h"

namespace pallix {
namespace {

using namespace std::string_literals;

// An attributed string as Messages archives it (NSArchiver "streamtyped"):
// class names around the text, whose byte length is written before it.
std::string streamtypedBody(const std::string& text) {
  std::string length;
  if (text.size() < 0x80) {
    length = std::string(1, static_cast<char>(text.size()));
  } else {
    length = "\x81"s + static_cast<char>(text.size() & 0xFF) + static_cast<char>(text.size() >> 8);
  }
  return "\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject\x00\x85"
         "\x92\x84\x84\x84\x08NSString\x01\x94\x84\x01+"s +
         length + text +
         "\x86\x84\x02iI\x01\x05\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d"
         "__kIMMessagePartAttributeName\x86\x92\x84\x84\x84\x08NSNumber\x00\x86\x86"s;
}

std::optional<std::string> extractAndClean(const std::string& bytes) {
  auto run = extractTextFromBinary(bytes);
  return run ? sanitizeExtractedText(*run) : std::nullopt;
}

TEST(ArchivedTextTest, ByteScanKeepsTheLongestRunThatSaysSomething) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"longest run wins",
       "\x00"s
       "ab\x00hello there\x01hi",
       "hello there"},
      {"a run needs a letter or digit", "\x00!!!!!!!!!!\x02ok"s, "ok"},
      {"one character is not enough",
       "\x00"
       "a\x00\xff"s,
       std::nullopt},
      {"runs are trimmed", "\x00   spaced out \n\x00"s, "spaced out"},
      {"tab, CR and LF stay inside", "\x00line one\r\n\tline two\x00"s, "line one\r\n\tline two"},
      {"UTF-8 sequences are text",
       "\x00"
       "caf\xc3\xa9 ol\xc3\xa9\x00"s,
       "caf\xc3\xa9 ol\xc3\xa9"},
      {"a broken sequence ends a run", "abc\xc3(defg", "(defg"},
      {"a surrogate is not text", "abcd\xed\xa0\x80xyz", "abcd"},
      {"DEL ends a run",
       "abc\x7f"
       "defgh",
       "defgh"},
      {"characters, not bytes, decide",
       "\x00\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\x00"
       "abcde"s,
       "abcde"},
      {"a combining accent is part of its letter",
       "e\xcc\x81"
       "e\xcc\x81"
       "e\xcc\x81\x00"
       "abcd"s,
       "abcd"},
      {"no bytes", "", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(extractTextFromBinary(c.bytes), c.expected) << c.name;
}

TEST(ArchivedTextTest, ArchivesOfMessagesYieldTheirTextWhenItOutrunsTheClassNames) {
  const std::string longText(150, 'x');
  const std::string fifty = "Can you send me the lease for the move meeting??";  // 48 bytes: length byte '0'
  const std::string forty = "The budget looks good to me, ship it!!!";           // 39 bytes: length byte '\''
  EXPECT_EQ(extractAndClean(streamtypedBody(longText)), longText);
  // The length byte after the "+" marker is a digit here: the leading-marker pattern removes the pair.
  EXPECT_EQ(extractAndClean(streamtypedBody(fifty)), fifty);
  // Another printable length byte stays in front of the text.
  EXPECT_EQ(extractAndClean(streamtypedBody(forty)), "+'" + forty);
  // Shorter texts lose to the archive's own attribute name, which the clean-up then removes.
  EXPECT_EQ(extractAndClean(streamtypedBody("See you soon")), std::nullopt);
}

TEST(ArchivedTextTest, CleanUpRemovesArchiveArtifactsInOrder) {
  struct Case {
    const char* input;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"__kIMMessagePartAttributeName", std::nullopt},
      {"hello _kIMFileTransferGUIDAttributeName world", "hello  world"},
      {"+:hello", "hello"},
      {"+=x y", "x y"},
      {"+5 apples", "apples"},
      {"a +:b stays", "a +:b stays"},
      {"++:not a marker", "++:not a marker"},
      {"__kIMBaseWritingDirection+:after", "after"},  // attributes go first, then the anchored marker
      {"at_0_0123ABCD-0000-1111-2222-333344445555 photo", "photo"},
      {"look )at_12_0123abcd-0000-1111-2222-333344445555", "look"},
      {"at_0_0123ABCD-0000-1111-2222-33334444555 kept", "at_0_0123ABCD-0000-1111-2222-33334444555 kept"},
      {" \n\t ", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(sanitizeExtractedText(c.input), c.expected) << c.input;
}

TEST(MessageTextTest, TrimsCountsAndCutsByCharacter) {
  EXPECT_EQ(trimWhitespaceAndNewlines("\u2003 hi\u00a0there \n\u2029"), "hi\u00a0there");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n "), "");
  EXPECT_EQ(characterCount("a\r\nb"), 3u);
  EXPECT_EQ(characterCount("e\xcc\x81t\xc3\xa9"), 3u);
  EXPECT_EQ(characterCount("👍🏽ok"), 3u);
  EXPECT_EQ(prefixCharacters("👍🏽ok", 1), "👍🏽");
  EXPECT_EQ(prefixCharacters("abc", 5), "abc");
  EXPECT_EQ(prefixCharacters("abc", 0), "");
}

TEST(ArchivedTextTest, RandomBytesKeepTheInvariants) {
  std::mt19937 rng(20260101);
  const std::vector<std::string> pieces = {"\xc3\xa9",
                                           "\xe6\x97\xa5",
                                           "\xf0\x9f\x91\x8d",
                                           "\xcc\x81",
                                           "\r\n",
                                           "__kIMMessagePartAttributeName",
                                           "+:",
                                           "\xc3",
                                           "\xed\xa0\x80",
                                           "at_0_0123ABCD-0000-1111-2222-333344445555",
                                           "NSString",
                                           " "};
  for (int i = 0; i < 20000; ++i) {
    std::string bytes;
    int length = static_cast<int>(rng() % 300);
    for (int j = 0; j < length; ++j) {
      switch (rng() % 4) {
        case 0:
          bytes.push_back(static_cast<char>(rng() % 256));
          break;
        case 1:
          bytes.push_back(static_cast<char>(32 + rng() % 95));
          break;
        default:
          bytes += pieces[rng() % pieces.size()];
      }
    }
    std::string failure = testing::checkArchivedTextInvariants(bytes);
    ASSERT_EQ(failure, "") << "input of " << bytes.size() << " bytes, case " << i;
  }
}

}  // namespace
}  // namespace pallix
