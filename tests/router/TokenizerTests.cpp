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
    EXPECT_EQ(t.error().domain(), "PallixRouter.Tokenizer");
    EXPECT_EQ(t.error().code(), -1);
    EXPECT_EQ(t.error().description(), "Vocabulary missing special tokens");
  }
  EXPECT_FALSE(BertTokenizer::load("/nonexistent/vocab.txt").ok());
}

TEST(RouterTokenizerSplit, PunctuationAndSymbolsAreTokensOfTheirOwn) {
  EXPECT_EQ(BertTokenizer::basicSplit("what's"), (Tokens{"what", "'", "s"}));
  EXPECT_EQ(BertTokenizer::basicSplit("a+b=c, d!"), (Tokens{"a", "+", "b", "=", "c", ",", "d", "!"}));
  EXPECT_EQ(BertTokenizer::basicSplit("  tab\there\nnew  "), (Tokens{"tab", "here", "new"}));
  EXPECT_EQ(BertTokenizer::basicSplit("€5"), (Tokens{"€", "5"}));
  EXPECT_TRUE(BertTokenizer::basicSplit("").empty());
  EXPECT_TRUE(BertTokenizer::basicSplit(" \u00a0\u3000 ").empty());
}

TEST(RouterTokenizerSplit, FoldsDiacriticsAndLowercases) {
  EXPECT_EQ(BertTokenizer::basicSplit("Crème BRÛLÉE"), (Tokens{"creme", "brulee"}));
  EXPECT_EQ(BertTokenizer::basicSplit("ZÜRICH São"), (Tokens{"zurich", "sao"}));
  EXPECT_EQ(BertTokenizer::basicSplit("e\u0301t\u00e9"), (Tokens{"ete"}));  // combining and precomposed
}

TEST(RouterTokenizerSplit, OtherScalarsStayInTheWord) {
  // U+200D (format character): neither whitespace, alphanumeric, punctuation nor symbol.
  EXPECT_EQ(BertTokenizer::basicSplit("ab\u200dcd"), (Tokens{"ab\u200dcd"}));
}

TEST(RouterTokenizerWordPiece, GreedyLongestMatchWithContinuations) {
  BertTokenizer t = smallTokenizer();
  EXPECT_EQ(t.tokenize("unaffable"), (Tokens{"un", "##aff", "##able"}));
  EXPECT_EQ(t.tokenize("Playing"), (Tokens{"play", "##ing"}));
  EXPECT_EQ(t.tokenize("what's the weather?"), (Tokens{"what", "'", "s", "[UNK]", "weather", "?"}));
  EXPECT_EQ(t.tokenize("Café.pdf"), (Tokens{"cafe", ".", "pdf"}));
}

TEST(RouterTokenizerWordPiece, AWordWithoutAFullMatchIsOneUnknown) {
  BertTokenizer t = smallTokenizer();
  EXPECT_EQ(t.tokenize("zzzz"), (Tokens{"[UNK]"}));
  EXPECT_EQ(t.tokenize("playzz"), (Tokens{"[UNK]"}));  // pieces found so far are dropped
  EXPECT_EQ(t.tokenize("unaffable qqq play"), (Tokens{"un", "##aff", "##able", "[UNK]", "play"}));
}

TEST(RouterTokenizerWordPiece, MoreThanOneHundredPiecesIsOneUnknown) {
  BertTokenizer t = smallTokenizer();
  EXPECT_EQ(t.tokenize(std::string(100, 'x')).size(), 100u);
  EXPECT_EQ(t.tokenize(std::string(101, 'x')), (Tokens{"[UNK]"}));
  EXPECT_EQ(t.tokenize(std::string(5000, 'x')), (Tokens{"[UNK]"}));
}

TEST(RouterTokenizerEncode, PadsToTheFullLength) {
  BertTokenizer t = smallTokenizer();
  Encoding e = t.encode("", 128);
  ASSERT_EQ(e.inputIds.size(), 128u);
  ASSERT_EQ(e.attentionMask.size(), 128u);
  EXPECT_EQ(e.inputIds[0], 2);
  EXPECT_EQ(e.inputIds[1], 3);
  for (size_t i = 2; i < 128; ++i) {
    EXPECT_EQ(e.inputIds[i], 0);
    EXPECT_EQ(e.attentionMask[i], 0);
  }
  EXPECT_EQ(e.attentionMask[0], 1);
  EXPECT_EQ(e.attentionMask[1], 1);
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
