#include "app/preferences/MessagesPreferences.h"

#include <string>

namespace pallix {

MessagesPreferences::MessagesPreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, kDidChangeNotification),
      searchEnabled_(storage_.loadBool(kSearchEnabledKey, kDefaultSearchEnabled)),
      semanticSearchEnabled_(storage_.loadBool(kSemanticSearchEnabledKey, kDefaultSemanticSearchEnabled)),
      computeUnits_(storage_.loadEnum(kComputeUnitsKey, kEmbeddingComputeUnitsRawValues, kDefaultComputeUnits)),
      indexingIntensity_(
          storage_.loadEnum(kIndexingIntensityKey, kIndexingIntensityRawValues, kDefaultIndexingIntensity)) {}

Status MessagesPreferences::setSearchEnabled(bool enabled) {
  return storage_.update(
      searchEnabled_, enabled, [&] { return storage_.defaults().set(kSearchEnabledKey, enabled); }, this);
}

Status MessagesPreferences::setSemanticSearchEnabled(bool enabled) {
  return storage_.update(
      semanticSearchEnabled_, enabled, [&] { return storage_.defaults().set(kSemanticSearchEnabledKey, enabled); },
      this);
}

Status MessagesPreferences::setComputeUnits(EmbeddingComputeUnits units) {
  return storage_.update(
      computeUnits_, units,
      [&] { return storage_.defaults().set(kComputeUnitsKey, std::string(pallix::rawValue(units))); }, this);
}

Status MessagesPreferences::setIndexingIntensity(IndexingIntensity intensity) {
  return storage_.update(
      indexingIntensity_, intensity,
      [&] { return storage_.defaults().set(kIndexingIntensityKey, std::string(rawValue(intensity))); }, this);
}

void MessagesPreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const MessagesPreferences stored(storage_.defaults(), unheard);
  bool changed = false;
  changed |= PreferenceStorage::adopt(searchEnabled_, stored.searchEnabled_);
  changed |= PreferenceStorage::adopt(semanticSearchEnabled_, stored.semanticSearchEnabled_);
  changed |= PreferenceStorage::adopt(computeUnits_, stored.computeUnits_);
  changed |= PreferenceStorage::adopt(indexingIntensity_, stored.indexingIntensity_);
  if (changed) storage_.renewVersionAndPost(this);
}

}  // namespace pallix
