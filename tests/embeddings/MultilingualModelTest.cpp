// The multilingual model against references computed at test time by
// tests/embeddings/multilingual_reference.py: the tokenizer against the
// SentencePiece library's Python binding on a held set of texts (with a
// SentencePiece model trained by the binding), the XLM-RoBERTa encoder on
// random weights against a NumPy forward pass, and the bge-m3 package
// loaded and embedding texts end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "SimilaritySearchKit/SentencePieceTokenizer.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "SimilaritySearchKitBGESmall/BGEM3Embeddings.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/InstalledModelStore.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using pallix::testing::TempDir;

constexpr const char* kPython = "/usr/bin/python3";
constexpr double kTolerance = 1e-4;

// Runs the reference script; the failure names the Debian packages it needs.
void reference(const std::vector<std::string>& args) {
  std::string command = std::string(kPython) + " '" PALLIX_SOURCE_ROOT "/tests/embeddings/multilingual_reference.py'";
  for (const auto& a : args) command += " '" + a + "'";
  ASSERT_EQ(std::system(command.c_str()), 0)
      << command << " failed; it needs python3-sentencepiece and python3-numpy (scripts/setup.sh)";
}

nlohmann::json readJson(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str());
}

void expectNear(const std::vector<float>& actual, const std::vector<double>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  double worst = 0;
  for (size_t i = 0; i < actual.size(); ++i) worst = std::max(worst, std::abs(actual[i] - expected[i]));
  EXPECT_LT(worst, kTolerance) << what;
}

class SentencePieceTokenizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    reference({"tokenizer", dir_->path()});
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string modelPath() { return dir_->path() + "/sentencepiece.bpe.model"; }
  static nlohmann::json expected() { return readJson(dir_->path() + "/tokens.json"); }
  static TempDir* dir_;
};
TempDir* SentencePieceTokenizerTest::dir_ = nullptr;

TEST_F(SentencePieceTokenizerTest, PiecesAndIdsEqualThePythonBindingsOnHeldTexts) {
  auto tokenizer = SentencePieceTokenizer::load(modelPath());
  ASSERT_TRUE(tokenizer.ok()) << tokenizer.error().description();
  const nlohmann::json texts = expected()["texts"];
  ASSERT_GE(texts.size(), 10u);
  bool sawUnknown = false;
  for (const auto& t : texts) {
    const std::string text = t["text"];
    auto ids = tokenizer.value()->encodeAsPieceIds(text);
    auto pieces = tokenizer.value()->encodeAsPieces(text);
    ASSERT_TRUE(ids.ok() && pieces.ok()) << text;
    EXPECT_EQ(ids.value(), t["ids"].get<std::vector<int>>()) << text;
    EXPECT_EQ(pieces.value(), t["pieces"].get<std::vector<std::string>>()) << text;
    for (int id : ids.value()) sawUnknown |= id == 0;
  }
  EXPECT_TRUE(sawUnknown) << "the held texts should reach characters the model never saw";
}

// The model was trained with fairseq's numbering, which is not the file's.
TEST_F(SentencePieceTokenizerTest, ModelRowsUseTheFairseqNumbering) {
  auto tokenizer = SentencePieceTokenizer::load(modelPath());
  ASSERT_TRUE(tokenizer.ok()) << tokenizer.error().description();
  const nlohmann::json reference = expected();
  EXPECT_EQ(tokenizer.value()->vocabularySize(), reference["pieceCount"].get<int>() + 2);
  for (const auto& t : reference["texts"]) {
    std::vector<int32_t> row{0};
    for (int id : t["ids"].get<std::vector<int>>()) row.push_back(id == 0 ? 3 : id + 1);
    row.push_back(2);
    auto inputs = tokenizer.value()->buildModelInputs(t["text"]);
    ASSERT_TRUE(inputs.ok());
    EXPECT_EQ(inputs->inputIds, row) << t["text"];
    EXPECT_EQ(inputs->attentionMask, std::vector<int32_t>(row.size(), 1));
  }
}

TEST_F(SentencePieceTokenizerTest, ALongTextIsCutToTheLimitWithItsMarkers) {
  auto tokenizer = SentencePieceTokenizer::load(modelPath());
  ASSERT_TRUE(tokenizer.ok());
  std::string text;
  for (int i = 0; i < 400; ++i) text += "réunion Заметки ";
  auto inputs = tokenizer.value()->buildModelInputs(text, 512);
  ASSERT_TRUE(inputs.ok());
  ASSERT_EQ(inputs->inputIds.size(), 512u);
  EXPECT_EQ(inputs->inputIds.front(), SentencePieceTokenizer::kBosId);
  EXPECT_EQ(inputs->inputIds.back(), SentencePieceTokenizer::kEosId);
  auto empty = tokenizer.value()->buildModelInputs("");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->inputIds, (std::vector<int32_t>{0, 2}));
}

TEST(SentencePieceTokenizerLoadTest, AMissingOrDamagedModelIsAnErrorNamingIt) {
  TempDir dir;
  const std::string path = dir.path() + "/sentencepiece.bpe.model";
  auto missing = SentencePieceTokenizer::load(path);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description().find(path), std::string::npos) << missing.error().description();
  std::ofstream(path) << "not a model";
  EXPECT_FALSE(SentencePieceTokenizer::load(path).ok());
}

// The random-weight XLM-RoBERTa encoder against the NumPy forward pass, for
// both poolings and both weight layouts; rows with padding included.
TEST(XlmRobertaEncoderTest, EqualsTheNumPyReferenceOnRandomWeights) {
  struct Case {
    const char* pooling;
    const char* prefix;
    int seed;
  };
  for (const Case& c : {Case{"cls", "-", 1}, Case{"mean", "roberta.", 2}, Case{"cls", "roberta.", 3}}) {
    const std::string name = std::string(c.pooling) + " " + c.prefix;
    TempDir dir;
    reference({"encoder", dir.path(), c.pooling, std::to_string(c.seed), c.prefix, "60", "48"});
    auto encoder = TransformerEncoder::loadDirectory(dir.path());
    ASSERT_TRUE(encoder.ok()) << name << ": " << encoder.error().description();
    EXPECT_EQ(encoder.value()->config().pooling,
              std::string(c.pooling) == "mean" ? TransformerConfig::Pooling::mean : TransformerConfig::Pooling::cls);
    const nlohmann::json expected = readJson(dir.path() + "/reference.json");
    std::vector<EncoderInput> inputs;
    for (const auto& in : expected["inputs"]) {
      inputs.push_back({in["ids"].get<std::vector<int32_t>>(), in["mask"].get<std::vector<int32_t>>()});
    }
    for (bool computeAll : {false, true}) {
      auto outputs = encoder.value()->encode(inputs, EncodeOptions{computeAll, false});
      ASSERT_TRUE(outputs.ok()) << name << ": " << outputs.error().description();
      for (size_t i = 0; i < inputs.size(); ++i) {
        expectNear(outputs.value()[i].embedding, expected["embeddings"][i].get<std::vector<double>>(),
                   name + " row " + std::to_string(i) + (computeAll ? " with padding computed" : ""));
      }
    }
  }
}

TEST(XlmRobertaEncoderTest, RowsLongerThanThePositionsAfterPaddingAreRefused) {
  TempDir dir;
  reference({"encoder", dir.path(), "cls", "4", "-", "60", "48"});
  auto encoder = TransformerEncoder::loadDirectory(dir.path());
  ASSERT_TRUE(encoder.ok()) << encoder.error().description();
  // 48 positions, numbered from pad_token_id + 1 = 2: 46 tokens fit.
  EXPECT_TRUE(encoder.value()->encode({EncoderInput{std::vector<int32_t>(46, 5), std::vector<int32_t>(46, 1)}}).ok());
  auto tooLong = encoder.value()->encode({EncoderInput{std::vector<int32_t>(47, 5), std::vector<int32_t>(47, 1)}});
  ASSERT_FALSE(tooLong.ok());
  EXPECT_NE(tooLong.error().description().find("exceed the model's 46"), std::string::npos)
      << tooLong.error().description();
}

// The downloaded package's layout: texts in, embeddings equal to the Python
// pipeline (library tokens, fairseq numbering, NumPy forward pass).
TEST(BGEM3EmbeddingsTest, APackageEmbedsTextsLikeThePythonPipeline) {
  TempDir dir;
  reference({"tokenizer", dir.path()});
  reference({"encoder", dir.path(), "cls", "5", "-", "1000", "520"});
  auto model = BGEM3Embeddings::loadPackage(EmbeddingComputeUnits::cpu, dir.path());
  ASSERT_TRUE(model.ok()) << model.error().description();
  EXPECT_EQ(model.value()->dimension(), 32);
  const nlohmann::json expected = readJson(dir.path() + "/reference.json");
  ASSERT_FALSE(expected["texts"].empty());
  std::vector<std::string> texts;
  for (const auto& t : expected["texts"]) {
    texts.push_back(t["text"]);
    auto one = model.value()->encode(t["text"]);
    ASSERT_TRUE(one.ok()) << one.error().description();
    expectNear(one.value(), t["embedding"].get<std::vector<double>>(), t["text"]);
  }
  auto batch = model.value()->encodeBatch(texts);
  ASSERT_TRUE(batch.ok());
  for (size_t i = 0; i < texts.size(); ++i) {
    expectNear(batch.value()[i], expected["texts"][i]["embedding"].get<std::vector<double>>(), "batch " + texts[i]);
  }
}

TEST(BGEM3EmbeddingsTest, APackageThatCannotBeUsedSaysWhy) {
  TempDir dir;
  auto missing = BGEM3Embeddings::loadPackage(EmbeddingComputeUnits::cpu, dir.path() + "/bge_m3.mlpackage");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description().find("pallix model download bge-m3"), std::string::npos);

  reference({"encoder", dir.path(), "cls", "6", "-", "1000", "520"});
  auto noTokenizer = BGEM3Embeddings::loadPackage(EmbeddingComputeUnits::cpu, dir.path());
  ASSERT_FALSE(noTokenizer.ok());
  EXPECT_NE(noTokenizer.error().description().find("sentencepiece.bpe.model"), std::string::npos)
      << noTokenizer.error().description();

  TempDir shortDir;
  reference({"tokenizer", shortDir.path()});
  reference({"encoder", shortDir.path(), "cls", "7", "-", "1000", "48"});
  auto tooFewPositions = BGEM3Embeddings::loadPackage(EmbeddingComputeUnits::cpu, shortDir.path());
  ASSERT_FALSE(tooFewPositions.ok());
  EXPECT_NE(tooFewPositions.error().description().find("fewer than 512"), std::string::npos)
      << tooFewPositions.error().description();
}

// The small model's loader must not run a multilingual model with WordPiece identifiers.
TEST(BGEM3EmbeddingsTest, TheSmallModelsLoaderRefusesAMultilingualModel) {
  TempDir dir;
  reference({"encoder", dir.path(), "cls", "8", "-", "40000", "520"});
  auto loaded = BGESmallEmbeddings::loadDirectory(EmbeddingComputeUnits::cpu, dir.path());
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().description().find("describes an \"xlm-roberta\" model"), std::string::npos)
      << loaded.error().description();
}

// `pallix model list` inspects every folder of the models directory; the
// downloaded package loads with its own tokenizer.
TEST(BGEM3EmbeddingsTest, TheInstalledModelListLoadsTheDownloadedPackage) {
  TempDir models;
  const std::string package = models.path() + "/bge_m3.mlpackage";
  fs::create_directories(package);
  reference({"tokenizer", package});
  reference({"encoder", package, "cls", "9", "-", "1000", "520"});
  auto inspected = InstalledModelStore(models.path()).inspect("bge_m3.mlpackage");
  ASSERT_TRUE(inspected.ok()) << inspected.error().description();
  EXPECT_TRUE(inspected->loads) << inspected->loadError;
  EXPECT_EQ(inspected->dimension, 32);
  EXPECT_EQ(inspected->layers, 2);
}

}  // namespace
}  // namespace pallix
