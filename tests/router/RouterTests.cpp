// The router as a whole: routing through the shortcut or the classifier with
// an injected model (buffers, errors, warm-up, threads), the bundled
// classifier against the PyTorch golden outputs, and the held-out comparison
// with the coordinator's fallback rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "PallixRouter/PallixRouter.h"
#include "PallixRouter/RouterErrors.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "RouterTestSupport.h"
#include "app/intelligence/SourceSelectionRules.h"

namespace pallix::router {
namespace {

using testing::readAll;
using testing::routerResourcesPath;
using testing::TempDir;
using testing::testDataPath;

// A model that records the buffers it sees and answers scripted logits.
class ScriptedModel final : public RouterClassifierModel {
 public:
  std::atomic<int> calls{0};
  std::vector<int32_t> lastIds, lastMask;
  std::vector<float> logits{3.0f, -3.0f, 0.0f, -1.0f, 1.0f, -2.0f};
  bool fail = false;
  bool empty = false;
  Result<std::vector<float>> predictLogits(const std::vector<EncoderInput>& input) override {
    ++calls;
    lastIds = input.at(0).inputIds;
    lastMask = input.at(0).attentionMask;
    if (fail) return Error("Runtime", 9, "prediction failed");
    if (empty) return std::vector<float>{};
    return logits;
  }
};

BertTokenizer tinyTokenizer() {
  return std::move(BertTokenizer::fromText(testing::tinyVocabulary())).value();
}

TEST(RouterRouting, TheWarmUpQueryIsSettledByTheShortcut) {
  auto model = std::make_unique<ScriptedModel>();
  ScriptedModel* raw = model.get();
  auto router = PallixRouter::fromParts(std::move(model), Calib{}, tinyTokenizer(), 128);
  EXPECT_EQ(raw->calls.load(), 0);
  auto decision = router->routeDetailed("weather tomorrow", {});
  ASSERT_TRUE(decision.ok());
  EXPECT_TRUE(decision->decidedByShortcut);
  EXPECT_EQ(decision->result.selected, (std::set<DataSource>{DataSource::weather}));
  EXPECT_DOUBLE_EQ(decision->result.probabilities.at(DataSource::weather), 0.98);
  EXPECT_DOUBLE_EQ(decision->result.probabilities.at(DataSource::files), 0.01);
  EXPECT_GE(decision->result.latencyMs, 0.0);
  EXPECT_EQ(raw->calls.load(), 0);
}

TEST(RouterRouting, EmptyTextIsClassifiedFromClsSepAndPadding) {
  auto model = std::make_unique<ScriptedModel>();
  ScriptedModel* raw = model.get();
  auto router = PallixRouter::fromParts(std::move(model), Calib{}, tinyTokenizer(), 128);
  auto decision = router->routeDetailed("", {});
  ASSERT_TRUE(decision.ok());
  EXPECT_FALSE(decision->decidedByShortcut);
  ASSERT_EQ(raw->lastIds.size(), 128u);
  EXPECT_EQ(raw->lastIds[0], 2);
  EXPECT_EQ(raw->lastIds[1], 3);
  EXPECT_EQ(raw->lastIds[127], 0);
  EXPECT_EQ(raw->lastMask[1], 1);
  EXPECT_EQ(raw->lastMask[2], 0);
  // logits 3, -3, 0, -1, 1, -2 at T = 1 and threshold 0.5: maps, dictionary (0.5 selects), messages.
  EXPECT_EQ(decision->result.selected,
            (std::set<DataSource>{DataSource::maps, DataSource::dictionary, DataSource::messages}));
  EXPECT_EQ(decision->result.probabilities.size(), 6u);
}

TEST(RouterRouting, ThreeOrMorePatternMatchesGoToTheClassifier) {
  auto model = std::make_unique<ScriptedModel>();
  ScriptedModel* raw = model.get();
  auto router = PallixRouter::fromParts(std::move(model), Calib{}, tinyTokenizer(), 16);
  auto decision = router->routeDetailed("weather map of texted file", {});
  ASSERT_TRUE(decision.ok());
  EXPECT_FALSE(decision->decidedByShortcut);
  EXPECT_EQ(raw->calls.load(), 1);
  EXPECT_EQ(raw->lastIds[1], 4);  // "weather"
}

TEST(RouterRouting, PredictionErrorsReachTheCallerAndReleaseTheLock) {
  auto model = std::make_unique<ScriptedModel>();
  ScriptedModel* raw = model.get();
  auto router = PallixRouter::fromParts(std::move(model), Calib{}, tinyTokenizer(), 16);
  raw->fail = true;
  auto failed = router->route("qq", {});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().domain(), "Runtime");
  raw->fail = false;
  raw->empty = true;
  auto missing = router->route("qq", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), missingLogitsError());
  EXPECT_EQ(missing.error().description(), "Missing logits output");
  raw->empty = false;
  EXPECT_TRUE(router->route("qq", {}).ok());  // the lock was released on both error paths
}

TEST(RouterRouting, WarmUpFailureDoesNotFailConstruction) {
  auto model = std::make_unique<ScriptedModel>();
  model->fail = true;
  auto router = PallixRouter::fromParts(std::move(model), Calib{}, tinyTokenizer(), 8);
  EXPECT_FALSE(router->route("qq", {}).ok());
}

TEST(RouterRouting, OptionsApplyToClassifierDecisions) {
  auto router = PallixRouter::fromParts(std::make_unique<ScriptedModel>(), Calib{}, tinyTokenizer(), 16);
  RouteOptions options;
  options.maxSources = 1;
  EXPECT_EQ(router->route("qq", options)->selected, (std::set<DataSource>{DataSource::maps}));
  options.maxSources.reset();
  options.minConfidence = 0.6;
  EXPECT_EQ(router->route("qq", options)->selected, (std::set<DataSource>{DataSource::maps, DataSource::messages}));
}

TEST(BundledRouter, MatchesThePyTorchOutputsWithinOneTenThousandth) {
  TempDir cache;
  auto router = PallixRouter::create(routerResourcesPath(), 128, cache.path());
  ASSERT_TRUE(router.ok()) << router.error().description();
  auto golden = nlohmann::json::parse(readAll(testDataPath("classifier_golden.json")));
  ASSERT_GE(golden.size(), 5u);
  for (const auto& c : golden) {
    const std::string text = c.at("text");
    Encoding e = (*router)->tokenizer().encode(text, 128);
    EXPECT_EQ(e.inputIds, c.at("input_ids").get<std::vector<int32_t>>()) << text;
    EXPECT_EQ(e.attentionMask, c.at("attention_mask").get<std::vector<int32_t>>()) << text;
    auto logits = (*router)->predictLogits(text);
    ASSERT_TRUE(logits.ok()) << logits.error().description();
    auto expectedLogits = c.at("logits").get<std::vector<double>>();
    auto expectedProbabilities = c.at("probabilities").get<std::vector<double>>();
    auto probabilities = Decision::probabilities(*logits, (*router)->calib());
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_NEAR((*logits)[i], expectedLogits[i], 1e-4) << text << " output " << i;
      EXPECT_NEAR(probabilities[kAllRouterDataSources[i]], expectedProbabilities[i], 1e-4) << text;
    }
  }
}

TEST(BundledRouter, ConcurrentRoutingGivesTheSerialAnswers) {
  TempDir cache;
  auto router = PallixRouter::create(routerResourcesPath(), 128, cache.path());
  ASSERT_TRUE(router.ok()) << router.error().description();
  const std::vector<std::string> queries = {
      "how do i get to the airport", "what does petrichor mean", "spotify", "is it cold in oslo", "budget 2023",
      "what did sarah send me"};
  std::vector<std::set<DataSource>> serial;
  for (const auto& q : queries) serial.push_back((*router)->route(q, {})->selected);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 12; ++i) {
        size_t k = static_cast<size_t>(t + i) % queries.size();
        auto r = (*router)->route(queries[k], {});
        if (!r.ok() || r->selected != serial[k]) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
}

TEST(BundledRouter, TheFactoryBuildsTheBundledRouterIntoTheUserCache) {
  TempDir home;
  const char* previous = std::getenv("PALLIX_HOME");
  const std::string saved = previous ? previous : "";
  ::setenv("PALLIX_HOME", home.path().c_str(), 1);
  ::setenv("PALLIX_RESOURCES", (routerResourcesPath() + "/..").c_str(), 1);
  Result<std::shared_ptr<QueryRouting>> built = Error("Test", 1, "not called");
  int calls = 0;
  makeBundledQueryRouterFactory()(CancellationToken{}, [&](Result<std::shared_ptr<QueryRouting>> r) {
    built = std::move(r);
    ++calls;
  });
  if (previous)
    ::setenv("PALLIX_HOME", saved.c_str(), 1);
  else
    ::unsetenv("PALLIX_HOME");
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(built.ok()) << built.error().description();
  auto routed = (*built)->route("define serendipity", RouteOptions::defaults());
  ASSERT_TRUE(routed.ok());
  EXPECT_EQ(routed->selected, (std::set<DataSource>{DataSource::dictionary}));
  std::vector<std::string> entries;
  for (const auto& e : std::filesystem::directory_iterator(home.path() + "/.cache/Pallix/PallixRouterCompiled")) {
    entries.push_back(e.path().filename().string());
  }
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].rfind("PallixRouter.", 0), 0u);
  EXPECT_EQ(entries[0].size(), std::string("PallixRouter.").size() + 64 + std::string(".pallixmodelc").size());
}

// F1 of one source over the held-out split: the router (shortcut + classifier)
// against the coordinator's fallback rules (dictionary candidates always
// resolve, which can only favour the fallback).
TEST(BundledRouter, BeatsTheFallbackRulesOnTheHeldOutSplit) {
  TempDir cache;
  auto router = PallixRouter::create(routerResourcesPath(), 128, cache.path());
  ASSERT_TRUE(router.ok()) << router.error().description();
  WeatherQueryAnalyzer analyzer;
  SourceSelectionContext context;
  context.isEnabled = [](VCRDataSourceIdentifier) { return true; };
  context.weatherAnalyzer = &analyzer;
  context.addressDetector = [](const std::string&) { return false; };
  context.dictionaryResolvesCandidate = [](const std::string&) { return true; };

  struct Counts {
    int tp = 0, fp = 0, fn = 0;
  };
  std::map<DataSource, Counts> routerCounts, fallbackCounts;
  std::ifstream in(testDataPath("heldout.jsonl"));
  std::string line;
  int rows = 0;
  while (std::getline(in, line) && rows < 800) {
    auto row = nlohmann::json::parse(line);
    const std::string text = row.at("text");
    std::set<DataSource> gold;
    for (const auto& l : row.at("labels")) gold.insert(*routerDataSourceFromRawValue(l.get<std::string>()));
    auto routed = (*router)->route(text, {});
    ASSERT_TRUE(routed.ok());
    std::set<DataSource> fallback;
    for (auto id : SourceSelectionRules::fallbackIdentifiers(text, context)) {
      for (DataSource s : kAllRouterDataSources) {
        if (identifierForRouterSource(s) == id) fallback.insert(s);
      }
    }
    for (DataSource s : kAllRouterDataSources) {
      auto count = [&](const std::set<DataSource>& predicted, Counts& c) {
        const bool p = predicted.count(s) != 0, g = gold.count(s) != 0;
        c.tp += p && g;
        c.fp += p && !g;
        c.fn += !p && g;
      };
      count(routed->selected, routerCounts[s]);
      count(fallback, fallbackCounts[s]);
    }
    ++rows;
  }
  ASSERT_GT(rows, 300);
  auto f1 = [](const Counts& c) { return c.tp == 0 ? 0.0 : 2.0 * c.tp / (2.0 * c.tp + c.fp + c.fn); };
  for (DataSource s : kAllRouterDataSources) {
    EXPECT_GT(f1(routerCounts[s]), f1(fallbackCounts[s])) << routerDataSourceRawValue(s);
    EXPECT_GT(f1(routerCounts[s]), 0.8) << routerDataSourceRawValue(s);
  }
}

}  // namespace
}  // namespace pallix::router
