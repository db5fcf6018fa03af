// IntelligenceTypes: the values that flow between the intelligence data
// sources, the intelligence coordinator and the panel intelligence store:
// data-source identifiers, the payload each source answers with, `Snapshot`
// (one step of a query's answer stream), widget states and activation modes.
//
// The payload records of the sources (app/sources) are declared here; the
// weather and place values they carry come from the platform seams
// (app/platform/WeatherTypes.h, PlaceSearch.h). Plain values; no threading
// concerns.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/intelligence/WeatherQueryAnalyzer.h"
#include "app/platform/ContactStore.h"
#include "app/platform/GeoTypes.h"
#include "app/platform/PlaceSearch.h"
#include "app/platform/WeatherTypes.h"
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

struct ContactSearchResult {
  std::string identifier;
  std::string name;    // the full-name formatting, "Unknown Contact" when it gives nothing
  std::string detail;  // the phone number, e-mail address or organisation that matched, else the first of them
  ContactRecord contact;
  friend bool operator==(const ContactSearchResult&, const ContactSearchResult&) = default;
};

// A place the event's calendar geocoded.
struct StructuredLocationInfo {
  std::string title;
  double latitude = 0;
  double longitude = 0;
  friend bool operator==(const StructuredLocationInfo&, const StructuredLocationInfo&) = default;
};

struct CalendarSearchResult {
  std::string identifier;  // unique per occurrence
  std::string title;
  Date startDate;
  Date endDate;
  bool isAllDay = false;
  std::optional<std::string> calendarTitle;
  std::string calendarItemIdentifier;  // the event's identifier in its calendar
  bool hasRecurrenceRules = false;
  std::optional<std::string> location;  // free text, as typed in the event
  std::optional<std::string> notesSummary;
  std::string primaryDateDescription;   // "Wed 11 Mar"
  std::string relativeDateDescription;  // "today", "tomorrow", "in 3 days"
  std::string timeRangeDescription;     // "10:00 - 11:00", "All day"
  std::string calendarTypeDescription;  // "Local calendar", "Subscribed calendar"
  std::optional<StructuredLocationInfo> structuredLocationInfo;
  std::optional<std::string> meetingURL;
  // The file holding the event, opened when no calendar application takes the event URL.
  std::optional<std::string> sourcePath;

  std::optional<LocationCoordinate> structuredCoordinate() const;
  // "ical://ekevent[/<start, yyyyMMdd'T'HHmmss'Z'>]/<identifier>?method=show&options=more": the start
  // only for repeating events, in UTC (all-day events: in `timeZoneId`, empty meaning the process's
  // zone). No identifier gives no URL.
  std::optional<std::string> makeCalendarOpenURL(const std::string& timeZoneId = {}) const;
  friend bool operator==(const CalendarSearchResult&, const CalendarSearchResult&) = default;
};

struct MapSearchResult {
  MapItem mapItem;
  std::string name;
  std::optional<std::string> subtitle;  // from the item's address
  friend bool operator==(const MapSearchResult&, const MapSearchResult&) = default;
};

// The weather source's answer: a compact forecast for one place.
struct WeatherSnapshot {
  struct Location {
    std::string name;
    std::optional<std::string> detail;
    LocationCoordinate coordinate;
    std::optional<std::string> timeZone;
    friend bool operator==(const Location&, const Location&) = default;
  };
  using Current = CurrentWeather;
  using Alert = WeatherAlert;

  Location location;
  std::set<WeatherDataKind> requestedKinds;
  WeatherForecastFocus focus = WeatherForecastFocus::current;
  // The time the question named (WeatherQueryIntent); `hourly` and `daily`
  // then hold the hours and days around it.
  std::optional<Date> focusStart;
  std::optional<Date> focusEnd;
  std::optional<Current> current;
  std::vector<HourForecast> hourly;
  std::vector<DayForecast> daily;
  std::vector<MinuteForecast> minute;
  std::vector<Alert> alerts;
  friend bool operator==(const WeatherSnapshot&, const WeatherSnapshot&) = default;
};

struct DictionaryEntry {
  std::string term;
  std::string definition;
  friend bool operator==(const DictionaryEntry&, const DictionaryEntry&) = default;
};

struct WikipediaArticle {
  std::string title;
  std::string extract;
  std::string url;
  std::optional<std::string> thumbnailURL;
  std::string query;  // the query it answers
  friend bool operator==(const WikipediaArticle&, const WikipediaArticle&) = default;
};

// A source's word on why it has no answer that the user should hear instead of "nothing found" ("The place
// search is rate limited, try again in 30 s").
struct SourceNotice {
  VCRDataSourceIdentifier source = VCRDataSourceIdentifier::maps;
  std::string text;
  friend bool operator==(const SourceNotice&, const SourceNotice&) = default;
};

// One source's answer. The alternative says which source answered.
using VCRDataSourceResult =
    std::variant<CalculatorAnswer, std::vector<ContactSearchResult>, std::vector<CalendarSearchResult>,
                 std::vector<MapSearchResult>, std::optional<WeatherSnapshot>, DictionaryEntry, WikipediaArticle,
                 SourceNotice>;

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
  std::map<VCRDataSourceIdentifier, std::string> notices;  // SourceNotice texts by source

  // Stores `result` in its field.
  void apply(const VCRDataSourceResult& result);
  // True when the field of `identifier` holds something to show (a notice counts).
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
