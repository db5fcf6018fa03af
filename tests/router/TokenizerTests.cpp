// The router tokenizer: vocabulary loading, the basic split, WordPiece,
// fixed-length encoding with truncation, and the golden tokenisations that
// the training script exported with the shipped vocabulary.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "PallixRouter/RouterErrors.h"
#include "PallixRouter/RouterTokenizer.h"
#include "RouterTestSupport.h"

namespace pallix::router {
namespace {

using testing::readAll;
using testing::routerResourcesPath;
using testing::testDataPath;
using Tokens = std::vector<std::string>;

BertTokenizer smallTokenizer() {
  auto t = BertTokenizer::fromText(
      "[PAD]\n[UNK]\n[CLS]\n[SEP]\nwhat\n'\ns\nun\n##aff\n##able\nplay\n##ing\nweather\n?\ncafe\n.\npdf\nx\n##x\n");
  EXPECT_TRUE(t.ok());
  return std::move(t).value();
}

TEST(RouterTokenizerVocabulary, IdsAreLineNumbersAmongNonEmptyLinesAndDuplicatesOverwrite) {
  auto t = BertTokenizer::fromText("[PAD]\n\n[UNK]\r\n[CLS]\n[SEP]\nhello\n\nworld\nhello\n");
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->vocab().at("[PAD]"), 0);
  EXPECT_EQ(t->vocab().at("[UNK]"), 1);
  EXPECT_EQ(t->vocab().at("world"), 5);
  EXPECT_EQ(t->vocab().at("hello"), 6);  // the later duplicate wins
}

TEST(RouterTokenizerVocabulary, MissingSpecialTokenIsTheTokenizerError) {
  for (const char* text : {"[PAD]\n[UNK]\n[CLS]\n", "[UNK]\n[CLS]\n[SEP]\n", "", "[pad]\n[unk]\n[cls]\n[sep]\n"}) {
    auto t = BertTokenizer::fromText(text);
    ASSERT_FALSE(t.ok()) << text;
    EXPECT_EQ(t.error(), missingSpecialTokensError());
  }
  EXPECT_FALSE(BertTokenizer::load("/nonexistent/vocab.txt").ok());
}

// What the golden tokenisations below leave out: spaces beyond ASCII, combining marks folded like precomposed
// letters, other scalars such as U+200D (a format character) kept in the word; a word without a full match is one
// unknown (the pieces found so far are dropped), and so is one of more than one hundred pieces.
TEST(RouterTokenizerSplit, SplitsFoldsAndFindsPieces) {
  const std::pair<const char*, Tokens> splits[] = {
      {"€5", {"€", "5"}},
      {" \u00a0\u3000 ", {}},
      {"e\u0301t\u00e9", {"ete"}},
      {"ab\u200dcd", {"ab\u200dcd"}},
  };
  for (const auto& [text, tokens] : splits) EXPECT_EQ(BertTokenizer::basicSplit(text), tokens) << text;
  BertTokenizer t = smallTokenizer();
  EXPECT_EQ(t.tokenize("unaffable Playing"), (Tokens{"un", "##aff", "##able", "play", "##ing"}));
  EXPECT_EQ(t.tokenize("playzz qqq play"), (Tokens{"[UNK]", "[UNK]", "play"}));
  EXPECT_EQ(t.tokenize(std::string(100, 'x')).size(), 100u);
  EXPECT_EQ(t.tokenize(std::string(101, 'x')), (Tokens{"[UNK]"}));
}

TEST(RouterTokenizerEncode, PadsToTheFullLength) {
  BertTokenizer t = smallTokenizer();
  std::vector<int32_t> ids(128, 0), mask(128, 0);
  ids[0] = 2;
  ids[1] = 3;
  mask[0] = mask[1] = 1;
  EXPECT_EQ(t.encode("", 128).inputIds, ids);
  EXPECT_EQ(t.encode("", 128).attentionMask, mask);
  Encoding w = t.encode("weather qqq", 6);
  EXPECT_EQ(w.inputIds, (std::vector<int32_t>{2, 12, 1, 3, 0, 0}));
  EXPECT_EQ(w.attentionMask, (std::vector<int32_t>{1, 1, 1, 1, 0, 0}));
}

TEST(RouterTokenizerEncode, TruncatesToTheFirstLengthMinusTwoTokens) {
  BertTokenizer t = smallTokenizer();
  std::string text;
  for (int i = 0; i < 200; ++i) text += (i == 125 ? "play " : i == 126 ? "cafe " : "weather ");
  Encoding e = t.encode(text, 128);
  ASSERT_EQ(e.inputIds.size(), 128u);
  EXPECT_EQ(e.inputIds[0], 2);
  EXPECT_EQ(e.inputIds[126], 10);  // token 125 ("play") is the last kept
  EXPECT_EQ(e.inputIds[127], 3);   // then [SEP]; "cafe" was cut
  for (int32_t m : e.attentionMask) EXPECT_EQ(m, 1);
  Encoding tiny = t.encode("weather weather", 2);
  EXPECT_EQ(tiny.inputIds, (std::vector<int32_t>{2, 3}));
}

TEST(RouterTokenizerGolden, MatchesTheTrainingScriptWithTheShippedVocabulary) {
  auto t = BertTokenizer::load(routerResourcesPath() + "/vocab.txt");
  ASSERT_TRUE(t.ok()) << t.error().description();
  auto golden = nlohmann::json::parse(readAll(testDataPath("tokenizer_golden.json")));
  ASSERT_GE(golden.size(), 10u);
  for (const auto& c : golden) {
    EXPECT_EQ(t->tokenize(c.at("text").get<std::string>()), c.at("tokens").get<Tokens>()) << c.at("text");
  }
}

TEST(RouterTokenizerFuzz, RandomBytesNeverCrashAndAlwaysEncodeToTheFullLength) {
  BertTokenizer t = smallTokenizer();
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    std::string text(rng() % 64, '\0');
    for (auto& c : text) c = static_cast<char>(rng() % 256);
    Encoding e = t.encode(text, 16);
    ASSERT_EQ(e.inputIds.size(), 16u);
    ASSERT_EQ(e.attentionMask.size(), 16u);
    EXPECT_EQ(e.inputIds[0], 2);
  }
}

}  // namespace
}  // namespace pallix::router
