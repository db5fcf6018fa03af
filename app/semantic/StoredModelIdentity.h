// StoredModelIdentity: the model identity file of an embedding store
// ("N.model" beside the item file), which names the model that embedded the
// items. A store compares it with the installed model when it opens its
// files and when it loads the model: an index built by another model ranks
// by meaningless distances (or, at another dimension, cannot rank at all),
// so it is stale. Value types and pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/semantic/EmbeddingModelFactory.h"
#include "core/Error.h"

namespace pallix {

// A rebuild of the index for a new model, started when the old index was
// found stale.
struct ModelRebuild {
  double startedAt = 0;      // seconds since 1970
  int64_t targetChunks = 0;  // the stale index's chunk count
  // Of the target, capped at 99 until the rebuild is over.
  int percentDone(int64_t chunks) const;
};

struct StoredModelIdentity {
  ModelIdentity model;
  std::optional<ModelRebuild> rebuild;

  // {"dimension": D, "digest": "...", "rebuild": {"startedAt": S, "targetChunks": N}}
  std::string toJson() const;
  // Errors name what is missing or malformed.
  static Result<StoredModelIdentity> fromJson(const std::string& text);
};

// What differs between the model that built an index and `current`: the
// identity file when there is one, else the items' dimension (`itemDimension`,
// nullopt for an empty index). nullopt when nothing says they differ.
std::optional<std::string> modelDifference(const std::optional<StoredModelIdentity>& stored,
                                           std::optional<int> itemDimension, const ModelIdentity& current);

}  // namespace pallix
