// The words people type for emoji: CLDR annotation files read (and their
// malformed lines skipped), added to the catalog, and everyday words finding
// the emoji people mean among the first three.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/emoji/EmojiAnnotations.h"
#include "app/emoji/EmojiEntryCatalog.h"
#include "app/emoji/EmojiSearchService.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

TEST(EmojiAnnotationsTest, ReadsAnnotationsAndSkipsNamesForSpeechAndBrokenLines) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8" ?>
<ldml><annotations>
  <annotation cp="🎉">celebration | Party | popper | tada</annotation>
  <annotation cp="🎉" type="tts">party popper</annotation>
  <annotation cp="❤️">heart | love &amp; care</annotation>
  <annotation cp="&lt;">less-than sign</annotation>
  <annotation cp="😀">face | grin
  <annotation cp="💯">100 | hundred</annotation>
  <annotation cp="x">unterminated
</annotations></ldml>)";
  EmojiAnnotations annotations = parseEmojiAnnotations(xml);
  EXPECT_EQ(annotations["🎉"], (std::vector<std::string>{"celebration", "party", "popper", "tada"}));
  EXPECT_EQ(annotations["❤"], (std::vector<std::string>{"heart", "love & care"})) << "keyed without U+FE0F";
  EXPECT_EQ(annotations["<"], std::vector<std::string>{"less-than sign"});
  EXPECT_EQ(annotations["💯"], (std::vector<std::string>{"100", "hundred"}));
  EXPECT_EQ(annotations.count("x"), 0u);
  EXPECT_TRUE(parseEmojiAnnotations("").empty());
  EXPECT_TRUE(parseEmojiAnnotations("<annotation cp=\"").empty());
}

TEST(EmojiAnnotationsTest, TheUsersLanguageIsReadAfterEnglish) {
  testing::TempDir dir;
  dir.write("en.xml", "<annotation cp=\"🐱\">cat | pet</annotation>");
  dir.write("de.xml", "<annotation cp=\"🐱\">Katze | Haustier | pet</annotation>");
  const char* saved = std::getenv("LANG");
  const std::string before = saved ? saved : "";
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::setenv("LANG", "de_CH.UTF-8", 1);
  const std::vector<std::string> files = emojiAnnotationFiles(dir.path());
  saved ? ::setenv("LANG", before.c_str(), 1) : ::unsetenv("LANG");
  ASSERT_EQ(files, (std::vector<std::string>{dir.path() + "/en.xml", dir.path() + "/de.xml"}));
  std::vector<EmojiEntry> entries(1);
  entries[0].baseCharacter = "🐱";
  addEmojiAnnotations(entries, files);
  EXPECT_EQ(entries[0].annotations, (std::vector<std::string>{"cat", "pet", "katze", "haustier"}));
  addEmojiAnnotations(entries, {dir.path() + "/missing.xml"});
  EXPECT_EQ(entries[0].annotations.size(), 4u);
}

// Words people type every day, each with the emoji they mean: it must be
// among the first three.
TEST(EmojiAnnotationsTest, EverydayWordsFindTheEmojiPeopleMean) {
  const auto files = emojiAnnotationFiles(emojiAnnotationsDirectory());
  if (files.empty()) GTEST_SKIP() << "no CLDR annotations (Debian package unicode-cldr-core)";
  std::vector<EmojiEntry> catalog = EmojiEntryCatalog::loadCatalog(EmojiEntryCatalog::resourcePath()).value();
  addEmojiAnnotations(catalog, {emojiAnnotationsDirectory() + "/en.xml"});
  EmojiSearchService service([&] { return catalog; });
  const std::pair<const char*, const char*> everyday[] = {
      {"smile", "😃😄😁😊🙂😀"},
      {"heart", "❤"},
      {"100", "💯"},
      {"tada", "🎉"},
      {"poop", "💩"},
      {"party", "🎉🥳"},
      {"laugh", "😂🤣😆"},
      {"fire", "🔥"},
      {"thumbs up", "👍"},
      {"cry", "😢😭"},
      {"love", "❤😍🥰"},
      {"ok", "👌🆗"},
      {"sad", "😢😞☹🙁"},
      {"cat", "🐱🐈"},
      {"pizza", "🍕"},
      {"star", "⭐🌟"},
      {"sun", "☀🌞"},
      {"rocket", "🚀"},
      {"clap", "👏"},
      {"wave", "👋🌊"},
  };
  for (const auto& [word, meant] : everyday) {
    auto found = service.search(word, {}, std::nullopt, 3);
    const bool ok = std::any_of(found.begin(), found.end(), [&](const EmojiSearchMatch& m) {
      return std::string(meant).find(withoutPresentationSelector(m.entry.baseCharacter)) != std::string::npos;
    });
    std::string shown;
    for (const auto& m : found) shown += m.entry.character + " ";
    EXPECT_TRUE(ok) << word << " gave " << shown;
  }
}

}  // namespace
}  // namespace pallix
