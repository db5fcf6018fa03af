// The router as a whole: routing through the shortcut or the classifier with
// an injected model (buffers, errors, warm-up), and the bundled classifier:
// the PyTorch golden outputs, threads, the factory, and its scores against
// the coordinator's fallback rules. Then model location, fingerprints and the
// compiled-model cache: reuse while the fingerprint matches, recompilation
// after a change, rebuilding of damaged entries, and the errors for missing
// or corrupt resources.
#include <gtest/gtest.h>
#include <utime.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "PallixRouter/PallixRouter.h"
#include "PallixRouter/RouterErrors.h"
#include "PallixRouter/RouterModel.h"
#include "RouterTestSupport.h"
#include "app/intelligence/SourceSelectionRules.h"

namespace pallix::router {
namespace {

using testing::readAll;
using testing::routerResourcesPath;
using testing::TempDir;
using testing::testDataPath;
using testing::writeTinyBundle;
namespace fs = std::filesystem;

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

// A router over a scripted model, encoding to `length` tokens.
struct ScriptedRouter {
  explicit ScriptedRouter(size_t length, bool failing = false) {
    auto owned = std::make_unique<ScriptedModel>();
    model = owned.get();
    model->fail = failing;
    router = PallixRouter::fromParts(std::move(owned), Calib{}, tinyTokenizer(), length);
  }
  ScriptedModel* model;
  std::shared_ptr<PallixRouter> router;
};

TEST(RouterRouting, TheWarmUpQueryIsSettledByTheShortcut) {
  ScriptedRouter scripted(128);
  EXPECT_EQ(scripted.model->calls.load(), 0);
  auto decision = scripted.router->routeDetailed("weather tomorrow", {});
  ASSERT_TRUE(decision.ok());
  EXPECT_TRUE(decision->decidedByShortcut);
  EXPECT_EQ(decision->result.selected, (std::set<DataSource>{DataSource::weather}));
  EXPECT_EQ(decision->result.probabilities, *Decision::lexicalShortcutProbabilities("weather tomorrow"));
  EXPECT_EQ(scripted.model->calls.load(), 0);
}

// No match (the empty text) or three and more matches: the classifier sees the tokenizer's full-length encoding.
TEST(RouterRouting, TextsTheShortcutCannotSettleGoToTheClassifier) {
  for (const char* text : {"", "weather map of texted file"}) {
    SCOPED_TRACE(text);
    ScriptedRouter scripted(128);
    auto decision = scripted.router->routeDetailed(text, {});
    ASSERT_TRUE(decision.ok());
    EXPECT_FALSE(decision->decidedByShortcut);
    EXPECT_EQ(scripted.model->calls.load(), 1);
    const Encoding expected = tinyTokenizer().encode(text, 128);
    EXPECT_EQ(scripted.model->lastIds, expected.inputIds);
    EXPECT_EQ(scripted.model->lastMask, expected.attentionMask);
    // logits 3, -3, 0, -1, 1, -2 at T = 1 and threshold 0.5: maps, dictionary (0.5 selects), messages.
    EXPECT_EQ(decision->result.selected,
              (std::set<DataSource>{DataSource::maps, DataSource::dictionary, DataSource::messages}));
    EXPECT_EQ(decision->result.probabilities.size(), 6u);
  }
}

// A failing warm-up does not fail construction; prediction errors reach the caller and release the lock.
TEST(RouterRouting, ClassifierErrorsReachTheCallerAndOptionsApply) {
  ScriptedRouter scripted(16, true);
  auto failed = scripted.router->route("qq", {});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().domain(), "Runtime");
  scripted.model->fail = false;
  scripted.model->empty = true;
  auto missing = scripted.router->route("qq", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), missingLogitsError());
  scripted.model->empty = false;
  // The lock was released on both error paths; options apply to classifier decisions.
  RouteOptions options;
  options.maxSources = 1;
  EXPECT_EQ(scripted.router->route("qq", options)->selected, (std::set<DataSource>{DataSource::maps}));
  options.maxSources.reset();
  options.minConfidence = 0.6;
  EXPECT_EQ(scripted.router->route("qq", options)->selected,
            (std::set<DataSource>{DataSource::maps, DataSource::messages}));
}

std::vector<fs::path> cacheEntries(const std::string& cache) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cache, ec)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// The bundled router, built once for the suite.
class BundledRouter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cache_ = new TempDir;
    auto created = PallixRouter::create(routerResourcesPath(), 128, cache_->path());
    ASSERT_TRUE(created.ok()) << created.error().description();
    router_ = *created;
  }
  static void TearDownTestSuite() {
    router_.reset();
    delete cache_;
  }
  static TempDir* cache_;
  static std::shared_ptr<PallixRouter> router_;
};
TempDir* BundledRouter::cache_ = nullptr;
std::shared_ptr<PallixRouter> BundledRouter::router_;

TEST_F(BundledRouter, MatchesThePyTorchOutputsWithinOneTenThousandth) {
  auto golden = nlohmann::json::parse(readAll(testDataPath("classifier_golden.json")));
  ASSERT_GE(golden.size(), 5u);
  for (const auto& c : golden) {
    const std::string text = c.at("text");
    Encoding e = router_->tokenizer().encode(text, 128);
    EXPECT_EQ(e.inputIds, c.at("input_ids").get<std::vector<int32_t>>()) << text;
    EXPECT_EQ(e.attentionMask, c.at("attention_mask").get<std::vector<int32_t>>()) << text;
    auto logits = router_->predictLogits(text);
    ASSERT_TRUE(logits.ok()) << logits.error().description();
    auto expectedLogits = c.at("logits").get<std::vector<double>>();
    auto expectedProbabilities = c.at("probabilities").get<std::vector<double>>();
    auto probabilities = Decision::probabilities(*logits, router_->calib());
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_NEAR((*logits)[i], expectedLogits[i], 1e-4) << text << " output " << i;
      EXPECT_NEAR(probabilities[kAllRouterDataSources[i]], expectedProbabilities[i], 1e-4) << text;
    }
  }
}

TEST_F(BundledRouter, ConcurrentRoutingGivesTheSerialAnswers) {
  const std::vector<std::string> queries = {
      "how do i get to the airport", "what does petrichor mean", "spotify", "is it cold in oslo", "budget 2023",
      "what did sarah send me"};
  std::vector<std::set<DataSource>> serial;
  for (const auto& q : queries) serial.push_back(router_->route(q, {})->selected);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 12; ++i) {
        size_t k = static_cast<size_t>(t + i) % queries.size();
        auto r = router_->route(queries[k], {});
        if (!r.ok() || r->selected != serial[k]) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
}

TEST_F(BundledRouter, TheFactoryBuildsTheBundledRouterIntoTheUserCache) {
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
  EXPECT_EQ(cacheEntries(home.path() + "/.cache/Pallix/PallixRouterCompiled").size(), 1u);
}

// The whole decision (shortcut, then classifier) on queries as a new user writes them: the generated
// held-out split and the hand-written set (tests/data/router/handwritten.jsonl, never used for training).
// The mean F1 over the six labels must reach 0.93 on the held-out split and on the hand-written set (which
// holds the shapes the templates know least: words typed alone, calendar phrases, app commands; the model
// before the fourth template family scored 0.91 there), and no label may fall below 0.85; on the held-out split
// every label must also beat the coordinator's fallback rules (dictionary candidates always resolve, which can
// only favour the fallback).
TEST_F(BundledRouter, ScoresReachTheGoalAndBeatTheFallbackRules) {
  WeatherQueryAnalyzer analyzer;
  SourceSelectionContext context;
  context.isEnabled = [](VCRDataSourceIdentifier) { return true; };
  context.weatherAnalyzer = &analyzer;
  context.addressDetector = [](const std::string&) { return false; };
  context.dictionaryResolvesCandidate = [](const std::string&) { return true; };
  struct Counts {
    int tp = 0, fp = 0, fn = 0;
    void add(bool predicted, bool gold) {
      tp += predicted && gold;
      fp += predicted && !gold;
      fn += !predicted && gold;
    }
    double f1() const { return tp == 0 ? 0.0 : 2.0 * tp / (2.0 * tp + fp + fn); }
  };
  for (const char* set : {"heldout.jsonl", "handwritten.jsonl"}) {
    SCOPED_TRACE(set);
    std::map<DataSource, Counts> routerCounts, fallbackCounts;
    std::ifstream in(testDataPath(set));
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      auto row = nlohmann::json::parse(line);
      const std::string text = row.at("text");
      std::set<DataSource> gold;
      for (const auto& l : row.at("labels")) gold.insert(*routerDataSourceFromRawValue(l.get<std::string>()));
      auto routed = router_->route(text, {});
      ASSERT_TRUE(routed.ok());
      const auto fallback = SourceSelectionRules::fallbackIdentifiers(text, context);
      for (DataSource s : kAllRouterDataSources) {
        routerCounts[s].add(routed->selected.count(s) != 0, gold.count(s) != 0);
        fallbackCounts[s].add(fallback.count(identifierForRouterSource(s)) != 0, gold.count(s) != 0);
      }
      ++rows;
    }
    ASSERT_GE(rows, 150);
    double mean = 0;
    for (DataSource s : kAllRouterDataSources) {
      EXPECT_GE(routerCounts[s].f1(), 0.85) << routerDataSourceRawValue(s);
      if (std::string(set) == "heldout.jsonl") {
        EXPECT_GT(routerCounts[s].f1(), fallbackCounts[s].f1()) << routerDataSourceRawValue(s);
      }
      mean += routerCounts[s].f1() / static_cast<double>(kAllRouterDataSources.size());
    }
    EXPECT_GE(mean, 0.93);
  }
}

// ---------------------------------------------------------------- the model and its cache

void setModificationTime(const std::string& path, time_t seconds) {
  struct utimbuf times {
    seconds, seconds
  };
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

// The error of a failed result; none when it succeeded.
template <typename R>
std::optional<Error> errorOf(const R& result) {
  return result.ok() ? std::nullopt : std::optional<Error>(result.error());
}

// A temporary directory holding the tiny bundle "bundle" and a cache beside it.
class TinyBundle {
 protected:
  TinyBundle() { writeTinyBundle(dir, "bundle"); }
  TempDir dir;
  const std::string model = dir / "bundle/PallixRouter.pallixpackage";
  const std::string cache = dir / "cache";
};
class RouterCompileCache : public TinyBundle, public ::testing::Test {};
class RouterResources : public TinyBundle, public ::testing::Test {};

TEST(RouterFingerprint, DigestOfTheFileOrSortedPackageDescriptorInLowercaseHex) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  TempDir dir;
  const std::string file = dir.write("PallixRouter.pallixmodel", "12345");
  setModificationTime(file, 1700000000);
  EXPECT_EQ(*modelFingerprint(file), sha256Hex("PallixRouter.pallixmodel|5|1700000000"));
  // A package's descriptor lists its visible files, sorted.
  const std::string b = dir.write("M.pallixpackage/b/weights.bin", "xy");
  const std::string a = dir.write("M.pallixpackage/a.json", "{}");
  dir.write("M.pallixpackage/.hidden", "ignored");
  setModificationTime(a, 100);
  setModificationTime(b, 200);
  auto fp = modelFingerprint(dir / "M.pallixpackage");
  ASSERT_TRUE(fp.ok());
  EXPECT_EQ(*fp, sha256Hex("M.pallixpackage|a.json|2|100;b/weights.bin|2|200"));
  // A changed size or modification time changes the fingerprint.
  setModificationTime(b, 201);
  EXPECT_NE(*modelFingerprint(dir / "M.pallixpackage"), *fp);
}

TEST(RouterModelLocation, NamesInOrderThenARecursiveSearchByExtensionRank) {
  TempDir dir;
  EXPECT_FALSE(locateModel(dir.path()).has_value());
  dir.write("deep/er/model.pallixpackage/config.json", "{}");
  dir.write("deep/model.pallixmodel", "x");
  dir.write("other/Unrelated.pallixmodel", "x");
  EXPECT_EQ(locateModel(dir.path()), dir / "deep/model.pallixmodel");  // file before package
  dir.write("model.pallixpackage/config.json", "{}");
  EXPECT_EQ(locateModel(dir.path()), dir / "model.pallixpackage");  // a direct hit wins
  dir.write("PallixRouter.pallixmodel", "x");
  EXPECT_EQ(locateModel(dir.path()), dir / "PallixRouter.pallixmodel");
  dir.write("PallixRouter.pallixmodelc/config.json", "{}");
  EXPECT_EQ(locateModel(dir.path()), dir / "PallixRouter.pallixmodelc");
}

TEST_F(RouterCompileCache, CompilesOnceAndReusesWhileTheFingerprintMatches) {
  auto first = compiledModelPath(model, cache, false);
  ASSERT_TRUE(first.ok()) << first.error().description();
  auto fp = modelFingerprint(model);
  EXPECT_EQ(fs::path(*first).filename().string(), "PallixRouter." + *fp + ".pallixmodelc");
  const auto stamp = fs::last_write_time(*first + "/weights.bin");
  auto second = compiledModelPath(model, cache, false);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, *first);
  EXPECT_EQ(fs::last_write_time(*second + "/weights.bin"), stamp);
  EXPECT_EQ(cacheEntries(cache).size(), 1u);  // no staging directory left behind
  EXPECT_TRUE(TransformerRouterClassifier::loadCompiled(*first).ok());
  // A compiled model is used as it is, without a cache; a source model without one is error -3.
  EXPECT_EQ(*compiledModelPath(*first, "", false), *first);
  EXPECT_EQ(errorOf(compiledModelPath(model, "", false)), missingCacheDirectoryError());
}

TEST_F(RouterCompileCache, AChangedModelIsCompiledAgainBesideTheOldCopy) {
  auto before = loadRouterClassifier(model, cache);
  ASSERT_TRUE(before.ok());
  EncoderInput input{{2, 4, 3, 0}, {1, 1, 1, 0}};
  auto logitsBefore = (*before)->predictLogits({input});
  writeTinyBundle(dir, "bundle", 2);  // new weights
  setModificationTime(model + "/model.safetensors", 1000);
  auto after = loadRouterClassifier(model, cache);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(cacheEntries(cache).size(), 2u);
  auto logitsAfter = (*after)->predictLogits({input});
  ASSERT_TRUE(logitsBefore.ok() && logitsAfter.ok());
  EXPECT_NE(*logitsBefore, *logitsAfter);
}

class DamagedCacheEntry : public TinyBundle, public ::testing::TestWithParam<int> {};

TEST_P(DamagedCacheEntry, IsRebuiltAndGivesTheSameLogits) {
  auto good = loadRouterClassifier(model, cache);
  ASSERT_TRUE(good.ok());
  const std::string entry = *compiledModelPath(model, cache, false);
  const std::string weights = entry + "/weights.bin";
  std::string bytes = testing::readAll(weights);
  switch (GetParam()) {
    case 0:
      bytes[bytes.size() / 2] ^= 0x40;
      dir.write(fs::path(weights).lexically_relative(dir.path()), bytes);
      break;
    case 1:
      fs::resize_file(weights, bytes.size() / 3);
      break;
    case 2:
      fs::remove(weights);
      break;
    case 3:
      dir.write(fs::path(entry + "/manifest.json").lexically_relative(dir.path()), "{garbage");
      break;
    case 4:
      dir.write(fs::path(entry + "/config.json").lexically_relative(dir.path()), R"({"hidden_size": -1})");
      break;
    case 5:
      fs::remove_all(entry);
      dir.write(fs::path(entry).lexically_relative(dir.path()), "not a directory");
      break;
  }
  auto rebuilt = loadRouterClassifier(model, cache);
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().description();
  EncoderInput input{{2, 5, 6, 3}, {1, 1, 1, 1}};
  EXPECT_EQ(*(*rebuilt)->predictLogits({input}), *(*good)->predictLogits({input}));
}

INSTANTIATE_TEST_SUITE_P(Corruptions, DamagedCacheEntry, ::testing::Range(0, 6));

// A safetensors file with `metadata` added to its header (offsets are relative to the data, so unchanged).
std::string withMetadata(const std::string& file, const nlohmann::json& metadata) {
  uint64_t length = 0;
  std::memcpy(&length, file.data(), 8);
  auto header = nlohmann::json::parse(file.substr(8, length));
  header["__metadata__"] = metadata;
  std::string text = header.dump();
  while (text.size() % 8) text += ' ';
  const uint64_t newLength = text.size();
  std::string out(8, '\0');
  std::memcpy(out.data(), &newLength, 8);
  return out + text + file.substr(8 + length);
}

TEST_F(RouterCompileCache, ASingleFileModelCarriesItsConfigInTheMetadata) {
  const auto tensors = testing::tinyTensors(testing::tinyConfig(), 3);
  dir.write("single/PallixRouter.pallixmodel", withMetadata(SafetensorsFile::serialize(tensors, TensorDType::f32),
                                                            {{"config", testing::tinyConfig().toJson()}}));
  auto single = loadRouterClassifier(dir / "single/PallixRouter.pallixmodel", cache);
  ASSERT_TRUE(single.ok()) << single.error().description();
  dir.write("package/PallixRouter.pallixpackage/config.json", testing::tinyConfig().toJson());
  dir.write("package/PallixRouter.pallixpackage/model.safetensors",
            SafetensorsFile::serialize(tensors, TensorDType::f16));
  auto package = loadRouterClassifier(dir / "package/PallixRouter.pallixpackage", cache);
  ASSERT_TRUE(package.ok()) << package.error().description();
  EncoderInput input{{2, 4, 9, 3}, {1, 1, 1, 1}};
  auto a = (*single)->predictLogits({input});
  auto b = (*package)->predictLogits({input});
  ASSERT_TRUE(a.ok() && b.ok());
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR((*a)[i], (*b)[i], 2e-2);  // the package's weights are half precision

  // Without the "config" metadata entry the file is refused with a message naming it.
  dir.write("plain/PallixRouter.pallixmodel", SafetensorsFile::serialize(tensors, TensorDType::f32));
  EXPECT_TRUE(
      pallix::testing::failsWith(loadRouterClassifier(dir / "plain/PallixRouter.pallixmodel", cache), "config"));
}

TEST_F(RouterResources, MissingModelVocabularyOrCalibrationGiveTheDescribedErrors) {
  ASSERT_TRUE(PallixRouter::create(dir / "bundle", 16, cache).ok());
  EXPECT_EQ(errorOf(PallixRouter::create(dir / "empty", 16, cache)), missingModelError());
  fs::remove(dir / "bundle/vocab.txt");
  EXPECT_EQ(errorOf(PallixRouter::create(dir / "bundle", 16, cache)), missingVocabularyError());
  dir.write("bundle/vocab.txt", "[PAD]\n[UNK]\nweather\n");
  EXPECT_EQ(errorOf(PallixRouter::create(dir / "bundle", 16, cache)), missingSpecialTokensError());

  dir.write("bundle/vocab.txt", testing::tinyVocabulary());
  fs::remove(dir / "bundle/calibration.json");
  EXPECT_FALSE(PallixRouter::create(dir / "bundle", 16, cache).ok());
  dir.write("bundle/calibration.json", "{\"labels\": [");
  EXPECT_FALSE(PallixRouter::create(dir / "bundle", 16, cache).ok());
}

TEST_F(RouterResources, CorruptModelFilesAreErrorsNeverCrashes) {
  const std::string weights = dir / "bundle/PallixRouter.pallixpackage/model.safetensors";
  const std::string good = testing::readAll(weights);
  std::mt19937 rng(5);
  for (int round = 0; round < 12; ++round) {
    std::string bytes = good;
    if (round % 3 == 0)
      bytes.resize(rng() % bytes.size());
    else
      for (int k = 0; k < 8; ++k) bytes[rng() % std::min<size_t>(bytes.size(), 400)] = static_cast<char>(rng());
    dir.write("bundle/PallixRouter.pallixpackage/model.safetensors", bytes);
    setModificationTime(weights, 5000 + round);
    (void)PallixRouter::create(dir / "bundle", 16, cache);  // either loads or fails cleanly
  }
  dir.write("bundle/PallixRouter.pallixpackage/config.json", "{\"hidden_size\": 8}");
  auto badConfig = PallixRouter::create(dir / "bundle", 16, cache);
  EXPECT_FALSE(badConfig.ok());
  dir.write("bundle/PallixRouter.pallixpackage/model.safetensors", "");
  EXPECT_FALSE(PallixRouter::create(dir / "bundle", 16, cache).ok());
}

}  // namespace
}  // namespace pallix::router
