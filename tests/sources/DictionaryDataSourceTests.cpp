// The dictionary source: which term a text asks about (the keyword, filler
// and length rules), the definition it answers, and look-ups on their own
// runner.
#include "app/sources/DictionaryDataSource.h"
#include "testing/FakeDictionaryService.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

TEST(DictionaryCandidateTest, KeywordFillerAndLengthRules) {
  const std::string fifty(50, 'a');
  struct Case {
    std::string text;
    std::optional<std::string> withoutFallback;
    std::optional<std::string> withFallback;
  };
  const std::vector<Case> cases = {
      {"define serendipity", std::nullopt, "serendipity"},
      {"def serendipity", "serendipity", "serendipity"},
      {"serendipity def", "serendipity", "serendipity"},
      {"serendipity definition", "serendipity", "serendipity"},
      {"what is the definition of serendipity?", "serendipity", "serendipity"},
      {"Déf Café", "Café", "Café"},
      {"def ice cream", "ice cream", "ice cream"},
      {"def " + fifty, std::nullopt, std::nullopt},
      {"def", std::nullopt, std::nullopt},
      {"def 42", std::nullopt, std::nullopt},
      {"what does ubiquitous mean", std::nullopt, "ubiquitous"},
      {"what's the meaning of the word sanguine", std::nullopt, "sanguine"},
      {"   ", std::nullopt, std::nullopt},
      {"definitely not", std::nullopt, "definitely not"},
  };
  DictionaryDataSource source(nullptr, nullptr, nullptr);
  for (const Case& c : cases) {
    EXPECT_EQ(source.resolveLookupCandidate(c.text, false), c.withoutFallback) << c.text;
    EXPECT_EQ(source.resolveLookupCandidate(c.text, true), c.withFallback) << c.text;
    EXPECT_EQ(source.resolvesLookupCandidate(c.text), c.withoutFallback.has_value()) << c.text;
  }
  EXPECT_TRUE(source.shouldHandle("Serendipity DEF"));
  EXPECT_FALSE(source.shouldHandle("define serendipity"));
}

// Definitions have their lines trimmed and empty ones dropped; searches look
// up on their own runner and drop cancelled answers.
TEST(DictionarySearchTest, LooksUpTrimmedDefinitionsOnItsRunnerAndDropsCancelledAnswers) {
  EXPECT_EQ(DictionaryDataSource::normalizeDefinition("  1. first \n\n\t 2. second  \n"), "1. first\n2. second");
  EXPECT_EQ(DictionaryDataSource::normalizeDefinition(" \n \n"), std::nullopt);
  VirtualTimeEnvironment env;
  auto dictionary = std::make_shared<FakeDictionaryService>(std::map<std::string, std::string>{
      {"serendipity", "1. (noun) good luck in making unexpected and fortunate discoveries"},
      {"cafe", "a coffee house"},
      {"blank", "  \n  "}});
  DictionaryDataSource source(dictionary, env.makeRunner("dictionary"), env.mainRunner());
  EXPECT_EQ(source.lookUp("Café"), (DictionaryEntry{"Café", "a coffee house"})) << "the folded form is tried too";
  EXPECT_EQ(source.lookUp("blank"), std::nullopt);
  EXPECT_EQ(source.lookUp("nothing"), std::nullopt);
  const int directLookups = dictionary->lookups;
  std::vector<std::optional<VCRDataSourceResult>> answers;
  source.performSearch("serendipity def", [&](std::optional<VCRDataSourceResult> r) { answers.push_back(r); });
  EXPECT_EQ(dictionary->lookups, directLookups) << "nothing runs on the caller's turn";
  env.runUntilIdle();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(std::get<DictionaryEntry>(*answers[0]).term, "serendipity");

  source.performSearch("def serendipity", [&](std::optional<VCRDataSourceResult> r) { answers.push_back(r); });
  source.cancelActiveQuery();
  env.runUntilIdle();
  EXPECT_EQ(answers.size(), 1u);

  source.performSearch("def zzzz", [&](std::optional<VCRDataSourceResult> r) { answers.push_back(r); });
  env.runUntilIdle();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_FALSE(answers[1]);
}

}  // namespace
}  // namespace pallix
