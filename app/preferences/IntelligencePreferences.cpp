#include "app/preferences/IntelligencePreferences.h"

#include <string>

namespace pallix {

IntelligencePreferences::IntelligencePreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, kDidChangeNotification),
      selectedModel_(storage_.loadEnum(kSelectedModelKey, kEmbeddingModelRawValues, kDefaultSelectedModel)),
      computeUnits_(storage_.loadEnum(kComputeUnitsKey, kEmbeddingComputeUnitsRawValues, kDefaultComputeUnits)),
      indexingIntensity_(
          storage_.loadEnum(kIndexingIntensityKey, kIndexingIntensityRawValues, kDefaultIndexingIntensity)) {}

Status IntelligencePreferences::setSelectedModel(EmbeddingModel model) {
  if (model == selectedModel_) return okStatus();
  Status status = storage_.update(
      selectedModel_, model,
      [&] { return storage_.defaults().set(kSelectedModelKey, std::string(pallix::rawValue(model))); }, this);
  storage_.center().post(kEmbeddingModelDidChangeNotification, model);
  return status;
}

Status IntelligencePreferences::setComputeUnits(EmbeddingComputeUnits units) {
  return storage_.update(
      computeUnits_, units,
      [&] { return storage_.defaults().set(kComputeUnitsKey, std::string(pallix::rawValue(units))); }, this);
}

Status IntelligencePreferences::setIndexingIntensity(IndexingIntensity intensity) {
  return storage_.update(
      indexingIntensity_, intensity,
      [&] { return storage_.defaults().set(kIndexingIntensityKey, std::string(rawValue(intensity))); }, this);
}

void IntelligencePreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const IntelligencePreferences stored(storage_.defaults(), unheard);
  const bool modelChanged = PreferenceStorage::adopt(selectedModel_, stored.selectedModel_);
  bool changed = modelChanged;
  changed |= PreferenceStorage::adopt(computeUnits_, stored.computeUnits_);
  changed |= PreferenceStorage::adopt(indexingIntensity_, stored.indexingIntensity_);
  if (changed) storage_.renewVersionAndPost(this);
  if (modelChanged) storage_.center().post(kEmbeddingModelDidChangeNotification, selectedModel_);
}

}  // namespace pallix
