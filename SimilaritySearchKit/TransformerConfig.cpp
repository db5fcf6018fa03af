#include "SimilaritySearchKit/TransformerConfig.h"

#include <nlohmann/json.hpp>

#include "core/FileUtil.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "TransformerConfigError";

Error invalid(const std::string& what) {
  return Error(kDomain, 1, "invalid config.json: " + what);
}

Status readInt(const nlohmann::json& j, const char* key, bool required, int* out) {
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) {
    if (required) return invalid(std::string("missing \"") + key + "\"");
    return okStatus();
  }
  if (!it->is_number_integer()) return invalid(std::string("\"") + key + "\" is not an integer");
  long long v = it->get<long long>();
  if (v <= 0 || v > (1 << 24))
    return invalid(std::string("\"") + key + "\" is out of range (" + std::to_string(v) + ")");
  *out = static_cast<int>(v);
  return okStatus();
}

}  // namespace

Result<TransformerConfig> TransformerConfig::fromJson(const std::string& text) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return invalid(std::string("not JSON (") + e.what() + ")");
  }
  if (!j.is_object()) return invalid("not a JSON object");
  TransformerConfig c;
  PALLIX_RETURN_IF_ERROR(readInt(j, "vocab_size", true, &c.vocabSize));
  PALLIX_RETURN_IF_ERROR(readInt(j, "hidden_size", true, &c.hiddenSize));
  PALLIX_RETURN_IF_ERROR(readInt(j, "num_hidden_layers", true, &c.numHiddenLayers));
  PALLIX_RETURN_IF_ERROR(readInt(j, "num_attention_heads", true, &c.numAttentionHeads));
  PALLIX_RETURN_IF_ERROR(readInt(j, "intermediate_size", true, &c.intermediateSize));
  PALLIX_RETURN_IF_ERROR(readInt(j, "max_position_embeddings", false, &c.maxPositionEmbeddings));
  PALLIX_RETURN_IF_ERROR(readInt(j, "type_vocab_size", false, &c.typeVocabSize));
  if (auto it = j.find("layer_norm_eps"); it != j.end() && !it->is_null()) {
    if (!it->is_number() || it->get<double>() <= 0 || it->get<double>() > 1) {
      return invalid("\"layer_norm_eps\" must be a small positive number");
    }
    c.layerNormEps = it->get<float>();
  }
  if (auto it = j.find("hidden_act"); it != j.end() && !it->is_null()) {
    if (!it->is_string()) return invalid("\"hidden_act\" is not a string");
    c.hiddenAct = it->get<std::string>();
  }
  if (auto it = j.find("model_type"); it != j.end() && !it->is_null()) {
    if (!it->is_string()) return invalid("\"model_type\" is not a string");
    c.modelType = it->get<std::string>();
  }
  if (c.hiddenAct != "gelu") {
    return invalid("hidden_act \"" + c.hiddenAct + "\" is not supported (only the erf \"gelu\")");
  }
  if (c.modelType != "bert" && c.modelType != "xlm-roberta" && c.modelType != "roberta") {
    return invalid("model_type \"" + c.modelType + "\" is not supported (only \"bert\", \"xlm-roberta\", \"roberta\")");
  }
  if (auto it = j.find("pad_token_id"); it != j.end() && !it->is_null()) {
    if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() >= c.vocabSize) {
      return invalid("\"pad_token_id\" is not an identifier of the vocabulary");
    }
    c.padTokenId = it->get<int>();
  }
  if (c.robertaPositions() && c.maxPositionEmbeddings <= c.padTokenId + 1) {
    return invalid("max_position_embeddings " + std::to_string(c.maxPositionEmbeddings) +
                   " leaves no position after pad_token_id " + std::to_string(c.padTokenId));
  }
  if (c.hiddenSize % c.numAttentionHeads != 0) {
    return invalid("hidden_size " + std::to_string(c.hiddenSize) + " is not a multiple of num_attention_heads " +
                   std::to_string(c.numAttentionHeads));
  }
  return c;
}

Result<TransformerConfig> TransformerConfig::load(const std::string& path) {
  auto text = readFileToString(path);
  if (!text.ok()) return text.error();
  auto config = fromJson(text.value());
  if (!config.ok()) return config.error().withContext(path);
  return config;
}

Result<TransformerConfig> TransformerConfig::loadDirectory(const std::string& directory) {
  auto config = load(directory + "/config.json");
  if (!config.ok()) return config;
  const std::string poolingPath = directory + "/1_Pooling/config.json";
  if (!fileExists(poolingPath)) return config;
  auto text = readFileToString(poolingPath);
  if (!text.ok()) return text.error();
  const nlohmann::json j = nlohmann::json::parse(text.value(), nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return Error(kDomain, 1, poolingPath + " is not a JSON object");
  const bool cls = j.value("pooling_mode_cls_token", false), mean = j.value("pooling_mode_mean_tokens", false);
  if (cls == mean) {
    return Error(kDomain, 1,
                 poolingPath +
                     ": exactly one of pooling_mode_cls_token and pooling_mode_mean_tokens "
                     "must be true (no other pooling is supported)");
  }
  config->pooling = mean ? Pooling::mean : Pooling::cls;
  return config;
}

std::string TransformerConfig::toJson() const {
  nlohmann::json j = {{"model_type", modelType},
                      {"architectures", {robertaPositions() ? "XLMRobertaModel" : "BertModel"}},
                      {"vocab_size", vocabSize},
                      {"hidden_size", hiddenSize},
                      {"num_hidden_layers", numHiddenLayers},
                      {"num_attention_heads", numAttentionHeads},
                      {"intermediate_size", intermediateSize},
                      {"max_position_embeddings", maxPositionEmbeddings},
                      {"type_vocab_size", typeVocabSize},
                      {"layer_norm_eps", layerNormEps},
                      {"hidden_act", hiddenAct},
                      {"pad_token_id", padTokenId}};
  return j.dump(2) + "\n";
}

}  // namespace pallix
