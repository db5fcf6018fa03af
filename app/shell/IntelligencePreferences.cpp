#include "app/shell/IntelligencePreferences.h"

#include <string>

namespace pallix {

IntelligencePreferences::IntelligencePreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, kDidChangeNotification),
      selectedModel_(storage_.loadEnum(kSelectedModelKey, prefs::kEmbeddingModelRawValues, kDefaultSelectedModel)),
      computeUnits_(storage_.loadEnum(kComputeUnitsKey, prefs::kEmbeddingComputeUnitsRawValues, kDefaultComputeUnits)),
      indexingIntensity_(
          storage_.loadEnum(kIndexingIntensityKey, kIndexingIntensityRawValues, kDefaultIndexingIntensity)) {}

Status IntelligencePreferences::setSelectedModel(prefs::EmbeddingModel model) {
  if (model == selectedModel_) return okStatus();
  Status status = storage_.update(
      selectedModel_, model,
      [&] { return storage_.defaults().set(kSelectedModelKey, std::string(prefs::rawValue(model))); }, this);
  storage_.center().post(kEmbeddingModelDidChangeNotification, model);
  return status;
}

Status IntelligencePreferences::setComputeUnits(prefs::EmbeddingComputeUnits units) {
  return storage_.update(
      computeUnits_, units,
      [&] { return storage_.defaults().set(kComputeUnitsKey, std::string(prefs::rawValue(units))); }, this);
}

Status IntelligencePreferences::setIndexingIntensity(IndexingIntensity intensity) {
  return storage_.update(
      indexingIntensity_, intensity,
      [&] { return storage_.defaults().set(kIndexingIntensityKey, std::string(rawValue(intensity))); }, this);
}

}  // namespace pallix
