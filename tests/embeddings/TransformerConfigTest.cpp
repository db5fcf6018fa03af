#include <gtest/gtest.h>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

std::string errorOf(const std::string& json) {
  auto c = TransformerConfig::fromJson(json);
  return c.ok() ? "" : c.error().description();
}

constexpr const char* kBgeSmall = R"({
  "architectures": ["BertModel"], "attention_probs_dropout_prob": 0.1, "hidden_act": "gelu",
  "hidden_dropout_prob": 0.1, "hidden_size": 384, "initializer_range": 0.02, "intermediate_size": 1536,
  "layer_norm_eps": 1e-12, "max_position_embeddings": 512, "model_type": "bert", "num_attention_heads": 12,
  "num_hidden_layers": 12, "pad_token_id": 0, "position_embedding_type": "absolute", "torch_dtype": "float32",
  "type_vocab_size": 2, "use_cache": true, "vocab_size": 30522})";

TEST(TransformerConfigTest, ReadsABgeSmallConfigAndRoundTripsThroughJson) {
  auto c = TransformerConfig::fromJson(kBgeSmall);
  ASSERT_TRUE(c.ok()) << c.error().description();
  EXPECT_EQ(c->vocabSize, 30522);
  EXPECT_EQ(c->hiddenSize, 384);
  EXPECT_EQ(c->numHiddenLayers, 12);
  EXPECT_EQ(c->numAttentionHeads, 12);
  EXPECT_EQ(c->headSize(), 32);
  EXPECT_EQ(c->intermediateSize, 1536);
  EXPECT_EQ(c->maxPositionEmbeddings, 512);
  EXPECT_EQ(c->typeVocabSize, 2);
  EXPECT_FLOAT_EQ(c->layerNormEps, 1e-12f);
  auto again = TransformerConfig::fromJson(c->toJson());
  ASSERT_TRUE(again.ok()) << again.error().description();
  EXPECT_EQ(again->hiddenSize, 384);
  EXPECT_EQ(again->intermediateSize, 1536);
  EXPECT_FLOAT_EQ(again->layerNormEps, c->layerNormEps);
}

TEST(TransformerConfigTest, RejectsWhatTheRuntimeCannotRun) {
  const std::string shape =
      R"("hidden_size": 8, "num_hidden_layers": 1, "num_attention_heads": 2, "intermediate_size": 16)";
  const std::string base = R"("vocab_size": 10, )" + shape;
  EXPECT_EQ(errorOf("{" + base + "}"), "");
  const std::pair<std::string, std::string> cases[] = {
      {"not json", "not JSON"},
      {"[]", "not a JSON object"},
      {R"({"hidden_size": 8})", "missing \"vocab_size\""},
      {"{" + base + R"(, "hidden_act": "relu"})", "relu"},
      {"{" + base + R"(, "hidden_act": "gelu_new"})", "not supported"},
      {"{" + base + R"(, "model_type": "t5"})", "t5"},
      {"{" + base + R"(, "layer_norm_eps": -1})", "layer_norm_eps"},
      {R"({"vocab_size": 10, "hidden_size": 9, "num_hidden_layers": 1, "num_attention_heads": 2, "intermediate_size": 16})",
       "not a multiple"},
      {R"({"vocab_size": 0, )" + shape + "}", "out of range"},
      {R"({"vocab_size": "10", )" + shape + "}", "not an integer"}};
  for (const auto& [json, reason] : cases) EXPECT_NE(errorOf(json).find(reason), std::string::npos) << json;
  // A file's errors quote its path.
  pallix::testing::TempDir dir;
  ASSERT_TRUE(writeFileAtomically(dir / "config.json", "{\"vocab_size\": 1").ok());
  auto c = TransformerConfig::load(dir / "config.json");
  ASSERT_TRUE(testing::failsWith(c, dir / "config.json"));
  EXPECT_FALSE(TransformerConfig::load(dir / "missing.json").ok());
}

}  // namespace
}  // namespace pallix
