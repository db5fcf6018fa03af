// IntelligenceTypes: the values that flow between the intelligence data
// sources, the intelligence coordinator and the panel intelligence store:
// data-source identifiers, the payload each source answers with, `Snapshot`
// (one step of a query's answer stream), widget states and activation modes.
//
// The payload records of the sources that later work adds (contacts,
// calendar, maps, weather, dictionary, encyclopedia) are declared here with
// the fields the coordinator, the store and the ambient highlights read;
// those sources fill them. Plain values; no threading concerns.
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Clock.h"

namespace pallix {

// Every intelligence data source, in the fixed order of the coordinator's tables.
enum class VCRDataSourceIdentifier {
  calculator,
  contacts,
  calendar,
  maps,
  weather,
  dictionary,
  wikipedia,
  messages,
  files,
  apps
};

inline constexpr std::array<VCRDataSourceIdentifier, 10> kAllDataSourceIdentifiers = {
    VCRDataSourceIdentifier::calculator, VCRDataSourceIdentifier::contacts, VCRDataSourceIdentifier::calendar,
    VCRDataSourceIdentifier::maps,       VCRDataSourceIdentifier::weather,  VCRDataSourceIdentifier::dictionary,
    VCRDataSourceIdentifier::wikipedia,  VCRDataSourceIdentifier::messages, VCRDataSourceIdentifier::files,
    VCRDataSourceIdentifier::apps};

// "calculator", "contacts", ... (the persisted raw value).
const char* dataSourceIdentifierRawValue(VCRDataSourceIdentifier identifier);
std::optional<VCRDataSourceIdentifier> dataSourceIdentifierFromRawValue(std::string_view raw);
// Calculator, contacts and calendar run without the router.
bool isLocalDataSource(VCRDataSourceIdentifier identifier);
// Maps, weather, dictionary and wikipedia are chosen by the router or the rules.
bool isRemoteDataSource(VCRDataSourceIdentifier identifier);
// Sorted raw values joined with `separator` (for logs and tests).
std::string joinedRawValues(const std::set<VCRDataSourceIdentifier>& identifiers, std::string_view separator = ",");

// The calculator's answer (mirrors the calculator source's result record).
struct CalculatorAnswer {
  double value = 0;
  std::string formattedValue;
  std::optional<std::string> detail;  // for conversions, the formatted input amount
  friend bool operator==(const CalculatorAnswer&, const CalculatorAnswer&) = default;
};

struct LocationCoordinate {
  double latitude = 0;
  double longitude = 0;
  friend bool operator==(const LocationCoordinate&, const LocationCoordinate&) = default;
};

struct ContactSearchResult {
  std::string identifier;
  std::string name;
  std::string detail;
  friend bool operator==(const ContactSearchResult&, const ContactSearchResult&) = default;
};

struct CalendarSearchResult {
  std::string identifier;
  std::string title;
  Date startDate;
  Date endDate;
  bool isAllDay = false;
  std::optional<std::string> location;                   // free text, as typed in the event
  std::optional<LocationCoordinate> structuredLocation;  // when the event carries a geocoded place
  friend bool operator==(const CalendarSearchResult&, const CalendarSearchResult&) = default;
};

struct MapSearchResult {
  std::string name;
  std::string address;
  std::optional<LocationCoordinate> coordinate;
  friend bool operator==(const MapSearchResult&, const MapSearchResult&) = default;
};

struct HourlyWeatherForecast {
  Date date;
  double precipitationChance = 0;  // 0...1
  std::string symbolName;
  double temperatureCelsius = 0;
  friend bool operator==(const HourlyWeatherForecast&, const HourlyWeatherForecast&) = default;
};

struct MinuteWeatherForecast {
  Date date;
  double precipitationIntensity = 0;  // millimetres per hour
  friend bool operator==(const MinuteWeatherForecast&, const MinuteWeatherForecast&) = default;
};

struct WeatherSnapshot {
  std::string locationName;
  Date date;
  double temperatureCelsius = 0;
  std::string conditionText;  // "Light Rain"
  std::string symbolName;     // "cloud.rain"
  std::vector<HourlyWeatherForecast> hourly;
  std::vector<MinuteWeatherForecast> minutes;
  friend bool operator==(const WeatherSnapshot&, const WeatherSnapshot&) = default;
};

struct DictionaryEntry {
  std::string term;
  std::string definition;
  friend bool operator==(const DictionaryEntry&, const DictionaryEntry&) = default;
};

struct WikipediaArticle {
  std::string title;
  std::string summary;
  std::string url;
  friend bool operator==(const WikipediaArticle&, const WikipediaArticle&) = default;
};

// One source's answer. The alternative says which source answered.
using VCRDataSourceResult =
    std::variant<CalculatorAnswer, std::vector<ContactSearchResult>, std::vector<CalendarSearchResult>,
                 std::vector<MapSearchResult>, std::optional<WeatherSnapshot>, DictionaryEntry, WikipediaArticle>;

// Platform location-authorization status; raw values as the platform's.
enum class LocationAuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorizedAlways = 3,
  authorizedWhenInUse = 4,
};
inline bool isLocationAuthorized(LocationAuthorizationStatus s) {
  return s == LocationAuthorizationStatus::authorizedAlways || s == LocationAuthorizationStatus::authorizedWhenInUse;
}

// Why weather cannot be shown for a query.
struct WeatherAvailabilityIssue {
  enum class Kind { missingLocationAuthorization, locationServicesDisabled };
  Kind kind = Kind::locationServicesDisabled;
  LocationAuthorizationStatus status = LocationAuthorizationStatus::notDetermined;  // first kind only

  // "location-services-disabled" or "authorization-<decimal status>".
  std::string telemetryReason() const;
  friend bool operator==(const WeatherAvailabilityIssue&, const WeatherAvailabilityIssue&) = default;
};

// What the answer stream delivers: the state of one query after each step.
struct Snapshot {
  std::string query;
  std::set<VCRDataSourceIdentifier> selectedIdentifiers;
  std::set<VCRDataSourceIdentifier> activeIdentifiers;  // remote sources still pending
  std::optional<CalculatorAnswer> calculatorResult;
  std::vector<ContactSearchResult> contactResults;
  std::vector<CalendarSearchResult> calendarResults;
  std::vector<MapSearchResult> mapResults;
  std::optional<WeatherSnapshot> weatherSnapshot;
  std::optional<WeatherAvailabilityIssue> weatherAvailabilityIssue;
  std::optional<DictionaryEntry> dictionaryResult;
  std::optional<WikipediaArticle> wikipediaArticle;

  // Stores `result` in its field.
  void apply(const VCRDataSourceResult& result);
  // True when the field of `identifier` holds something to show.
  bool hasContent(VCRDataSourceIdentifier identifier) const;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

enum class WidgetContentState { idle, loading, ready, noResults };
const char* widgetContentStateName(WidgetContentState state);

// full: router, remote sources and everything; nonRouter: local sources only.
enum class ActivationMode { full, nonRouter };
const char* activationModeName(ActivationMode mode);

// Permission state of the contacts and calendar sources.
enum class PermissionStatus { notDetermined, restricted, denied, authorized };

}  // namespace pallix
