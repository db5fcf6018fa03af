#include <gtest/gtest.h>

#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace ::pallix::testing;

void copyTinyModel(const std::string& to, bool withVocabulary = true) {
  std::filesystem::create_directories(to);
  for (const char* name : {"config.json", "model.safetensors", "vocab.txt"}) {
    if (!withVocabulary && std::string(name) == "vocab.txt") continue;
    std::filesystem::copy_file(tinyModelDir() + "/" + name, to + "/" + name);
  }
}

const GoldenCase& textCase(const std::vector<GoldenCase>& cases) {
  for (const auto& c : cases) {
    if (!c.text.empty()) return c;
  }
  ADD_FAILURE() << "no golden case with text";
  return cases.front();
}

TEST(BGESmallEmbeddingsTest, MissingModelFailsWithInstallHint) {
  TempDir home;
  auto model = BGESmallEmbeddings::create(EmbeddingComputeUnits::cpuNe, DataDirectories::forHome(home.path()));
  ASSERT_FALSE(model.ok());
  const std::string& message = model.error().description();
  EXPECT_NE(message.find("Failed to load BGE-Small model. Error: "), std::string::npos) << message;
  EXPECT_NE(message.find("pallix model install"), std::string::npos) << message;
  EXPECT_NE(message.find("Models/bge_small_en"), std::string::npos) << message;
}

// The reference text tokenizes to the recorded row and embeds to the recorded
// vector through the provider interface; a batch equals one by one and long
// text is cut to its first 510 tokens, so more text changes nothing.
TEST(BGESmallEmbeddingsTest, TextEmbeddingMatchesTheReferenceAlsoInBatches) {
  auto model = BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::all, tinyModelDir());
  ASSERT_TRUE(model.ok()) << model.error().description();
  EXPECT_EQ(model.value()->threads(), threadCount(EmbeddingComputeUnits::all));
  auto cases = loadGoldenCases();
  const GoldenCase& golden = textCase(cases);
  auto row = model.value()->tokenizer().buildModelTokens(golden.text);
  ASSERT_EQ(row.size(), 512u);
  std::vector<int32_t> real(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(golden.inputIds.size()));
  EXPECT_EQ(real, golden.inputIds);
  EXPECT_EQ(row[golden.inputIds.size()], 0);

  std::string longText;
  for (int i = 0; i < 700; ++i) longText += "the quick fox ";
  std::vector<std::string> texts{golden.text, "", "naive cafe, 42!", longText};
  auto batch = model.value()->encodeBatch(texts);
  ASSERT_TRUE(batch.ok());
  ASSERT_EQ(batch->size(), texts.size());
  EXPECT_LT(maxAbsDifference(batch->at(0), golden.embedding), 1e-4f);
  std::unique_ptr<EmbeddingProvider> provider = std::move(model).value();
  EXPECT_EQ(provider->dimension(), 32);
  for (size_t i = 0; i < texts.size(); ++i) {
    auto one = provider->encode(texts[i]);
    ASSERT_TRUE(one.ok());
    EXPECT_LT(maxAbsDifference(one.value(), batch->at(i)), 1e-5f) << i;
  }
  auto longer = provider->encode(longText + " lazy dog");
  ASSERT_TRUE(longer.ok());
  EXPECT_LT(maxAbsDifference(longer.value(), batch->at(3)), 1e-6f);
}

TEST(BGESmallEmbeddingsTest, ModelsTooSmallForTheVocabularyOrFor512PositionsAreRejected) {
  TempDir noVocabulary, fewPositions;
  // Without its own vocabulary the model falls back to the bundled 30,522-token
  // one, which this 100-token model cannot take.
  copyTinyModel(noVocabulary.path(), /*withVocabulary=*/false);
  writeRandomModel(fewPositions.path(), smallConfig(100, 16, 1, 2, 32, 128), 1);
  for (const auto& [dir, fragment] : {std::pair{noVocabulary.path(), "30522 tokens but the model only 100"},
                                      std::pair{fewPositions.path(), "128 positions"}}) {
    EXPECT_TRUE(testing::failsWith(BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::cpu, dir), fragment));
  }
}

// Damaged weights, configuration or vocabulary fail the load with the model's
// message (cuts of the weights file are the safetensors reader's tests).
TEST(BGESmallEmbeddingsTest, CorruptModelFilesFailCleanly) {
  auto weights = readFileToString(tinyModelDir() + "/model.safetensors");
  ASSERT_TRUE(weights.ok());
  for (const auto& [file, contents] :
       {std::pair<std::string, std::string>{"model.safetensors", weights->substr(0, 100)},
        {"config.json", "{ not json"},
        {"vocab.txt", "only\nwords\n"}}) {
    TempDir dir;
    copyTinyModel(dir.path());
    ASSERT_TRUE(writeFileAtomically(dir / file, contents).ok());
    auto model = BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::cpu, dir.path());
    EXPECT_TRUE(testing::failsWith(model, "Failed to load BGE-Small model")) << file;
  }
}

TEST(BundledResourcesTest, FindsTheVocabularyThroughTheEnvironment) {
  auto path = bundledVocabularyPath();
  ASSERT_TRUE(path.ok()) << path.error().description();
  EXPECT_TRUE(fileExists(path.value()));
  auto missing = findBundledResource("no-such-resource.txt");
  ASSERT_TRUE(testing::failsWith(missing, "PALLIX_RESOURCES"));
}

}  // namespace
}  // namespace pallix
