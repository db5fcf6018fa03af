#include "app/semantic/StoredModelIdentity.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace pallix {

int ModelRebuild::percentDone(int64_t chunks) const {
  if (targetChunks <= 0) return 99;
  return int(std::clamp<int64_t>(chunks * 100 / targetChunks, 0, 99));
}

std::string StoredModelIdentity::toJson() const {
  nlohmann::json j = {{"dimension", model.dimension}, {"digest", model.digest}};
  if (rebuild) j["rebuild"] = {{"startedAt", rebuild->startedAt}, {"targetChunks", rebuild->targetChunks}};
  return j.dump() + "\n";
}

Result<StoredModelIdentity> StoredModelIdentity::fromJson(const std::string& text) {
  try {
    const nlohmann::json j = nlohmann::json::parse(text);
    StoredModelIdentity out;
    out.model.dimension = j.at("dimension").get<int>();
    out.model.digest = j.at("digest").get<std::string>();
    if (j.contains("rebuild")) {
      const auto& r = j.at("rebuild");
      out.rebuild = ModelRebuild{r.at("startedAt").get<double>(), r.at("targetChunks").get<int64_t>()};
    }
    return out;
  } catch (const std::exception& e) {
    return Error("ModelIdentityError", 1, std::string("malformed model identity file: ") + e.what());
  }
}

std::optional<std::string> modelDifference(const std::optional<StoredModelIdentity>& stored,
                                           std::optional<int> itemDimension, const ModelIdentity& current) {
  if (stored) {
    if (stored->model == current) return std::nullopt;
    return "built with " + stored->model.describe() + "; the installed model has " + current.describe();
  }
  if (itemDimension && *itemDimension != current.dimension) {
    return "built with dimension " + std::to_string(*itemDimension) + "; the installed model has dimension " +
           std::to_string(current.dimension);
  }
  return std::nullopt;
}

}  // namespace pallix
