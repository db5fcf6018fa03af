#include <gtest/gtest.h>

#include <random>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using ::pallix::testing::resourcesDir;
using Tokens = std::vector<std::string>;

// The real 30,522-token uncased vocabulary; loaded once.
const BertTokenizer& bert() {
  static const BertTokenizer tokenizer = [] {
    auto t = BertTokenizer::load(resourcesDir() + "/bert_tokenizer_vocab.txt");
    EXPECT_TRUE(t.ok()) << (t.ok() ? "" : t.error().description());
    return std::move(t).value();
  }();
  return tokenizer;
}

std::string repeated(const std::string& word, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += word;
  return text;
}

// Ids outside the vocabulary have no token.
TEST(BertVocabularyTest, HasTheUncasedBertLayout) {
  EXPECT_EQ(bert().vocabularySize(), 30522u);
  EXPECT_EQ(bert().tokenForId(0), "[PAD]");
  EXPECT_EQ(bert().unkId(), 100);
  EXPECT_EQ(bert().tokenForId(30522), "");
  EXPECT_EQ(bert().tokenForId(-1), "");
}

// Hand-checked against the vocabulary file (ids are zero-based line numbers);
// ids are compared where given.
TEST(BertTokenizerTest, HandCheckedTokens) {
  const struct {
    std::string text;
    Tokens tokens;
    std::vector<int> ids;
  } cases[] = {// Punctuation (plain ASCII is left to the oracle test below).
               {"Hello, world!", {"hello", ",", "world", "!"}, {7592, 1010, 2088, 999}},
               // WordPiece takes the longest prefix first: "br" (no "bru"), "##ule" (no "##ulee"), "##e".
               {"brulee", {"br", "##ule", "##e"}, {7987, 9307, 2063}},
               // Accents are folded, also when decomposed (e + combining acute).
               {"Crème Brûlée", {"cr", "##eme", "br", "##ule", "##e"}, {}},
               {"ÉCOLE", {"ecole"}, {12431}},
               {"Résumé", {"resume"}, {}},
               {"naïve café", {"naive", "cafe"}, {}},
               {"cafe\u0301", {"cafe"}, {}},
               // CJK ideographs are letters kept in one run that WordPiece cuts into the vocabulary's pieces.
               {"中文", {"中", "##文"}, {1746, 30387}},
               {"中 文", {"中", "文"}, {}},
               {"中文，", {"中", "##文", "，"}, {}},
               // Whitespace.
               {"  hello\tworld\n\r\u00A0again\u2003 ", {"hello", "world", "again"}, {}},
               // Symbols without a vocabulary entry are unknown; special tokens pass through, but only in upper case.
               {"hi 😀", {"hi", "[UNK]"}, {}},
               {"😀😀", {"[UNK]", "[UNK]"}, {}},
               {"[CLS] hello [MASK] [SEP]", {"[CLS]", "hello", "[MASK]", "[SEP]"}, {}},
               {"[cls]", {"[", "cl", "##s", "]"}, {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(bert().tokenize(c.text), c.tokens) << c.text;
    if (!c.ids.empty()) {
      EXPECT_EQ(bert().convertTokensToIds(bert().tokenize(c.text)), c.ids) << c.text;
    }
  }
  EXPECT_EQ(bert().convertTokensToIds(bert().tokenize("$3.50")), (std::vector<int>{1002, 1017, 1012, 2753}));
}

// Accented capitals match plain lower case; control and format characters (U+0001, zero-width space) carry no text.
TEST(BertTokenizerTest, EquivalentSpellings) {
  const std::vector<std::pair<std::string, std::string>> pairs{
      {"ÀÉÎÕÜ", "aeiou"},       {"ÇA", "ca"},     {"ÑANDÚ", "nandu"},
      {"ÅNGSTRÖM", "angstrom"}, {"ŽĎÁR", "zdar"}, {"hel\x01lo\u200Bworld", "helloworld"}};
  for (const auto& [accented, plain] : pairs) {
    EXPECT_EQ(bert().tokenize(accented), bert().tokenize(plain)) << accented;
  }
}

TEST(BertTokenizerTest, WordLongerThan100CharactersIsUnknown) {
  EXPECT_EQ(bert().tokenize(std::string(101, 'a')), (Tokens{"[UNK]"}));
  auto hundred = bert().tokenize(std::string(100, 'a'));
  EXPECT_GT(hundred.size(), 1u);
  for (const auto& t : hundred) EXPECT_NE(t, "[UNK]");
  // Characters, not bytes: 100 two-byte letters are still one word of 100 characters.
  const std::string hundredAccented = repeated("ß", 100);
  EXPECT_NE(bert().tokenize(hundredAccented), (Tokens{"[UNK]"}));
  EXPECT_EQ(bert().tokenize(hundredAccented + "ß"), (Tokens{"[UNK]"}));
  // Only the long word becomes [UNK]; its neighbours are untouched.
  EXPECT_EQ(bert().tokenize("hello " + std::string(150, 'x') + " world"), (Tokens{"hello", "[UNK]", "world"}));
}

TEST(BertTokenizerTest, LongTextKeepsItsFirst510Tokens) {
  const std::vector<int> full = bert().buildModelTokens(repeated("hello ", 510));
  ASSERT_EQ(full.size(), 512u);
  EXPECT_EQ(full.front(), 101);
  EXPECT_EQ(full.back(), 102);
  for (size_t i = 1; i < 511; ++i) ASSERT_EQ(full[i], 7592) << i;
  // "world" is the 511th token and is cut, as is everything after it.
  EXPECT_EQ(bert().buildModelTokens(repeated("hello ", 510) + "world"), full);
  EXPECT_EQ(bert().buildModelTokens(repeated("hello ", 600)), full);
}

TEST(BertTokenizerTest, DetokenizeGluesContinuationPieces) {
  Tokens tokens = bert().tokenize("Crème brulee, naturally");
  EXPECT_EQ(bert().convertWordpieceToBasicTokenList(tokens), (Tokens{"creme", "brulee", ",", "naturally"}));
  EXPECT_EQ(bert().detokenize(tokens), "creme brulee , naturally");
}

// A vocabulary needs [UNK] and padding at id 0, takes CRLF lines, and copies
// keep their own.
TEST(BertTokenizerTest, VocabularyErrorsAndCopies) {
  EXPECT_FALSE(BertTokenizer::load("/nonexistent/vocab.txt").ok());
  auto missing = BertTokenizer::fromVocabularyText("[PAD]\n[CLS]\n[SEP]\nhello\n");
  ASSERT_TRUE(testing::failsWith(missing, "[UNK]"));
  EXPECT_FALSE(BertTokenizer::fromVocabularyText("[CLS]\n[SEP]\n[UNK]\n").ok());  // [CLS] at padding id 0
  EXPECT_FALSE(BertTokenizer::fromVocabularyText("").ok());
  auto original = BertTokenizer::fromVocabularyText("[PAD]\r\n[UNK]\r\n[CLS]\r\n[SEP]\r\nhi\r\n##s\r\n");
  ASSERT_TRUE(original.ok());
  EXPECT_EQ(original->tokenId("hi"), 4);
  BertTokenizer copy = original.value();
  BertTokenizer moved = std::move(original).value();
  EXPECT_EQ(copy.tokenize("his"), (Tokens{"hi", "##s"}));
  EXPECT_EQ(moved.tokenize("his"), (Tokens{"hi", "##s"}));
  copy = moved;
  EXPECT_EQ(copy.convertTokensToIds(copy.tokenize("hiss")), (std::vector<int>{4, 5, 5}));
}

// Oracle for ASCII text: lower-case, split off every non-alphanumeric byte,
// greedy longest-prefix WordPiece over a std::map vocabulary; a word of more
// than 100 characters or with an unmatched rest is [UNK].
Tokens asciiOracle(const std::string& text, const std::map<std::string, int>& vocab) {
  Tokens words;
  std::string word;
  for (char ch : text + " ") {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (std::isalnum(c)) {
      word += static_cast<char>(std::tolower(c));
      continue;
    }
    if (!word.empty()) words.push_back(word);
    word.clear();
    if (!std::isspace(c) && std::isprint(c)) words.push_back(std::string(1, ch));
  }
  Tokens out;
  for (const auto& w : words) {
    Tokens pieces;
    std::size_t start = 0;
    while (start < w.size() && w.size() <= 100) {
      std::size_t end = w.size();
      while (end > start && !vocab.count((start ? "##" : "") + w.substr(start, end - start))) --end;
      if (end == start) break;
      pieces.push_back((start ? "##" : "") + w.substr(start, end - start));
      start = end;
    }
    if (start < w.size()) pieces = {"[UNK]"};
    out.insert(out.end(), pieces.begin(), pieces.end());
  }
  return out;
}

TEST(BertTokenizerRandomizedTest, MatchesAsciiOracleOnRandomText) {
  std::map<std::string, int> vocab(bert().vocab.begin(), bert().vocab.end());
  std::mt19937 rng(1234);
  const std::string alphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \t\n.,;:!?'\"()-_/$%&*+=<>@#";
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 200);
  for (int trial = 0; trial < 400; ++trial) {
    std::string text;
    int n = length(rng);
    for (int i = 0; i < n; ++i) text += alphabet[pick(rng)];
    if (trial % 50 == 0) text += " " + std::string(101 + trial % 7, 'q');
    ASSERT_EQ(bert().tokenize(text), asciiOracle(text, vocab)) << "text: " << text;
  }
}

// Every row is [CLS], at most 510 known tokens, [SEP] and padding with a
// matching mask; the first trial is the empty text.
TEST(BertTokenizerRandomizedTest, ArbitraryBytesNeverBreakTheRow) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int trial = 0; trial < 300; ++trial) {
    std::string text;
    int n = trial * 7 % 900;
    for (int i = 0; i < n; ++i) text += static_cast<char>(byte(rng));
    auto tokens = bert().tokenize(text);
    for (const auto& t : tokens) ASSERT_GE(bert().tokenId(t), 0) << t;
    auto row = bert().buildModelTokens(text);
    ASSERT_EQ(row.size(), 512u);
    ASSERT_EQ(row[0], 101);
    size_t real = std::min<size_t>(tokens.size(), 510) + 2;
    ASSERT_EQ(row[real - 1], 102);
    for (size_t i = real; i < row.size(); ++i) ASSERT_EQ(row[i], 0);
    for (size_t i = 1; i + 1 < real; ++i) ASSERT_NE(row[i], 0);
    auto inputs = bert().buildModelInputsWithTypeIds(row);
    ASSERT_EQ(inputs.inputIds, std::vector<int32_t>(row.begin(), row.end()));
    ASSERT_EQ(inputs.attentionMask.size(), row.size());
    for (size_t i = 0; i < row.size(); ++i) ASSERT_EQ(inputs.attentionMask[i], i < real ? 1 : 0) << i;
    ASSERT_EQ(inputs.tokenTypeIds, std::vector<int32_t>(512, 0));
    ASSERT_TRUE(bert().buildModelInputs(row).tokenTypeIds.empty());
  }
}

}  // namespace
}  // namespace pallix
