// The WordNet dictionary as Debian installs it (wordnet-base), through the
// dictionary source's look-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "app/platform/linux/WordNetDictionary.h"
#include "app/sources/DictionaryDataSource.h"
#include "testing/TestProcess.h"

namespace pallix {
namespace {

TEST(WordNetDictionaryTest, DefinesWordsPhrasesAndInflectedForms) {
  auto wordnet = std::make_shared<WordNetDictionary>();
  if (!wordnet->isAvailable()) GTEST_SKIP() << "WordNet data is not installed (Debian package wordnet-base)";
  DictionaryDataSource source(wordnet, nullptr, nullptr);
  auto serendipity = source.lookUp("Serendipity");
  ASSERT_TRUE(serendipity);
  EXPECT_EQ(serendipity->term, "Serendipity");
  EXPECT_EQ(serendipity->definition.rfind("1. (noun) ", 0), 0u) << serendipity->definition;
  auto cats = source.lookUp("cats");
  ASSERT_TRUE(cats) << "found through its base form";
  EXPECT_NE(cats->definition.find("feline"), std::string::npos);
  auto phrase = source.lookUp("ice cream");
  ASSERT_TRUE(phrase);
  EXPECT_NE(phrase->definition.find("dessert"), std::string::npos);
  size_t lines = 1;
  for (char c : wordnet->definition("run").value_or("")) lines += c == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(WordNetDictionary::kMaxSenses));
}

// WordNet's own overview (`wn WORD -over`, Debian package wordnet) as the
// reference: every sense it lists for these words is listed here too, with
// its part of speech and its gloss word for word.
struct Sense {
  std::string pos;
  std::string gloss;
  friend bool operator<(const Sense& a, const Sense& b) { return std::tie(a.pos, a.gloss) < std::tie(b.pos, b.gloss); }
  friend bool operator==(const Sense&, const Sense&) = default;
};

// "Overview of noun tooth" sections with lines "1. (38) tooth -- (gloss; "example")".
std::set<Sense> overviewSenses(const std::string& out) {
  std::set<Sense> senses;
  std::string pos;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Overview of ", 0) == 0) {
      pos = line.substr(12, line.find(' ', 12) - 12);
      if (pos == "adj") pos = "adjective";
      if (pos == "adv") pos = "adverb";
      continue;
    }
    const size_t dash = line.find(" -- (");
    if (dash == std::string::npos || line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
    std::string gloss = line.substr(dash + 5);
    if (!gloss.empty() && gloss.back() == ')') gloss.pop_back();
    if (size_t examples = gloss.find("; \""); examples != std::string::npos) gloss.resize(examples);
    senses.insert({pos, gloss});
  }
  return senses;
}

// "1. (noun) gloss" and "2. (noun, tooth) gloss".
std::set<Sense> ourSenses(const std::string& definition) {
  std::set<Sense> senses;
  std::istringstream lines(definition);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find(". (");
    const size_t close = line.find(") ", open);
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string label = line.substr(open + 3, close - open - 3);
    senses.insert({label.substr(0, label.find(',')), line.substr(close + 2)});
  }
  return senses;
}

TEST(WordNetDictionaryTest, ListsWhatWordNetsOwnToolShows) {
  auto wordnet = std::make_shared<WordNetDictionary>();
  if (!wordnet->isAvailable()) GTEST_SKIP() << "WordNet data is not installed (Debian package wordnet-base)";
  if (!std::filesystem::exists("/usr/bin/wn")) GTEST_SKIP() << "WordNet's wn is not installed (Debian package wordnet)";
  // Inflections with entries of their own, exceptions, detachment rules, a
  // gloss opening with its domain in parentheses, and other spellings.
  for (const char* word : {"teeth", "lying", "axes", "lookup", "end run", "look up", "geese", "mice", "wolves", "ran",
                           "better", "serendipity", "physics"}) {
    std::string query = word;
    std::replace(query.begin(), query.end(), ' ', '_');
    auto wn = testing::runProcess({"/usr/bin/wn", query, "-over"}, {}, std::chrono::seconds(20));
    const std::set<Sense> expected = overviewSenses(wn.out);
    ASSERT_FALSE(expected.empty()) << word << "\n" << wn.out << wn.err;
    const auto definition = wordnet->definition(word);
    ASSERT_TRUE(definition) << word;
    const std::set<Sense> ours = ourSenses(*definition);
    if (expected.size() <= static_cast<size_t>(WordNetDictionary::kMaxSenses)) {
      EXPECT_EQ(ours, expected) << word << "\n" << *definition << "\n---- wn:\n" << wn.out;
    } else {
      EXPECT_EQ(ours.size(), static_cast<size_t>(WordNetDictionary::kMaxSenses)) << word;
      for (const Sense& s : ours) EXPECT_TRUE(expected.count(s)) << word << ": " << s.pos << " " << s.gloss;
    }
  }
  auto teeth = wordnet->definition("teeth");
  ASSERT_TRUE(teeth);
  EXPECT_NE(teeth->find("(noun, tooth) hard bonelike structures"), std::string::npos) << *teeth;
  auto endRun = wordnet->definition("end run");
  ASSERT_TRUE(endRun);
  EXPECT_NE(endRun->find("(noun) (American football) "), std::string::npos) << *endRun;
}

}  // namespace
}  // namespace pallix
