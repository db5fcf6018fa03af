#include "app/preferences/DataSourcePreferences.h"

namespace pallix {

DataSourcePreferences::DataSourcePreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, /*notificationName=*/""),
      calculatorEnabled_(storage_.loadBool(kCalculatorEnabledKey, kDefaultEnabled)),
      contactsEnabled_(storage_.loadBool(kContactsEnabledKey, kDefaultEnabled)),
      calendarEnabled_(storage_.loadBool(kCalendarEnabledKey, kDefaultEnabled)),
      mapsEnabled_(storage_.loadBool(kMapsEnabledKey, kDefaultEnabled)),
      weatherEnabled_(storage_.loadBool(kWeatherEnabledKey, kDefaultEnabled)),
      dictionaryEnabled_(storage_.loadBool(kDictionaryEnabledKey, kDefaultEnabled)),
      wikipediaEnabled_(storage_.loadBool(kWikipediaEnabledKey, kDefaultEnabled)) {}

Status DataSourcePreferences::set(bool& field, const char* key, bool enabled) {
  return storage_.update(
      field, enabled, [&] { return storage_.defaults().set(key, enabled); }, this);
}

void DataSourcePreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const DataSourcePreferences stored(storage_.defaults(), unheard);
  bool changed = false;
  changed |= PreferenceStorage::adopt(calculatorEnabled_, stored.calculatorEnabled_);
  changed |= PreferenceStorage::adopt(contactsEnabled_, stored.contactsEnabled_);
  changed |= PreferenceStorage::adopt(calendarEnabled_, stored.calendarEnabled_);
  changed |= PreferenceStorage::adopt(mapsEnabled_, stored.mapsEnabled_);
  changed |= PreferenceStorage::adopt(weatherEnabled_, stored.weatherEnabled_);
  changed |= PreferenceStorage::adopt(dictionaryEnabled_, stored.dictionaryEnabled_);
  changed |= PreferenceStorage::adopt(wikipediaEnabled_, stored.wikipediaEnabled_);
  if (changed) storage_.renewVersionAndPost(this);
}

}  // namespace pallix
