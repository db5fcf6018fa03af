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
  if (c.modelType != "bert") return invalid("model_type \"" + c.modelType + "\" is not supported (only \"bert\")");
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

std::string TransformerConfig::toJson() const {
  nlohmann::json j = {{"model_type", modelType},
                      {"architectures", {"BertModel"}},
                      {"vocab_size", vocabSize},
                      {"hidden_size", hiddenSize},
                      {"num_hidden_layers", numHiddenLayers},
                      {"num_attention_heads", numAttentionHeads},
                      {"intermediate_size", intermediateSize},
                      {"max_position_embeddings", maxPositionEmbeddings},
                      {"type_vocab_size", typeVocabSize},
                      {"layer_norm_eps", layerNormEps},
                      {"hidden_act", hiddenAct},
                      {"pad_token_id", 0}};
  return j.dump(2) + "\n";
}

}  // namespace pallix
