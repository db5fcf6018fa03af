// DataSourcePreferences: one switch per intelligence data source. Posts no
// notification; the intelligence coordinator is told of changes directly.
#pragma once

#include "app/preferences/StoredPreferences.h"

namespace pallix {

class DataSourcePreferences {
 public:
  static constexpr const char* kCalculatorEnabledKey = "DataSourcePreferences.calculatorEnabled";
  static constexpr const char* kContactsEnabledKey = "DataSourcePreferences.contactsEnabled";
  static constexpr const char* kCalendarEnabledKey = "DataSourcePreferences.calendarEnabled";
  static constexpr const char* kMapsEnabledKey = "DataSourcePreferences.mapsEnabled";
  static constexpr const char* kWeatherEnabledKey = "DataSourcePreferences.weatherEnabled";
  static constexpr const char* kDictionaryEnabledKey = "DataSourcePreferences.dictionaryEnabled";
  static constexpr const char* kWikipediaEnabledKey = "DataSourcePreferences.wikipediaEnabled";
  static constexpr bool kDefaultEnabled = true;

  explicit DataSourcePreferences(UserDefaults& defaults,
                                 NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  bool calculatorEnabled() const { return calculatorEnabled_; }
  bool contactsEnabled() const { return contactsEnabled_; }
  bool calendarEnabled() const { return calendarEnabled_; }
  bool mapsEnabled() const { return mapsEnabled_; }
  bool weatherEnabled() const { return weatherEnabled_; }
  bool dictionaryEnabled() const { return dictionaryEnabled_; }
  bool wikipediaEnabled() const { return wikipediaEnabled_; }

  Status setCalculatorEnabled(bool enabled) { return set(calculatorEnabled_, kCalculatorEnabledKey, enabled); }
  Status setContactsEnabled(bool enabled) { return set(contactsEnabled_, kContactsEnabledKey, enabled); }
  Status setCalendarEnabled(bool enabled) { return set(calendarEnabled_, kCalendarEnabledKey, enabled); }
  Status setMapsEnabled(bool enabled) { return set(mapsEnabled_, kMapsEnabledKey, enabled); }
  Status setWeatherEnabled(bool enabled) { return set(weatherEnabled_, kWeatherEnabledKey, enabled); }
  Status setDictionaryEnabled(bool enabled) { return set(dictionaryEnabled_, kDictionaryEnabledKey, enabled); }
  Status setWikipediaEnabled(bool enabled) { return set(wikipediaEnabled_, kWikipediaEnabledKey, enabled); }

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts nothing, as a setter would.
  void reloadFromDefaults();

 private:
  Status set(bool& field, const char* key, bool enabled);

  PreferenceStorage storage_;
  bool calculatorEnabled_;
  bool contactsEnabled_;
  bool calendarEnabled_;
  bool mapsEnabled_;
  bool weatherEnabled_;
  bool dictionaryEnabled_;
  bool wikipediaEnabled_;
};

}  // namespace pallix
