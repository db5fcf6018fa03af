#include <gtest/gtest.h>

#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/InstalledModelStore.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace ::pallix::testing;
namespace fs = std::filesystem;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class InstalledModelStoreTest : public ::testing::Test {
 protected:
  TempDir home;
  DataDirectories dirs = DataDirectories::forHome(home.path());
  InstalledModelStore store{dirs.modelsDirectory()};

  // The embedding of `text` by the installed bge-small model.
  std::vector<float> embed(const std::string& text) {
    auto model = BGESmallEmbeddings::create(EmbeddingComputeUnits::cpu, dirs);
    EXPECT_TRUE(model.ok()) << (model.ok() ? "" : model.error().description());
    return model.ok() ? model.value()->encode(text).value() : std::vector<float>{};
  }
};

// Installed models are listed by name with whether they still load (hidden
// folders are not models) and removed by plain names only.
TEST_F(InstalledModelStoreTest, InstallListRemove) {
  auto listed = store.list();
  ASSERT_TRUE(listed.ok());
  EXPECT_TRUE(listed->empty());

  auto installed = store.install(tinyModelDir());
  ASSERT_TRUE(installed.ok()) << installed.error().description();
  EXPECT_EQ(installed->name, "bge_small_en");
  EXPECT_TRUE(installed->loads);
  EXPECT_EQ(installed->dimension, 32);
  EXPECT_EQ(installed->layers, 2);
  uint64_t expected = 0;
  for (const char* f : {"config.json", "model.safetensors", "vocab.txt"})
    expected += fs::file_size(tinyModelDir() + "/" + f);
  EXPECT_EQ(installed->sizeOnDisk, expected);
  auto direct = BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::cpu, tinyModelDir());
  ASSERT_TRUE(direct.ok());
  EXPECT_EQ(embed("hello world"), direct.value()->encode("hello world").value());

  ASSERT_TRUE(store.install(tinyModelDir(), "spare").ok());
  ASSERT_TRUE(writeFileAtomically(dirs.modelsDirectory() + "/spare/model.safetensors", "garbage").ok());
  fs::create_directories(dirs.modelsDirectory() + "/.partial-install");
  listed = store.list();
  ASSERT_TRUE(listed.ok());
  ASSERT_EQ(listed->size(), 2u);
  EXPECT_EQ(listed->at(0).name, "bge_small_en");
  EXPECT_TRUE(listed->at(0).loads);
  EXPECT_EQ(listed->at(1).name, "spare");
  EXPECT_FALSE(listed->at(1).loads);
  EXPECT_EQ(listed->at(1).dimension, 32);  // config.json still reads
  EXPECT_NE(listed->at(1).loadError.find("corrupt safetensors"), std::string::npos) << listed->at(1).loadError;

  EXPECT_FALSE(store.remove("../bge_small_en").ok());
  EXPECT_FALSE(store.remove("").ok());
  fs::remove_all(dirs.modelsDirectory() + "/.partial-install");
  ASSERT_TRUE(store.remove("spare").ok());
  ASSERT_TRUE(store.remove("bge_small_en").ok());
  EXPECT_TRUE(entries(dirs.modelsDirectory()).empty());
  EXPECT_FALSE(BGESmallEmbeddings::create(EmbeddingComputeUnits::cpu, dirs).ok());
  auto again = store.remove("bge_small_en");
  ASSERT_TRUE(testing::failsWith(again, "no model named"));
}

// Broken sources and bad names are refused and leave the installed model and
// nothing else; a good source under the same name replaces it.
TEST_F(InstalledModelStoreTest, BrokenSourcesAreRefusedAndReinstallReplaces) {
  ASSERT_TRUE(store.install(tinyModelDir()).ok());
  auto goodEmbedding = embed("hi");

  TempDir source;
  auto refused = store.install(source.path());  // empty directory
  ASSERT_TRUE(testing::failsWith(refused, "is not a usable model"));
  fs::copy_file(tinyModelDir() + "/config.json", source / "config.json");
  fs::copy_file(tinyModelDir() + "/vocab.txt", source / "vocab.txt");
  auto weights = readFileToString(tinyModelDir() + "/model.safetensors");
  ASSERT_TRUE(writeFileAtomically(source / "model.safetensors", weights->substr(0, 5000)).ok());
  refused = store.install(source.path());
  ASSERT_TRUE(testing::failsWith(refused, "corrupt safetensors"));
  EXPECT_FALSE(store.install(source.path() + "/nope").ok());
  EXPECT_FALSE(store.install(tinyModelDir(), "../escape").ok());
  EXPECT_FALSE(store.install(tinyModelDir(), ".hidden").ok());
  EXPECT_EQ(entries(dirs.modelsDirectory()), std::vector<std::string>{"bge_small_en"});
  EXPECT_EQ(embed("hi"), goodEmbedding);

  writeRandomModel(source / "m", smallConfig(100, 32, 2, 4, 64, 512), 77);  // same vocabulary, other weights
  auto installed = store.install(source / "m");
  ASSERT_TRUE(installed.ok()) << installed.error().description();
  EXPECT_GT(maxAbsDifference(goodEmbedding, embed("hi")), 1e-3f);
  EXPECT_EQ(entries(dirs.modelsDirectory()), std::vector<std::string>{"bge_small_en"});  // no leftovers
}

}  // namespace
}  // namespace pallix
