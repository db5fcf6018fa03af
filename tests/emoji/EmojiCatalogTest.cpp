#include <gtest/gtest.h>

#include <algorithm>

#include "app/emoji/EmojiEntryCatalog.h"
#include "app/emoji/EmojiSearchService.h"
#include "core/Telemetry.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

const std::vector<EmojiEntry>& bundled() {
  static const std::vector<EmojiEntry> catalog =
      EmojiEntryCatalog::loadCatalog(EmojiEntryCatalog::resourcePath()).value();
  return catalog;
}

const EmojiEntry& entryNamed(const std::string& name) {
  const auto& catalog = bundled();
  return *std::find_if(catalog.begin(), catalog.end(), [&](const EmojiEntry& e) { return e.shortName == name; });
}

TEST(EmojiCatalogTest, BundledCatalogGroupsToneVariantsUnderTheirBase) {
  ASSERT_GT(bundled().size(), 1800u);
  const EmojiEntry& wave = entryNamed("waving hand");
  EXPECT_EQ(wave.id, "👋");
  EXPECT_EQ(wave.category, "People & Body");
  EXPECT_EQ(wave.subcategory, "hand-fingers-open");
  ASSERT_EQ(wave.skinToneVariants.size(), 5u);
  EXPECT_EQ(wave.skinToneVariants.at(EmojiSkinTone::medium), "👋🏽");
  for (const char* keyword : {"waving hand", "waving", "hand", "people & body", "people", "body", "1f44b", "👋"}) {
    EXPECT_TRUE(std::binary_search(wave.keywords.begin(), wave.keywords.end(), keyword)) << keyword;
  }
  // No entry is a tone variant in its own right.
  EXPECT_TRUE(std::none_of(bundled().begin(), bundled().end(),
                           [](const EmojiEntry& e) { return e.shortName.find("skin tone") != std::string::npos; }));
}

TEST(EmojiCatalogTest, MissingOrEmptyResourceFallsBackToTheBuiltInList) {
  testing::TempDir dir;
  const std::string empty = dir.write("empty/Emojis.json", R"({"emojis":[]})");
  const std::string broken = dir.write("broken/Emojis.json", "{");
  const std::pair<std::string, const char*> cases[] = {{dir / "missing/Emojis.json", "could not be found"},
                                                       {empty, "did not contain any emoji entries"},
                                                       {broken, "could not be decoded"}};
  for (const auto& [path, reason] : cases) {
    EXPECT_TRUE(testing::failsWith(EmojiEntryCatalog::loadCatalog(path), reason)) << path;
    ScopedTelemetryRecorder telemetry;
    EXPECT_EQ(EmojiEntryCatalog::loadOrFallback(path), EmojiEntryCatalog::fallbackCatalog());
    EXPECT_EQ(telemetry.sink().count("EmojiEntryCatalog.loadFailed"), 1u);
  }
  EmojiSearchService service([] { return EmojiEntryCatalog::fallbackCatalog(); });
  EXPECT_EQ(service.search("thumbs up", {}, EmojiSkinTone::dark, 1).at(0).entry.character, "👍🏿");
}

class EmojiSearchTest : public ::testing::Test {
 protected:
  EmojiSearchService service{[] { return bundled(); }};
  std::vector<EmojiSearchMatch> search(const std::string& q, const std::vector<std::string>& recents = {},
                                       std::optional<EmojiSkinTone> tone = std::nullopt) {
    return service.search(q, recents, tone);
  }
  int scoreOf(const std::vector<EmojiSearchMatch>& matches, const std::string& id) {
    for (const auto& m : matches) {
      if (m.entry.id == id) return m.score;
    }
    return -1;
  }
};

TEST_F(EmojiSearchTest, EachTokenAddsSoBothWordsRankAboveOne) {
  auto matches = search("red heart");
  ASSERT_FALSE(matches.empty());
  EXPECT_EQ(matches[0].entry.shortName, "red heart");
  EXPECT_GT(scoreOf(matches, entryNamed("red apple").id), 0);
  EXPECT_GT(scoreOf(matches, entryNamed("heart on fire").id), 0);
  EXPECT_GT(matches[0].score, scoreOf(matches, entryNamed("broken heart").id));
  for (size_t i = 1; i < matches.size(); ++i) EXPECT_GE(matches[i - 1].score, matches[i].score);
}

// One word: inside the name 200 + 60; per keyword, at its start 150 + 40, inside it 75 + 40.
TEST_F(EmojiSearchTest, OneWordScoresByWhereItMatchesTheNameAndEachKeyword) {
  const EmojiEntry& wave = entryNamed("waving hand");
  int expected = 200 + 60;
  for (const std::string& keyword : wave.keywords) {
    const size_t at = keyword.find("hand");
    if (at != std::string::npos) expected += (at == 0 ? 150 : 75) + 40;
  }
  EXPECT_EQ(scoreOf(search("hand"), wave.id), expected);
}

TEST_F(EmojiSearchTest, RecentPicksScoreByPosition) {
  std::vector<std::string> recents;
  for (const char* name : {"fire", "rocket", "thumbs up"}) recents.push_back(entryNamed(name).id);
  auto defaults = service.search("", recents, std::nullopt, 5);
  ASSERT_EQ(defaults.size(), 5u);
  EXPECT_EQ(defaults[0].score, 300);
  EXPECT_EQ(defaults[1].score, 295);
  EXPECT_TRUE(defaults[2].isRecent);
  EXPECT_FALSE(defaults[3].isRecent);
  EXPECT_EQ(defaults[3].entry, bundled()[0]);
  // A matching recent gains 200 - 5p; the 41st gains nothing but is marked.
  const std::string rocket = entryNamed("rocket").id;
  const int plain = scoreOf(search("rocket"), rocket);
  EXPECT_EQ(scoreOf(search("rocket", {rocket}), rocket), plain + 200);
  std::vector<std::string> long_(40, "x");
  long_.push_back(rocket);
  auto late = search("rocket", long_);
  EXPECT_EQ(scoreOf(late, rocket), plain);
  EXPECT_TRUE(late[0].isRecent);
}

// A tone-modified emoji finds its base entry; a preferred tone changes only entries that have it.
TEST_F(EmojiSearchTest, TonesMatchTheirBaseAndThePreferredOneChangesOnlyEntriesThatHaveIt) {
  auto toned = search("👋🏾");
  ASSERT_FALSE(toned.empty());
  EXPECT_EQ(toned[0].entry.id, "👋");
  EXPECT_GE(toned[0].score, 500);
  auto matches = search("wav", {}, EmojiSkinTone::medium);
  EXPECT_EQ(matches[0].entry.character, "👋🏽");
  auto rockets = search("rocket", {}, EmojiSkinTone::medium);
  EXPECT_EQ(rockets[0].entry.character, "🚀");
  EXPECT_EQ(service.search("face", {}, std::nullopt, 3).size(), 3u);
  EXPECT_TRUE(search("zzzzqq").empty());
}

}  // namespace
}  // namespace pallix
