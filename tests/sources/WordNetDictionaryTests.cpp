// The WordNet dictionary as Debian installs it (wordnet-base), through the
// dictionary source's look-up.
#include <gtest/gtest.h>

#include "app/platform/linux/WordNetDictionary.h"
#include "app/sources/DictionaryDataSource.h"

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

}  // namespace
}  // namespace pallix
