// Model location, fingerprints and the compiled-model cache: reuse while the
// fingerprint matches, recompilation after a change, rebuilding of damaged
// entries, and the errors for missing or corrupt resources.
#include <gtest/gtest.h>
#include <utime.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "PallixRouter/PallixRouter.h"
#include "PallixRouter/RouterErrors.h"
#include "PallixRouter/RouterModel.h"
#include "RouterTestSupport.h"

namespace pallix::router {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeTinyBundle;

std::vector<fs::path> cacheEntries(const std::string& cache) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cache, ec)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

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

TEST(RouterFingerprint, DigestOfTheDescriptorInLowercaseHex) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  TempDir dir;
  const std::string file = dir.write("PallixRouter.pallixmodel", "12345");
  setModificationTime(file, 1700000000);
  auto fp = modelFingerprint(file);
  ASSERT_TRUE(fp.ok());
  EXPECT_EQ(*fp, sha256Hex("PallixRouter.pallixmodel|5|1700000000"));
}

TEST(RouterFingerprint, PackageDescriptorListsVisibleFilesSorted) {
  TempDir dir;
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

TEST_F(RouterCompileCache, ACompiledModelIsLoadedAsItIsAndAnEmptyCacheIsErrorMinus3) {
  auto compiled = compiledModelPath(model, cache, false);
  ASSERT_TRUE(compiled.ok());
  auto asIs = compiledModelPath(*compiled, "", false);
  ASSERT_TRUE(asIs.ok());
  EXPECT_EQ(*asIs, *compiled);
  EXPECT_EQ(errorOf(compiledModelPath(model, "", false)), missingCacheDirectoryError());
}

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
