// Shared helpers of the preference tests: notification log and the values the seven preference objects load from a
// store.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "app/shell/AppDisplayPreferences.h"
#include "app/shell/ClipboardPreferences.h"
#include "app/shell/DataSourcePreferences.h"
#include "app/shell/FilesPreferences.h"
#include "app/shell/IntelligencePreferences.h"
#include "app/shell/MessagesPreferences.h"
#include "app/shell/TelemetryPreferences.h"

namespace pallix::test {

// Counts posts per notification name on a private center.
class NotificationLog {
 public:
  explicit NotificationLog(NotificationCenter& center) : center_(center) {}
  void watch(const std::string& name) {
    observations_.emplace_back(center_, name, [this](const Notification& n) { posts_.push_back(n); });
  }
  size_t count(const std::string& name) const {
    return std::count_if(posts_.begin(), posts_.end(), [&](const Notification& n) { return n.name == name; });
  }
  const std::vector<Notification>& posts() const { return posts_; }

 private:
  NotificationCenter& center_;
  std::vector<ScopedObservation> observations_;
  std::vector<Notification> posts_;
};

// What the preference objects load from `d`, as key → JSON value (enumerations as raw values).
inline std::map<std::string, nlohmann::json> loadedByObjects(UserDefaults& d) {
  using nlohmann::json;
  NotificationCenter center;
  FilesPreferences f(d, center);
  MessagesPreferences m(d, center);
  IntelligencePreferences i(d, center);
  ClipboardPreferences c(d, center);
  DataSourcePreferences s(d, center);
  AppDisplayPreferences a(d, center);
  TelemetryPreferences t(d, center);
  auto str = [](std::string_view v) { return json(std::string(v)); };
  return {
      {f.kSearchEnabledKey, f.searchEnabled()},
      {f.kSemanticSearchEnabledKey, f.semanticSearchEnabled()},
      {f.kSearchScopeKey, str(FilesPreferences::rawValue(f.searchScope()))},
      {f.kIndexedFoldersKey, f.indexedFolders()},
      {f.kComputeUnitsKey, str(pallix::rawValue(f.computeUnits()))},
      {f.kIndexingIntensityKey, str(rawValue(f.indexingIntensity()))},
      {m.kSearchEnabledKey, m.searchEnabled()},
      {m.kSemanticSearchEnabledKey, m.semanticSearchEnabled()},
      {m.kComputeUnitsKey, str(pallix::rawValue(m.computeUnits()))},
      {m.kIndexingIntensityKey, str(rawValue(m.indexingIntensity()))},
      {i.kSelectedModelKey, str(pallix::rawValue(i.selectedModel()))},
      {i.kComputeUnitsKey, str(pallix::rawValue(i.computeUnits()))},
      {i.kIndexingIntensityKey, str(rawValue(i.indexingIntensity()))},
      {c.kHistoryEnabledKey, c.historyEnabled()},
      {c.kRetentionDaysKey, c.retentionDays()},
      {s.kCalculatorEnabledKey, s.calculatorEnabled()},
      {s.kContactsEnabledKey, s.contactsEnabled()},
      {s.kCalendarEnabledKey, s.calendarEnabled()},
      {s.kMapsEnabledKey, s.mapsEnabled()},
      {s.kWeatherEnabledKey, s.weatherEnabled()},
      {s.kDictionaryEnabledKey, s.dictionaryEnabled()},
      {s.kWikipediaEnabledKey, s.wikipediaEnabled()},
      {a.kAppNameDisplayModeKey, str(AppDisplayPreferences::rawValue(a.appNameDisplayMode()))},
      {a.kPanelPositionKey, str(rawValue(a.panelPosition()))},
      {t.kTelemetryEnabledKey, t.telemetryEnabled()},
  };
}

}  // namespace pallix::test
