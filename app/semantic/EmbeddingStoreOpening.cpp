// The part of EmbeddingStore that judges the files it opens: records that
// cannot be read, damage to the files' structure, files that cannot be read
// at all, and the model that built the index (StoredModelIdentity). Runs on
// the store's runner, like the rest of the store.
#include <algorithm>
#include <chrono>

#include "app/semantic/EmbeddingStore.h"
#include "app/semantic/EmbeddingStoreErrors.h"

namespace pallix {

Result<std::vector<IndexItem>> EmbeddingStore::loadItemsFromDisk() {
  PALLIX_ASSIGN_OR_RETURN(SalvagedItems loaded, files_.loadItems());
  for (const DroppedRecord& record : loaded.dropped) {
    logger_.error("Dropped unreadable record %ld of the %s: %s", static_cast<long>(record.index), wording_.indexLabel,
                  record.reason.c_str());
  }
  if (!loaded.dropped.empty()) {
    signal(std::string(wording_.signalPrefix) + ".unreadableRecordsDropped",
           {{"count", std::to_string(loaded.dropped.size())}});
    // The next save writes the files without them (the graph no longer matches either).
    indexNeedsSave_ = hnswNeedsSave_ = true;
  }
  return std::move(loaded.items);
}

Status EmbeddingStore::failOpen(const Error& error) {
  std::string message;
  if (isError(error, StoreFileError::kDomain, StoreFileError::damaged)) {
    message = std::string("the ") + wording_.indexLabel + " is damaged: " + error.description() + "; run '" +
              wording_.repairCommand + "' to repair it";
  } else {
    message = std::string("the ") + wording_.indexLabel + " cannot be opened: " + error.description();
  }
  logger_.error("%s", message.c_str());
  readinessState_ = ReadinessState::failed;
  failureMessage_ = message;
  return Error(error.domain(), error.code(), message);
}

void EmbeddingStore::checkModelIdentityNow() {
  if (!deps_.modelFactory || !deps_.modelFactory->isInstalled()) return;
  auto current = deps_.modelFactory->identity();
  if (!current.ok()) {
    logger_.error("Cannot tell which model is installed: %s", current.error().description().c_str());
    return;
  }
  if (!current.value()) return;
  modelIdentity_ = *current.value();
  std::optional<StoredModelIdentity> stored;
  if (auto text = files_.readModelIdentity(); !text.ok()) {
    logger_.error("Cannot read the model identity file: %s", text.error().description().c_str());
  } else if (text.value()) {
    auto parsed = StoredModelIdentity::fromJson(*text.value());
    if (parsed.ok()) {
      stored = std::move(parsed).value();
    } else {
      logger_.error("%s", parsed.error().description().c_str());
    }
  }
  std::optional<int> itemDimension;
  if (!cachedIndexItems_.empty()) itemDimension = int(cachedIndexItems_.front().embedding.size());
  modelRebuild_ = stored ? stored->rebuild : std::nullopt;
  builtWithAnotherModel_.clear();
  const auto difference = modelDifference(stored, itemDimension, *modelIdentity_);
  if (!difference) {
    // An index from before identity files is taken to be the installed model's.
    if (!stored && deps_.repairsFiles && files_.hasItemFile()) writeModelIdentityNow(int64_t(cachedIndexItems_.size()));
    return;
  }
  if (!deps_.repairsFiles) {
    logger_.error("The %s was %s; it is kept until the agent or '%s' rebuilds it", wording_.indexLabel,
                  difference->c_str(), wording_.repairCommand);
    builtWithAnotherModel_ = *difference;
    return;
  }
  const int64_t target = std::max<int64_t>(int64_t(cachedIndexItems_.size()),
                                           stored && stored->rebuild ? stored->rebuild->targetChunks : 0);
  logger_.info("The %s was %s; rebuilding it", wording_.indexLabel, difference->c_str());
  files_.deleteItemFiles();
  files_.deleteGraphFiles();
  cachedIndexItems_.clear();
  cachedItemsLoaded_ = true;
  lastKnownChunkCount_ = 0;
  indexNeedsSave_ = hnswNeedsSave_ = false;
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  modelRebuild_ = ModelRebuild{now, target};
  Status written = files_.writeModelIdentity(StoredModelIdentity{*modelIdentity_, modelRebuild_}.toJson());
  if (!written.ok()) logger_.error("Failed to write the model identity: %s", written.error().description().c_str());
  didReset();
  signal(std::string(wording_.signalPrefix) + ".builtWithAnotherModel", {{"difference", *difference}});
  postResetNotification();
}

void EmbeddingStore::writeModelIdentityNow(int64_t itemCount) {
  if (!modelIdentity_) return;
  if (modelRebuild_ && itemCount >= modelRebuild_->targetChunks) {
    logger_.info("The %s is rebuilt for the installed model (%ld chunks)", wording_.indexLabel,
                 static_cast<long>(itemCount));
    modelRebuild_.reset();
  }
  Status written = files_.writeModelIdentity(StoredModelIdentity{*modelIdentity_, modelRebuild_}.toJson());
  if (!written.ok()) logger_.error("Failed to write the model identity: %s", written.error().description().c_str());
}

}  // namespace pallix
