// From text to decision. The tokenizer: vocabulary loading, the basic split,
// WordPiece, fixed-length encoding with truncation, and the golden
// tokenisations that the training script exported with the shipped
// vocabulary. The decision rule as pure functions: the lexical shortcut's
// patterns (golden table), logits to probabilities, and selection with
// thresholds, the minConfidence floor, the maxSources cap and equality.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "PallixRouter/Decision.h"
#include "PallixRouter/RouterErrors.h"
#include "PallixRouter/RouterTokenizer.h"
#include "RouterTestSupport.h"

namespace pallix::router {
namespace {

using M = DataSource;

struct ShortcutCase {
  const char* text;
  std::vector<DataSource> matches;  // empty: the shortcut yields nothing (0 or >= 3 matches)
  size_t patternHits;               // how many patterns match
};

class ShortcutTable : public ::testing::TestWithParam<ShortcutCase> {};

TEST_P(ShortcutTable, MatchesExactlyTheExpectedPatterns) {
  const ShortcutCase& c = GetParam();
  EXPECT_EQ(Decision::lexicalMatches(c.text).size(), c.patternHits) << c.text;
  auto probabilities = Decision::lexicalShortcutProbabilities(c.text);
  if (c.matches.empty()) {
    EXPECT_FALSE(probabilities.has_value()) << c.text;
    return;
  }
  ASSERT_TRUE(probabilities.has_value()) << c.text;
  ASSERT_EQ(probabilities->size(), 6u);
  for (DataSource s : kAllRouterDataSources) {
    const bool matched = std::find(c.matches.begin(), c.matches.end(), s) != c.matches.end();
    EXPECT_DOUBLE_EQ(probabilities->at(s), matched ? 0.98 : 0.01) << c.text << " " << routerDataSourceRawValue(s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Golden, ShortcutTable,
    ::testing::Values(
        ShortcutCase{"weather tomorrow", {M::weather}, 1}, ShortcutCase{"define map", {M::maps, M::dictionary}, 2},
        ShortcutCase{"weather map of texted file", {}, 4}, ShortcutCase{"", {}, 0}, ShortcutCase{"spotify", {}, 0},
        // Case-insensitive after lowercasing; words only at boundaries.
        ShortcutCase{"WEATHER in Paris", {M::weather}, 1}, ShortcutCase{"rainbow", {}, 0},
        ShortcutCase{"snowman", {}, 0}, ShortcutCase{"uv index", {M::weather}, 1}, ShortcutCase{"synonyms", {}, 0},
        ShortcutCase{"synonym for happy", {M::dictionary}, 1},
        ShortcutCase{"how to spell necessary", {M::dictionary}, 1},
        ShortcutCase{"who is ada lovelace", {M::knowledge}, 1}, ShortcutCase{"whois", {}, 0},
        ShortcutCase{"tell me about rome", {M::knowledge}, 1},
        ShortcutCase{"what did anna say about dinner", {M::messages}, 1},
        ShortcutCase{"when was i last at the gym", {M::messages}, 1},
        ShortcutCase{"plans this weekend", {M::messages}, 1}, ShortcutCase{"did i text mom", {M::messages}, 1},
        ShortcutCase{"budget.xlsx", {M::files}, 1}, ShortcutCase{"report.p", {}, 0},
        ShortcutCase{"archive.tar.gz", {M::files}, 1}, ShortcutCase{"networking module", {M::files}, 1},
        ShortcutCase{"classy", {}, 0}, ShortcutCase{"coffee near me", {M::maps}, 1},
        ShortcutCase{"nearest atm", {M::maps}, 1}, ShortcutCase{"maps", {}, 0},
        ShortcutCase{"ev charger", {M::maps}, 1}, ShortcutCase{"what is the forecast", {M::weather, M::knowledge}, 2},
        ShortcutCase{"etymology of the word file", {M::dictionary, M::files}, 2},
        ShortcutCase{"weather near me define", {}, 3}, ShortcutCase{"Météo wind", {M::weather}, 1},
        ShortcutCase{"version 1.2.3", {}, 0}, ShortcutCase{"node.js", {M::files}, 1}));

// A temperature-scaled logistic per source (temperature 1 when missing); missing logits count as zero and extra
// ones are ignored.
TEST(Probabilities, TemperatureScaledLogisticPerSource) {
  Calib calib;
  calib.temps = {{"maps", 2.0}, {"files", 0.5}};
  auto p = Decision::probabilities({2.0, 0.0, -1.0, 3.0, 1.0, 1.0, 50.0}, calib);
  ASSERT_EQ(p.size(), 6u);
  EXPECT_NEAR(p[M::maps], 1.0 / (1.0 + std::exp(-1.0)), 1e-12);  // 2 / T=2
  EXPECT_DOUBLE_EQ(p[M::weather], 0.5);
  EXPECT_NEAR(p[M::dictionary], 1.0 / (1.0 + std::exp(1.0)), 1e-12);
  EXPECT_NEAR(p[M::knowledge], 1.0 / (1.0 + std::exp(-3.0)), 1e-12);
  EXPECT_NEAR(p[M::files], 1.0 / (1.0 + std::exp(-2.0)), 1e-12);  // 1 / T=0.5
  auto shortRow = Decision::probabilities({4.0, 4.0}, calib);
  ASSERT_EQ(shortRow.size(), 6u);
  for (DataSource s : {M::dictionary, M::knowledge, M::messages, M::files}) EXPECT_DOUBLE_EQ(shortRow[s], 0.5);
}

ProbabilityMap probs(double maps, double weather, double dictionary, double knowledge, double messages, double files) {
  return {{M::maps, maps},           {M::weather, weather},   {M::dictionary, dictionary},
          {M::knowledge, knowledge}, {M::messages, messages}, {M::files, files}};
}

// Thresholds default to one half and equality selects; calibrated thresholds apply per source; minConfidence
// raises low thresholds only; maxSources keeps the most probable; a missing probability counts as zero.
TEST(Selection, ThresholdsFloorAndCap) {
  const ProbabilityMap highs = probs(0.6, 0.7, 0.8, 0.9, 0.95, 0.99);
  const struct {
    const char* name;
    ProbabilityMap probabilities;
    std::map<std::string, double> thresholds;
    std::optional<double> minConfidence;
    std::optional<int> maxSources;
    std::set<DataSource> expected;
  } cases[] = {
      {"default threshold",
       probs(0.5, 0.4999999, 0.9, 0.0, 0.5000001, 0.1),
       {},
       {},
       {},
       {M::maps, M::dictionary, M::messages}},
      {"calibrated",
       probs(0.85, 0.2, 0.49, 0.51, 0.1, 0.35),
       {{"maps", 0.9}, {"weather", 0.2}, {"files", 0.35}},
       {},
       {},
       {M::weather, M::knowledge, M::files}},
      {"min confidence raises 0.2 and 0.5 to 0.6, keeps 0.9",
       probs(0.88, 0.59, 0.6, 0.55, 0.7, 0.0),
       {{"weather", 0.2}, {"maps", 0.9}},
       0.6,
       {},
       {M::dictionary, M::messages}},
      {"no min confidence",
       probs(0.88, 0.59, 0.6, 0.55, 0.7, 0.0),
       {{"weather", 0.2}, {"maps", 0.9}},
       0.0,
       {},
       {M::weather, M::dictionary, M::knowledge, M::messages}},
      {"max one", probs(0.7, 0.98, 0, 0, 0, 0), {}, {}, 1, {M::weather}},
      {"max two", highs, {}, {}, 2, {M::messages, M::files}},
      {"max six", highs, {}, {}, 6, {M::maps, M::weather, M::dictionary, M::knowledge, M::messages, M::files}},
      {"max zero", highs, {}, {}, 0, {}},
      {"missing probability", {{M::weather, 0.9}}, {{"maps", 0.0}}, {}, {}, {M::maps, M::weather}},
      {"none above", probs(0.1, 0.1, 0.1, 0.1, 0.1, 0.1), {}, {}, {}, {}},
      {"shortcut", *Decision::lexicalShortcutProbabilities("define map"), {}, {}, {}, {M::maps, M::dictionary}},
  };
  for (const auto& c : cases) {
    Calib calib;
    for (const auto& [label, threshold] : c.thresholds) calib.thresholds[label] = threshold;
    RouteOptions options;
    if (c.minConfidence) options.minConfidence = *c.minConfidence;
    if (c.maxSources) options.maxSources = *c.maxSources;
    EXPECT_EQ(Decision::selectedSources(c.probabilities, calib, options), c.expected) << c.name;
  }
  // With ties at the cap, one of the tied sources is kept.
  RouteOptions options;
  options.maxSources = 2;
  auto selected = Decision::selectedSources(probs(0.9, 0.8, 0.8, 0.8, 0.1, 0.1), Calib{}, options);
  ASSERT_EQ(selected.size(), 2u);
  EXPECT_TRUE(selected.count(M::maps));
  EXPECT_EQ(selected.count(M::weather) + selected.count(M::dictionary) + selected.count(M::knowledge), 1u);
}

TEST(CalibrationFile, DecodesAllFourKeys) {
  auto calib = Calib::fromJson(
      R"({"labels":["maps"],"temps":{"maps":1.5},"thresholds":{"weather":0.3},"gray_band":[0.35,0.65]})");
  ASSERT_TRUE(calib.ok()) << calib.error().description();
  EXPECT_EQ(calib->labels, std::vector<std::string>{"maps"});
  EXPECT_DOUBLE_EQ(calib->temps.at("maps"), 1.5);
  EXPECT_DOUBLE_EQ(calib->thresholds.at("weather"), 0.3);
  EXPECT_EQ(calib->grayBand.size(), 2u);
}

TEST(CalibrationFile, CorruptOrIncompleteFilesAreErrorsNamingTheCause) {
  EXPECT_TRUE(pallix::testing::failsWith(Calib::fromJson(R"({"labels":[],"temps":{},"thresholds":{}})"), "gray_band"));
  for (const char* text :
       {"{not json", "[]", R"({"labels":[],"temps":{"maps":"hot"},"thresholds":{},"gray_band":[]})", ""}) {
    EXPECT_FALSE(Calib::fromJson(text).ok()) << text;
  }
  EXPECT_FALSE(Calib::load("/nonexistent/calibration.json").ok());
}

// ---------------------------------------------------------------- the tokenizer

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

TEST(RouterTokenizerVocabulary, IdsAreLineNumbersAmongNonEmptyLinesAndTheSpecialTokensAreRequired) {
  auto t = BertTokenizer::fromText("[PAD]\n\n[UNK]\r\n[CLS]\n[SEP]\nhello\n\nworld\nhello\n");
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->vocab().at("[PAD]"), 0);
  EXPECT_EQ(t->vocab().at("[UNK]"), 1);
  EXPECT_EQ(t->vocab().at("world"), 5);
  EXPECT_EQ(t->vocab().at("hello"), 6);  // the later duplicate wins
  // A missing special token is the tokenizer's error.
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

TEST(RouterTokenizerEncode, PadsOrTruncatesToTheFullLength) {
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
  // Longer texts keep their first length - 2 tokens.
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
