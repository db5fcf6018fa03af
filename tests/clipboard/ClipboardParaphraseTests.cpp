// Held-out paraphrases: each copied text is looked for with a query that
// says the same in other words, through the real model loader and the whole
// capture-embed-search path. The hit rate at 3 (the item among the first
// three found by meaning) and the similarities, for calibrating the
// threshold, are printed and recorded as test properties.
//
// The model is the one named by PALLIX_CLIPBOARD_EVAL_MODEL (a model
// directory: config.json, model.safetensors, vocab.txt, e.g. an installed
// bge_small_en), else the tiny random-weight test model, whose numbers say
// only that the path works: it knows no meanings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ClipboardSemanticTestSupport.h"

namespace pallix {
namespace {

using testing::SemanticClipboardFixture;

struct Paraphrase {
  const char* copied;
  const char* query;
};

// Written before any result was seen; not to be tuned against the model.
constexpr Paraphrase kParaphrases[] = {
    {"Meeting moved to Thursday 3pm in room 4B", "when is the meeting"},
    {"Your package has shipped and will arrive on Monday", "delivery date of my order"},
    {"The wifi password for the guest network is sunflower42", "internet login for visitors"},
    {"Dentist appointment on March 12 at 9:30", "tooth doctor visit"},
    {"Remember to buy milk, eggs and bread on the way home", "grocery shopping list"},
    {"Flight BA117 departs London Heathrow at 18:05", "plane leaving time"},
    {"Invoice #2231 is due by the end of the month", "bill payment deadline"},
    {"The server is down again, restarting the database fixed it last time", "how to fix the backend outage"},
    {"Happy birthday! Hope you have a wonderful day", "celebration greeting"},
    {"Our quarterly revenue grew by twelve percent", "earnings went up"},
    {"Please call me back when you get this message", "return my phone call"},
    {"The recipe needs two cups of flour and a pinch of salt", "baking ingredients"},
    {"Train to Edinburgh cancelled due to snow", "rail service stopped by bad weather"},
    {"Doctor says to take the medicine twice a day after meals", "how often should I take my pills"},
    {"Rent of 950 euros is transferred on the first of each month", "monthly apartment payment"},
    {"The kids' school closes early on Friday for a teacher training day", "children home early end of week"},
};

// Copied too, looked for by nothing.
constexpr const char* kDistractors[] = {
    "git commit -m 'fix typo in README'",
    "SELECT * FROM users WHERE id = 7;",
    "+44 20 7946 0958",
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit",
    "npm install --save-dev eslint",
};

std::string evalModelDirectory(bool& real) {
  if (const char* chosen = std::getenv("PALLIX_CLIPBOARD_EVAL_MODEL"); chosen && *chosen) {
    real = true;
    return chosen;
  }
  real = false;
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return std::string(data ? data : "tests/data") + "/embeddings/tiny_bert";
}

TEST(ClipboardParaphraseTest, AParaphraseFindsItsItemAmongTheFirstThree) {
  bool realModel = false;
  const std::string directory = evalModelDirectory(realModel);
  SemanticClipboardFixture f;
  f.factory = std::make_shared<DirectoryEmbeddingModelFactory>(directory);
  ASSERT_TRUE(f.factory->isInstalled()) << directory;
  f.threshold = -2.0f;  // every item ranked
  f.startWithIndex();
  for (const char* text : kDistractors) f.copyText(text);
  for (const Paraphrase& p : kParaphrases) f.copyText(p.copied);
  const size_t items = std::size(kDistractors) + std::size(kParaphrases);
  ASSERT_EQ(f.vectorCount(), int64_t(items));

  std::map<std::string, int64_t> idOf;
  for (const ClipboardItem& item : f.stored()) idOf[item.primaryText.value_or("")] = item.id;
  int hits = 0;
  double pairSimilarity = 0, bestOtherSimilarity = 0;
  float lowestPair = 2, highestOther = -2;
  for (const Paraphrase& p : kParaphrases) {
    std::vector<ClipboardSemanticIndex::Match> ranked;
    f.index->search(p.query, {}, items, f.env.mainRunner(), [&](auto m) { ranked = std::move(m); });
    f.env.runUntilIdle();
    ASSERT_EQ(ranked.size(), items) << p.query;
    const int64_t wanted = idOf.at(p.copied);
    auto at = std::find_if(ranked.begin(), ranked.end(), [&](const auto& m) { return m.id == wanted; });
    ASSERT_NE(at, ranked.end());
    const size_t rank = size_t(at - ranked.begin());
    if (rank < 3) ++hits;
    const float other = ranked[rank == 0 ? 1 : 0].similarity;
    pairSimilarity += at->similarity;
    bestOtherSimilarity += other;
    lowestPair = std::min(lowestPair, at->similarity);
    highestOther = std::max(highestOther, other);
    std::printf("  rank %zu  similarity %.3f (best other %.3f)  %s -> %s\n", rank + 1, at->similarity, other, p.query,
                p.copied);
  }
  const double n = double(std::size(kParaphrases));
  const double hitRate = hits / n;
  std::printf(
      "clipboard paraphrases, %s model %s: hit rate @3 %.2f (%d of %zu); paraphrase similarity mean %.3f"
      " min %.3f; best other mean %.3f max %.3f\n",
      realModel ? "installed" : "tiny test", directory.c_str(), hitRate, hits, std::size(kParaphrases),
      pairSimilarity / n, lowestPair, bestOtherSimilarity / n, highestOther);
  ::testing::Test::RecordProperty("hitRateAt3", std::to_string(hitRate));
  ::testing::Test::RecordProperty("paraphraseSimilarityMean", std::to_string(pairSimilarity / n));
  ::testing::Test::RecordProperty("bestOtherSimilarityMean", std::to_string(bestOtherSimilarity / n));
  // The tiny model knows no meanings: chance is 3 in 21.
  if (realModel) {
    EXPECT_GE(hitRate, 0.75);
  }
}

}  // namespace
}  // namespace pallix
